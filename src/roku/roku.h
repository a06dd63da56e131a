/*
** The /Roku/ tree the channel browses: its two listings, Roku_Config.txt,
** the recent folder, and the mapping of every other target to a path.
*/
#ifndef VELMORA_ROKU_H
#define VELMORA_ROKU_H

#include "global.h"

#include <string>

/* Maps the request target item (changed in place) to the path to serve in
** out (MAX_PATH_TXT bytes), or decides to answer it with a page of our own
** ("/", "/Roku/" and /Roku/Roku_Config.txt): then page holds the body, to
** be sent as text/plain, and 1 is returned; else 0.  req is the method
** number (0 GET, 3 HEAD), for the trace. */
int Map_Target(char *item, char *out, int req, std::string *page);

/* Maps a target below /Roku/ to a link's folder: 1 and out filled, or 0. */
int Title_Path(const char *item, char *out);

/* Builds the listing page of "/" or "/Roku/" into data (size bytes).
** Returns its length. */
size_t bld_html(const char *in, char *data, size_t size);

/* Reads Velmora.ini into page when item is /Roku/Roku_Config.txt.  Returns
** 1 when page holds the answer, 0 when the target is not served. */
int bld_config(const char *item, std::string *page);

/* Rewrites the Recent folder from the recent list. */
void bld_recent(void);

/* The one check of what may be served, listed, searched or described:
** path (size bytes, decoded once, "?info" allowed at its end) is written
** back with "." and ".." resolved, and 1 is returned when it lies inside a
** shared place -- a title link, a private folder, a library folder of the
** imports, or the data folder's tables, Recent and Live Stream folders --
** where its links lead as well (Links_Stay_Shared), and it is a folder, a
** regular file or nothing yet.  0 for anything else, and for overlong or
** invalid UTF-8.  With Confine 0 every path passes. */
int Confined_Path(char *path, size_t size);

/* The rule for links.  A shared place's real place is where the place, as
** its table names it, leads once its own links are followed (a title whose
** folder is a link to /media/usb/Movies has that folder as its real
** place).  Real_Shared returns 1 when real -- an absolute path with every
** link, "." and ".." already resolved, as My_realpath writes it -- is a
** real place or lies inside one, else 0.  Always 1 with Confine 0.
**
** Cheap enough for every folder entry: the real places are kept in a
** snapshot that is built again when the tables of shared places change and
** at least every couple of seconds (so a link the user points elsewhere is
** followed to its new place soon).  Safe from any thread, while the options
** dialog or an import changes the tables. */
int Real_Shared(const char *real);

/* 1 when following the links of path (UTF-8, absolute, "." and ".."
** resolved), as far as it exists, ends inside a shared place as
** Real_Shared judges; the parts that do not exist yet count by name.  0
** when it leads elsewhere.  Always 1 with Confine 0. */
int Links_Stay_Shared(const char *path);

#endif
