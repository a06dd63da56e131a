/*
** The library import.  Not built yet: no import is ever due.
*/
#include "global.h"
#include "tables.h"

int Chk_iTunes_iPhoto(void) { return 0; }

int Bld_Tables(int) { return 0; }
