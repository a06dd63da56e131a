/*
** Wildcard search: file-name patterns and the search of a folder tree that
** answers a target naming no existing file.
*/
#ifndef VELMORA_MATCH_H
#define VELMORA_MATCH_H

#include "global.h"

/* Match flags. */
#define MATCH_PATHNAME 1     /* "/" only matched by "/" */
#define MATCH_PERIOD   2     /* a leading "." only matched by "." */
#define MATCH_NOESCAPE 4     /* backslash is an ordinary character */
#define MATCH_CASEFOLD 8     /* letters compared without regard to case */
#define MATCH_SUBDIRS  16    /* find_file: search subfolders too */

/* 0 if str matches pat, 1 otherwise. */
int Match(const char *pat, const char *str, int flgs);

/* Appends the names below path matching target to input (a temporary file
** made at the first match when input is null).  Each real folder is searched
** once; the search is bounded in folders, entries and time, and ends early
** when the connection client (PAL_INVALID_SOCKET: none) closes.  Returns
** the stream, or null when nothing matched. */
FILE *find_file(const char *path, const char *target, int option, FILE *input,
                pal_socket client = PAL_INVALID_SOCKET);

/* The stream of matches for a search path asked for on the connection
** client (PAL_INVALID_SOCKET: none), or null. */
FILE *chk_toc(const char *path, pal_socket client = PAL_INVALID_SOCKET);

#endif
