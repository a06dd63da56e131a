/*
** Folder listings: the HTML page of a folder's entries that the channel
** reads, and the "?info" requests that go the same way.
*/
#ifndef VELMORA_LISTING_H
#define VELMORA_LISTING_H

#include "global.h"

/* The listing of the folder path for the target item (as received, ending
** in "/"), as an open temporary file positioned at its start; null when
** item is no folder listing.  req is the method number. */
FILE *chk_browse(const char *item, const char *path, int req);

#endif
