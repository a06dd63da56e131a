/*
** SSDP discovery and advertising: the server announces itself as a UPnP
** root device, answers searches, searches for Roku players and media
** servers, and keeps what it hears in two process-wide tables.
*/
#ifndef VELMORA_SSDP_H
#define VELMORA_SSDP_H

#include "global.h"

#define MAX_FOUND   100    /* Roku players */
#define FOUND_TXT   30     /* one player's "a.b.c.d:port" */
#define MAX_DLNA    1000   /* device description URLs */
#define DLNA_TXT    100    /* one URL, 99 characters at most */
#define SSDP_BUF    2000   /* every message sent and datagram received */
#define SSDP_PORT   1900
#define SSDP_GROUP  0xEFFFFFFAu   /* 239.255.255.250 */
#define ROKU_UDP_PORT 11111       /* the channel's own UDP socket on a player */

/* The ECP address of every Roku player heard, "%d.%d.%d.%d:%d", appended
** only; fndcnt is raised after the entry is complete, so a reader on another
** thread always sees whole entries. */
extern char found[MAX_FOUND][FOUND_TXT];
extern std::atomic<int> fndcnt;
/* The UDP socket used to reach found[i]; 0 when not opened yet. */
extern pal_socket Roku_skt[MAX_FOUND];
/* fndcnt at the last NOTIFY (for the counter line). */
extern int roku;
/* The description URL (LOCATION) of every UPnP device heard. */
extern char DLNA[MAX_DLNA][DLNA_TXT];
extern int DLNA_Cnt;

/* The state of one run of the discovery thread. */
struct Ssdp_Run {
    int pass;                  /* search cycles sent */
    int DLNA_Pass[MAX_DLNA];   /* pass when DLNA[i] was last heard */
    time_t searchtime, notifytime, rokutime;
    time_t respondtime;        /* when the pending search answer is due; 0 = none */
    int search, notify, other; /* counters of the counter line */
    char sta[100];             /* the counter line last shown */
    char buf[SSDP_BUF];
};

/* The discovery thread (job 3): announces the server and finds players and
** devices until Active drops.  Returns 0. */
int UPNP_Init(void);

/* Handles the n bytes of a datagram in r->buf (n < SSDP_BUF) heard at time
** tm: schedules a search answer, or records a device URL and a player. */
void UPNP_Datagram(Ssdp_Run *r, int n, time_t tm);

/* Reads "%d.%d.%d.%d:%d" (as scanf reads it) into v.  Returns 1 when all
** five numbers were read. */
int Split_Adrs(const char *text, int v[5]);

/* Formats the NOTIFY alive with its list of recently heard URLs into
** r->buf.  Returns its length. */
int UPNP_Notify_Text(Ssdp_Run *r);

#endif
