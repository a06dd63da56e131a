/*
** Live transcoding: VLC control.  A movie the player cannot play directly is
** handed to VLC through a batch file; VLC writes (or serves) an MPEG
** transport stream, which the segmenter cuts into HLS segments and
** playlists in the "Live Stream" folder of the data folder.
*/
#ifndef VELMORA_TRANSCODE_H
#define VELMORA_TRANSCODE_H

#include "global.h"

/* The movie extensions, ending with a null pointer. */
extern const char *const Movies[];

/* The number of the last stream started; never reset while running. */
extern std::atomic<int> Live_Stream;

/* In network mode, the address VLC serves on and the segmenter reads from. */
extern char NET_Adrs[50];

/* The 1-based index of the extension type in Movies (any case), or 0. */
int Chk_Movie(const char *type);

/* Starts a live stream for the movie file path.  Returns the stream number
** (1 or more), or 0 when path is no movie or the stream did not start. */
int VLC_Transcode(const char *path);

/* Tells VLC to quit; with mode 1 also removes the files of the stream whose
** name path ends with.  Returns 0. */
int Kill_VLC(const char *path, int mode);

/* Waits until VLC's output file of stream num exists.  Returns 1, or 0 when
** it did not appear (VLC ended, or 600 seconds passed). */
int Stream_Wait(int num);

/* After the segment path has been delivered, removes the segment ten places
** earlier.  Returns 1 if it removed one. */
int Drop_VLC_File(const char *path);

/* Removes the files of stream x (every name holding "stream<x>"), unless the
** keep-files option is set and always is 0.  Returns how many. */
int Drop_VLC_Files(int x, int always);

/* 1 while the VLC of the last stream started still runs. */
int VLC_Running(void);

/* Called by the segmenter of stream n when it ends, so a request waiting
** for the stream's first segment stops waiting. */
void Stream_Ended(int n);

#endif
