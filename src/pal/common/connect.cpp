/*
** The bounded connect, made of the platform's own non-blocking calls.
*/
#include "pal/pal.h"

int pal_connect_within(pal_socket s, uint32_t addr, int port, int ms)
{
    if (pal_set_nonblocking(s, 1) != 0) return -1;
    int r = pal_connect(s, addr, port) == 0 ? 1 : -1;
    if (r < 0 && pal_socket_error() == PAL_WSAEWOULDBLOCK) {
        r = pal_connect_wait(s, ms);
        if (r == 0) pal_set_socket_error(PAL_WSAETIMEDOUT);
    }
    int err = pal_socket_error();
    pal_set_nonblocking(s, 0);
    pal_set_socket_error(err);
    return r > 0 ? 0 : -1;
}
