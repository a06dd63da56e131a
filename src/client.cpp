/*
** The request handler.  For now a connection is accepted and closed again at
** once: the server answers nothing until request handling is built.
*/
#include "global.h"
#include "client.h"

#include "subs/threads.h"
#include "subs/trace.h"

int client(int s)
{
    WALK("client");
    Debug("client %d: no request handling yet, closing", s);
    pal_closesocket(s);
    return 0;
}
