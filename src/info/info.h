/*
** Media information: the info text a player asks for with "?info" after a
** file's URL.  The file-system lines, what the reader for the file's type
** extracts, the hand-made side file and, for an alias, the links of the real
** file and its companions, as key:value lines in a temporary file.
*/
#ifndef VELMORA_INFO_H
#define VELMORA_INFO_H

#include "global.h"
#include "subs/files.h"

#define INFO_PATH 1024      /* the media path, its query cut off */
#define INFO_URL  2048      /* alias targets and the links built from them */

/* The info text of the file path ("local path?query"), in a new temporary
** file positioned at its start; null when the file cannot be examined. */
FILE *info_data(const char *path);

/* If file (a buffer of INFO_PATH bytes) is an alias whose target exists,
** puts the target's path in file and its status in sta and returns 1;
** otherwise returns 0 and leaves both as they were. */
int Alias_Check(char *file, My_Stat_Buf *sta);

/* Appends the side file of media path inf (its extension turned into
** ".info") to out, byte for byte, when there is one.  Returns 1. */
int Check_Info_File(const char *inf, FILE *out);

/* Writes the path, file and companion lines of the aliased media path in to
** out.  Returns 1, or 0 (nothing written) when no media link holds in. */
int Alias_Files(const char *in, FILE *out);

/* Reads up to n bytes at file position pos of in (size sz, -1 when unknown)
** into buf.  Returns the count.  Nothing past sz is asked for: a read that
** could only meet the file's end would cost a call to the system. */
long info_read_at(FILE *in, int64_t pos, unsigned char *buf, long n, int64_t sz);

/* The readers of the media types share one form: in is the media file open
** for binary reading (they may move its position), out the info text, sz the
** file size (-1 when unknown).  Each writes the lines it finds; the result
** is not used. */
int info_mp3(FILE *in, FILE *out, int64_t sz);
int info_mpeg(FILE *in, FILE *out, int64_t sz);    /* MP4 and QuickTime */
int info_mpg(FILE *in, FILE *out, int64_t sz);     /* MPEG program stream */
int info_avi(FILE *in, FILE *out, int64_t sz);
int info_flv(FILE *in, FILE *out, int64_t sz);
int info_flac(FILE *in, FILE *out, int64_t sz);
int info_wmv(FILE *in, FILE *out, int64_t sz);
int info_jpg(FILE *in, FILE *out, int64_t sz);

#endif
