/*
** Names of the Windows Sockets error numbers, which the platform layer
** reports on every platform.
*/
#ifndef VELMORA_WINERR_H
#define VELMORA_WINERR_H

#include "global.h"

/* The name of socket error number err ("ECONNRESET" for 10054), or
** "Unknown". */
const char *getsockerr(int err);

#endif
