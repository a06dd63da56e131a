/*
** The music library import: "iTunes Music Library.xml" read line by line
** into the text tables of the "iTunes Tables" folder that the channel
** browses (albums, artists, songs, playlists, podcasts, library folders and
** one file per track), and the check that tells when an import is due.
*/
#ifndef VELMORA_TABLES_H
#define VELMORA_TABLES_H

#include "global.h"

/* A library location on this machine begins with this prefix. */
#define LIB_LOCAL     "file://localhost/"
#define LIB_LOCAL_LEN 17

/* Fixed sizes of the import. */
#define MAX_KEYS      1000   /* keys held for one track or playlist */
#define MAX_VALUE     999    /* characters of one value */
#define XML_LINE      5000   /* line buffer of the library file */
#define ITEM_LINE     200    /* line buffer inside a playlist's items */
#define MAX_FOLDERS   9999   /* lines of links.txt */

/* The fields of the line last split by getflds: tag, key, value and a spare
** that is always empty.  They point into that line, or at an empty text. */
extern char *flds[4];

/* Writes "* Out of memory !" to standard output and ends the process with
** status 1: the import cannot go on without memory for its lists. */
[[noreturn]] void no_memory(void);

/* A heap copy of at most max characters of s; ends the process (no_memory)
** when memory is out. */
char *lib_strdup(const char *s, size_t max);

/* Whether a library changed since its last import: 0 when none is due, 1
** when the music library file changed, 2 when a photo library is there to
** build. */
int Chk_iTunes_iPhoto(void);

/* Imports a library: code 2 the photo library (returns 0), any other code
** the music library.  For the music library returns 1 when the build ran to
** its end or was stopped (Active dropped to 0: iTunes_Time is then cleared),
** 0 when it could not start or another build is running. */
int Bld_Tables(int code);

/* Splits one XML line in place into flds.  Returns 0 for a line without a
** tag (or a tag alone), 1 for a tag and a key without a value, 2 for a
** key followed by a value on the same line. */
int getflds(char *line);

/* Files name under the sorted list: a new node holding track, or, when a
** node of that name exists and flag is set, track appended to it.  Returns
** 1 when it made a new node, else 0. */
int insert_list(LIST **list, const char *name, int track, int flag);

/* A new node holding a copy of name and the one track.  Ends the process
** when memory is out. */
LIST *acq_item(const char *name, int track);

/* Files the track whose keys are held, and writes its track file. */
void insert_trk(void);

/* Reads the items of the playlist whose keys are held and files them. */
void insert_play(void);

/* Folds a value in place to 8-bit text: two-byte UTF-8 and the two-digit
** character references ("&#38;").  Cuts it at MAX_VALUE characters.
** Returns text. */
char *decode_txt(char *text);

/* A Location value, still percent-encoded, with character references as
** escapes, two-byte UTF-8 escapes folded to one and apostrophes escaped,
** in a new block with room for 20 more characters (freed by the caller).
** Ends the process when memory is out. */
char *decode_url(const char *text);

/* Writes list to the table file name of "iTunes Tables" ("name=id\tid...").  An empty list
** writes no file.  Returns 0. */
int write_list(const char *name, LIST *list);

/* Writes the library folders of list to the table file name, one a line, and makes them
** the table plinks.  Returns 0. */
int write_link(const char *name, LIST *list);

/* Writes every list and the artwork tables at the end of a build. */
void close_lists(void);

/* Clears the counters and frees the lists; with rel set also deletes the
** files of "iTunes Tables". */
void reset(int rel);

/* Frees every node of *list and empties it. */
void rel_chain(LIST **list);

#endif
