/*
** The /Roku/ tree the channel browses: its two listings, Roku_Config.txt,
** the recent folder, and the mapping of every other target to a path.
*/
#ifndef VELMORA_ROKU_H
#define VELMORA_ROKU_H

#include "global.h"

/* Maps the request target item (changed in place) to the path to serve in
** out (MAX_PATH_TXT bytes), or answers it here.  req is the method number
** (0 GET, 3 HEAD).  Returns the send's result when answered here, else 0. */
int Roku_path(pal_socket s, char *item, char *out, int req);

/* Maps a target below /Roku/ to a link's folder: 1 and out filled, or 0. */
int Get_Roku_Path(const char *item, char *out);

/* Builds the listing page of "/" or "/Roku/" into data (size bytes).
** Returns its length. */
size_t bld_html(const char *in, char *data, size_t size);

/* Sends a text/plain answer with cnt bytes of output as its body (left out
** for HEAD).  Returns the send's result. */
int Roku_send(pal_socket s, const char *output, size_t cnt, int req);

/* Sends Velmora.ini as /Roku/Roku_Config.txt.  Returns the send's result,
** or 0 when nothing was sent. */
int bld_config(pal_socket s, const char *item, int req);

/* Rewrites the Recent folder from the recent list. */
void bld_recent(void);

/* The one check of what may be served, listed, searched or described:
** path (size bytes, decoded once, "?info" allowed at its end) is written
** back with "." and ".." resolved, and 1 is returned when it lies inside a
** shared place -- a title link, a private folder, a library folder of the
** imports, or the data folder's tables, Recent and Live Stream folders --
** and is a folder, a regular file or nothing yet.  0 for anything else,
** and for overlong or invalid UTF-8.  With Confine 0 every path passes. */
int Confined_Path(char *path, size_t size);

#endif
