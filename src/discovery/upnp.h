/*
** Device discovery (SSDP) and the launch of the channel on Roku players.
*/
#ifndef VELMORA_UPNP_H
#define VELMORA_UPNP_H

#include "global.h"

/* The discovery thread: announces the server and finds players until Active
** drops.  Returns 0. */
int UPNP_Init(void);

/* Launches the channel on every Roku player found.  Returns 0. */
int Roku_Connect(void);

#endif
