/*
** The photo library import: AlbumData.xml to the tables of "iPhoto Tables".
*/
#ifndef VELMORA_IPHOTO_H
#define VELMORA_IPHOTO_H

#include "global.h"

/* Rebuilds the photo tables from the photo library.  Returns 0. */
int Bld_iPhoto(void);

#endif
