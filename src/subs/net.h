/*
** A connection's two ends and outbound TCP sockets: what the server, the
** live stream and discovery share.
*/
#ifndef VELMORA_NET_H
#define VELMORA_NET_H

#include "global.h"

/* The four octets of a host-order address, for "%d.%d.%d.%d". */
#define OCTETS(a) (int)(((a) >> 24) & 255), (int)(((a) >> 16) & 255), \
                  (int)(((a) >> 8) & 255), (int)((a) & 255)

/* The peer address of the connected socket s (host order). */
uint32_t Get_Peer(pal_socket s);

/* A TCP socket connected to host:port (mode 0, within a few seconds) or
** bound to it (mode not 0), or 0. */
pal_socket getasocket(uint32_t host, int port, int mode);

#endif
