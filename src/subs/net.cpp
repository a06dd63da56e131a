/*
** A connection's two ends and outbound TCP sockets.
*/
#include "global.h"
#include "subs/net.h"

#include "subs/threads.h"
#include "subs/trace.h"

/* A peer that is unplugged or asleep never answers the connect; the system
** would wait minutes for it.  Every outbound connect gives up after this. */
static const int CONNECT_TIMEOUT_MS = 3000;

/* Traces both ends of s and returns the peer's address (0 when s has no
** peer). */
uint32_t Get_Peer(pal_socket s)
{
    WALK("Get_Peer");
    uint32_t local = 0, peer = 0;
    if (pal_getsockname(s, &local, nullptr) != 0) local = 0;
    if (pal_getpeername(s, &peer, nullptr) != 0) peer = 0;
    Debug("Local  IP = %d.%d.%d.%d", OCTETS(local));
    Debug("Remote IP = %d.%d.%d.%d", OCTETS(peer));
    return peer;
}

/* A TCP socket connected to host:port (mode 0) or bound to it (mode not 0);
** 0 on failure. */
pal_socket getasocket(uint32_t host, int port, int mode)
{
    WALK("getasocket");
    pal_socket s = pal_socket_open(PAL_AF_INET, PAL_SOCK_STREAM, 0);
    if (s == PAL_INVALID_SOCKET) {
        Debug("Acquire socket failed %i", pal_socket_error());
        return 0;
    }
    Debug("Open socket - %d (getasocket)", s);
    if (mode) {
        if (pal_bind(s, host, port) != 0) {
            Debug("Unable to acquire network port %i", port);
            pal_closesocket(s);
            return 0;
        }
    } else if (pal_connect_within(s, host, port, CONNECT_TIMEOUT_MS) != 0) {
        Debug("Can't open data connection %i", pal_socket_error());
        pal_closesocket(s);
        return 0;
    }
    Get_Peer(s);
    return s;
}
