/*
** Device discovery and the channel launch.  Discovery is not built yet: the
** jobs start, say so in the trace and end.
*/
#include "global.h"
#include "discovery/upnp.h"

#include "subs/threads.h"
#include "subs/trace.h"

int UPNP_Init(void)
{
    WALK("UPNP_Init");
    Debug("Discovery not available in this build");
    return 0;
}

int Roku_Connect(void)
{
    WALK("Roku_Connect");
    Debug("Roku launch not available in this build");
    return 0;
}
