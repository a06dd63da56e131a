/*
** Live transcoding.  Not built yet: no stream is ever started, so there is
** nothing to segment or to clean up.
*/
#include "global.h"
#include "live/transcode.h"

#include "subs/threads.h"
#include "subs/trace.h"

int VLC_Trans(int param)
{
    WALK("VLC_Trans");
    Debug("Transcoding not available in this build (%d)", param);
    return -1;
}

int Drop_VLC_Files(int, int) { return 0; }
