/*
** Live transcoding: VLC control and the HLS segmenter.
*/
#ifndef VELMORA_TRANSCODE_H
#define VELMORA_TRANSCODE_H

#include "global.h"

/* The segmenter thread of one live stream.  Returns its status. */
int VLC_Trans(int param);

/* Removes the files of live stream n (with mode 1 all of them).  Returns 0. */
int Drop_VLC_Files(int n, int mode);

#endif
