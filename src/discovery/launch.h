/*
** The channel launch over Roku's external-control protocol (ECP): each
** player found by discovery is asked for its channels, and the Velmora
** channel is started with the server's address and port.
*/
#ifndef VELMORA_LAUNCH_H
#define VELMORA_LAUNCH_H

#include "global.h"

#define APPID_TXT 20           /* an app id, 19 characters at most */
#define ECP_BUF   2000         /* one request or reply */

/* The channel-list query, the first request to a player. */
extern const char ECP_Query[];

/* The launch job (job 4): launches the channel on every player found, in
** table order; a player that cannot be reached is forgotten and the next
** one tried.  Returns 0. */
int Roku_Connect(void);

/* Launches the channel on the one player found at the dotted IP (from the
** panel's Launch button); forgets it when it cannot be reached.  Returns 1
** when the player was found and reached, else 0. */
int Roku_Launch(const char *ip);

/* Cleans a reply in place for the trace and the scan: every CR, and every
** LF followed by another LF, becomes a blank. */
void ecp_clean(char *text);

/* The app id of the last channel whose line names Velmora (the value after
** "id=", up to the next double quote, cut to 19 characters) into appid.
** Returns 1 when there is one, else 0. */
int ecp_appid(const char *text, char appid[APPID_TXT]);

#endif
