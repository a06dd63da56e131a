/*
** SSDP discovery and advertising: the server announces itself as a UPnP
** root device, answers searches, searches for Roku players and media
** servers, and keeps what it hears in two process-wide tables.
*/
#ifndef VELMORA_SSDP_H
#define VELMORA_SSDP_H

#include "global.h"

#include <mutex>
#include <string>
#include <vector>

#define MAX_FOUND   100    /* Roku players */
#define FOUND_TXT   30     /* one player's "a.b.c.d:port" */
#define USN_TXT     100    /* one device's USN, cut to 99 characters */
#define MAX_DLNA    1000   /* device description URLs */
#define DLNA_TXT    100    /* one URL, 99 characters at most */
#define MAX_CHECKS  16     /* players being checked at once */
#define SSDP_BUF    2000   /* every message sent and datagram received */
#define SSDP_PORT   1900
#define SSDP_GROUP  0xEFFFFFFAu   /* 239.255.255.250 */
#define ROKU_UDP_PORT 11111       /* the channel's own UDP socket on a player */

/* The Roku players heard and checked: found[i] is the ECP address
** "%d.%d.%d.%d:%d", Found_USN[i] the USN it was heard with, Found_Heard[i]
** when it was last heard (time()), Roku_skt[i] the UDP socket that reaches
** it (0 when not opened yet).  Rule: these tables and fndcnt change only
** under Found_Lock: the discovery thread adds, refreshes and ages entries,
** the launch forgets one that it cannot reach.  Another thread copies what
** it reads under the lock; fndcnt alone may be read without it. */
extern std::mutex Found_Lock;
extern char found[MAX_FOUND][FOUND_TXT];
extern char Found_USN[MAX_FOUND][USN_TXT];
extern time_t Found_Heard[MAX_FOUND];
extern std::atomic<int> fndcnt;
extern pal_socket Roku_skt[MAX_FOUND];
/* fndcnt at the last NOTIFY (for the counter line). */
extern int roku;
/* The description URL (LOCATION) of every UPnP device heard.  Rule: the
** discovery thread alone writes them, under Heard_Lock, and reads them
** without it; another thread reads them only through Devices_Heard. */
extern char DLNA[MAX_DLNA][DLNA_TXT];
extern int DLNA_Cnt;
extern std::mutex Heard_Lock;

/* A copy of the description URLs heard, taken under Heard_Lock. */
std::vector<std::string> Devices_Heard(void);

/* A player heard but not recorded yet: it is recorded only once its ECP
** port has answered the channel-list query. */
struct Ssdp_Check {
    char adrs[FOUND_TXT];
    char usn[USN_TXT];
    pal_socket s;              /* 0 until the connect starts */
    int asked;                 /* the query went */
    time_t due;                /* given up after this */
};

/* The state of one run of the discovery thread. */
struct Ssdp_Run {
    int pass;                  /* search cycles sent */
    int DLNA_Pass[MAX_DLNA];   /* pass when DLNA[i] was last heard */
    time_t searchtime, notifytime, rokutime;
    time_t respondtime;        /* when the pending search answer is due; 0 = none */
    int search, notify, other; /* counters of the counter line */
    char sta[100];             /* the counter line last shown */
    Ssdp_Check check[MAX_CHECKS];
    int checks;                /* players being checked */
    char buf[SSDP_BUF];
};

/* The discovery thread (job 3): announces the server and finds players and
** devices until Active drops.  Returns 0. */
int UPNP_Init(void);

/* Handles the n bytes of a datagram in r->buf (n < SSDP_BUF) heard at time
** tm: schedules a search answer, or records a device URL and a player. */
void UPNP_Datagram(Ssdp_Run *r, int n, time_t tm);

/* Moves each player check on without waiting: connect, send the query,
** read the answer; one that answers "200 OK" is recorded, one that fails or
** is not done by its due time is dropped. */
void UPNP_Checks(Ssdp_Run *r, time_t tm);

/* Forgets every player not heard for a minute at time tm. */
void UPNP_Age(time_t tm);

/* Forgets the player at the ECP address adrs.  Returns 1 when it was known. */
int Forget_Player(const char *adrs);

/* Reads "%d.%d.%d.%d:%d" (as scanf reads it) into v.  Returns 1 when all
** five numbers were read. */
int Split_Adrs(const char *text, int v[5]);

/* Formats the NOTIFY alive with its list of recently heard URLs into
** r->buf.  Returns its length. */
int UPNP_Notify_Text(Ssdp_Run *r);

#endif
