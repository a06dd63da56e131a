/*
** Album artwork found next to the music: JPEG images in a track's folder
** taken as the art of its album, artist or song, kept in three sorted name
** tables that the import writes beside its lists.
*/
#ifndef VELMORA_ARTWORK_H
#define VELMORA_ARTWORK_H

#include "global.h"

/* The three tables: album, artist and song name to image path, each sorted
** by name without regard to case. */
extern ART *album_art, *artist_art, *music_art;

/* Entries made in the three tables since the last reset. */
extern int art_cnt;

/* Looks in the folder of the track at place (its Location) for images of
** its album, artist or song. */
void Locate_Art(const char *album, const char *artist, const char *song, const char *place);

/* Enters path as the art of who in table where (0 album, 1 artist, 2 song)
** unless who has one already.  Returns 0. */
int Ins_Artwork(int where, const char *who, const char *path);

/* Writes "album_art.txt", "artist_art.txt" and "music_art.txt" into folder
** (a table without entries writes no file) and frees the tables.  Returns 0. */
int Close_Artwork(const char *folder);

/* Frees whatever the tables still hold and clears art_cnt. */
void Reset_Artwork(void);

#endif
