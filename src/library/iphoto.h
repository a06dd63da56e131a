/*
** The photo library import: AlbumData.xml to the tables of "iPhoto Tables"
** (Events.txt, Albums.txt, Photos.txt, Index.txt and Paths.txt).
*/
#ifndef VELMORA_IPHOTO_H
#define VELMORA_IPHOTO_H

#include "global.h"

/* Size of the line buffer that nxtline fills: 999 characters and the NUL. */
#define IPHOTO_LINE 1000

/* Highest photo number that gets an entry in the photo index; the lines of
** photos above it are written but not indexed, so a damaged number cannot
** make the index absurdly large. */
#define IPHOTO_MAX_ID 999999

/* Rebuilds the photo tables from the photo library.  Returns 0. */
int Bld_iPhoto(void);

/* Tells the user that the tables of library ("iTunes", "iPhoto") could not
** be written, err (the system's error) saying why. */
void Tables_Failed(const char *library, int err);

/* Points nxtline at the open file f (or none), reading on from where f
** stands with the byte count at 0.  Bld_iPhoto does this itself; tests and
** fuzzers use it to read a file of their own. */
void iPhoto_Source(FILE *f);

/* Reads the next line of the library into line (IPHOTO_LINE bytes): TABs
** dropped, an LF right after ">" ends the line, any other LF stays in it;
** a longer line is cut at 999 characters and the rest of it dropped.  With
** flag set the line is traced.  Returns 1, or 0 at the end of the file. */
int nxtline(char *line, int flag);

/* Cuts in at the first "<" after its first ">" and returns the offset just
** after that ">"; returns 0 and leaves in whole when either is missing. */
int tag_text(char *in);

/* Read the rest of one album or roll and write its table line.  Return 0. */
int iPhoto_Albums(const char *name, int ID);
int iPhoto_Events(const char *name, int ID);

/* Reads one photo's entry and writes its line to Photos.txt; pos is the
** line's position (byte offset + 1) for the index.  Returns the bytes
** written, 0 when the photo has none of the written keys. */
int iPhoto_Photos(int ID, int pos);

/* Writes the image path in in folder-number form ("0/IMG_1.JPG") to out
** (size bytes), adding a new folder to Paths.txt; a path without "/" is
** written as it is. */
void Save_Path(const char *in, char *out, size_t size);

#endif
