/*
** IPv4 socket addresses to and from the layer's host-order numbers, for both
** platforms' sockets.  Include it after the platform's socket headers
** (<netinet/in.h> and <arpa/inet.h>, or <winsock2.h>), which declare
** sockaddr_in, htonl and the rest.
*/
#ifndef VELMORA_PAL_SOCKADDR_H
#define VELMORA_PAL_SOCKADDR_H

#include <cstdint>
#include <cstring>

static inline sockaddr_in make_addr(uint32_t addr, int port)
{
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons((uint16_t)port);
    return sa;
}

static inline void take_addr(const sockaddr_in &sa, uint32_t *addr, int *port)
{
    if (addr) *addr = ntohl(sa.sin_addr.s_addr);
    if (port) *port = ntohs(sa.sin_port);
}

#endif
