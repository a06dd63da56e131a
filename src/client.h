/*
** The request handler: one thread per accepted connection.
*/
#ifndef VELMORA_CLIENT_H
#define VELMORA_CLIENT_H

#include "global.h"

/* Serves the connection on socket s until it ends; closes s.  Returns 0. */
int client(int s);

#endif
