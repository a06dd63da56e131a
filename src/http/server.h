/*
** The listener: the listening socket with its fallbacks, the accept loop
** that hands each connection to a thread of its own, and the wait for a
** readable socket that the request handler shares.
*/
#ifndef VELMORA_SERVER_H
#define VELMORA_SERVER_H

#include "global.h"

/* A new TCP socket; ends the program when none can be had. */
pal_socket get_socket(void);

/* The bound listening socket, or 0 when no address and port could be bound.
** Writes the address and port really bound back into IP_Adrs and My_Port. */
pal_socket getmysocket(void);

/* Connections one peer address may hold at once: its share of the worker
** slots.  A player opens a handful. */
#define ADDRESS_SHARE (MAX_THREADS / 16)
/* Worker slots kept for known players (Known_Player) that hold fewer than
** KNOWN_FEW connections: with no more free than this, no one else gets in. */
#define KNOWN_ROOM (MAX_THREADS / 16)
#define KNOWN_FEW 4

/* 1 to admit an accepted socket, 0 to refuse it: refused when its address
** already holds ADDRESS_SHARE connections, or when only the slots kept for
** known players are left and it is no such player.  An admitted socket is
** counted to its address until Release_IP(s). */
int Chk_IP(pal_socket s);

/* Counts an admitted socket out of its address, before the socket closes. */
void Release_IP(pal_socket s);

/* 1 when the worker slots are more than three quarters in use or the peer
** of the admitted socket s holds its whole share: its idle waits and
** stalled sends then end soon, to make room. */
int Crowded(pal_socket s);

/* Waits until s is readable, at most sec seconds: >0 readable, 0 time-out,
** <0 error. */
int sockwait(pal_socket s, int sec);

/* The idle period before the library check, in seconds; 0 (the default) is
** two minutes.  Start-up sets it from the environment variable
** VELMORA_IDLE_SECONDS, so tests need not wait two minutes. */
extern int Idle_Seconds;

/* The server thread: runs the accept loop until Active drops.  Returns 0. */
int server(void);

#endif
