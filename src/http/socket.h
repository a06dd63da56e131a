/*
** Network addresses and outbound HTTP: the host's own addresses, name
** resolution, a connection's peer, outbound sockets, one plain HTTP GET and
** the start-up version check.
*/
#ifndef VELMORA_SOCKET_H
#define VELMORA_SOCKET_H

#include "global.h"
#include "subs/net.h"

/* Fills My_Host, IP_Adrs and IP_cnt with the host's name and its IPv4
** addresses.  Returns 0. */
int Get_IP_Adrs(void);

/* The address the server was told to use (IP_Adrs[IP_Select]), or "": a
** copy of it, the calling thread's own until its next call. */
const char *Selected_Adrs(void);

/* The first IPv4 address of name (host order), or 0. */
uint32_t get_ip(const char *name);

/* Fetches url over HTTP into buf (at most max - 1 bytes, NUL-terminated;
** headers included).  Returns the bytes received, or 0. */
int Get_A_File(const char *url, char *buf, int max);

/* Asks the configured version-check host for the current version; shows the
** news in control 111 and returns 1 when a newer one is announced, else 0.
** Does nothing (0) when no host is configured. */
int Check_Version(void);
#endif
