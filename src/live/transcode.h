/*
** Live transcoding: VLC control.  A movie the player cannot play directly is
** handed to VLC through a batch file; VLC writes (or serves) an MPEG
** transport stream, which the segmenter cuts into HLS segments and
** playlists in the "Live Stream" folder of the data folder.
*/
#ifndef VELMORA_TRANSCODE_H
#define VELMORA_TRANSCODE_H

#include "global.h"

#include <string>
#include <vector>

/* The movie extensions, ending with a null pointer. */
extern const char *const Movies[];

/* The number of the last stream started; never reset while running. */
extern std::atomic<int> Live_Stream;

/* In network mode, the address VLC serves on and the segmenter reads from. */
extern char NET_Adrs[50];

/* The 1-based index of the extension type in Movies (any case), or 0. */
int Chk_Movie(const char *type);

/* Starts a live stream for the movie file path, asked for by the client
** at addr.  Returns the stream number (1 or more), or 0 when path is no
** movie file, another client's stream may not be ended, or the stream did
** not start. */
int VLC_Transcode(const char *path, uint32_t addr);

/* 1 when the client at addr may end the stream whose name path ends with
** (or the running one when it names none): it started that stream, or no
** file of the stream has been fetched for STREAM_IDLE seconds. */
int Live_May_End(const char *path, uint32_t addr);

/* Tells VLC to quit; with mode 1 also removes the files of the stream whose
** name path ends with.  Returns 0. */
int Kill_VLC(const char *path, int mode);

/* Waits until VLC's output file of stream num exists.  Returns 1, or 0 when
** it did not appear (VLC ended, or 600 seconds passed). */
int Stream_Wait(int num);

/* After the file path has been delivered: a file of a live stream in the
** live-stream folder counts as the stream's last fetch, and a segment
** there removes the segment ten places earlier (only with transcoding on
** and the keep-files option off).  Returns 1 if it removed one. */
int Drop_VLC_File(const char *path);

/* The live-stream folder, opened as a private folder (pal_private_open):
** with take 1 created or taken back.  Returns its handle or -1. */
int Live_Folder(int take);

/* Opens the file name of the live-stream folder: created anew for who
** (PAL_PRIVATE_...), or read.  Returns the stream or null. */
FILE *Live_Create(const char *name, int who);
FILE *Live_Read(const char *name);
/* Removes name from the live-stream folder, or renames it there.  Returns
** 0 on success. */
int Live_Remove(const char *name);
int Live_Rename(const char *from, const char *to);

/* Whether the resolved path may be served as far as the live-stream folder
** is concerned: 1 for a path outside it, the folder itself, a name not in
** it, or a plain file of the server's own directly in it while the folder
** is private; else 0. */
int Live_Served(const char *path);

/* Removes the files of stream x (every name holding "stream<x>"), unless the
** keep-files option is set and always is 0.  Returns how many. */
int Drop_VLC_Files(int x, int always);

/* 1 while the VLC of the last stream started still runs. */
int VLC_Running(void);

/* A live stream as the status view shows it. */
struct Live_View {
    int number;
    std::string movie;    /* the file it was started for */
    int vlc;              /* 1 while its VLC runs */
};
/* Copies of the streams started and not yet stopped, taken under the
** owners' lock, oldest first. */
std::vector<Live_View> Live_Streams(void);

/* Called by the segmenter of stream n when it ends, so a request waiting
** for the stream's first segment stops waiting. */
void Stream_Ended(int n);

#endif
