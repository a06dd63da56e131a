/*
** The music and photo library import.
*/
#ifndef VELMORA_TABLES_H
#define VELMORA_TABLES_H

#include "global.h"

/* Whether a library changed since its last import: 0 when none is due, else
** the import code for Bld_Tables. */
int Chk_iTunes_iPhoto(void);

/* Imports the libraries named by code.  Returns 0. */
int Bld_Tables(int code);

#endif
