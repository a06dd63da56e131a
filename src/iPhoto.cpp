/*
** The photo library import.  Not built yet.
*/
#include "global.h"
#include "iPhoto.h"

int Bld_iPhoto(void) { return 0; }
