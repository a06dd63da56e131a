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

/* 1 to admit an accepted socket, 0 to refuse it. */
int Chk_IP(pal_socket s);

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
