/*
** The records, sizes and globals that every module of Velmora shares.
** Each module's own operations are declared in its own header.
*/
#ifndef VELMORA_GLOBAL_H
#define VELMORA_GLOBAL_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "pal/pal.h"

/* ------------------------------------------------------------------ sizes */

#define MAX_THREADS   1000   /* slots of the thread table */
#define MAX_WALKBACK  50     /* names on one call-trace stack */
#define MAX_PATH_TXT  2048   /* My_Path, Roku_Path and the configured paths */
#define MAX_NAME      80     /* User, Mach */
#define MAX_ARGS      20     /* entries of the start-up argument list */
#define MAX_IP        100    /* host addresses */
#define IP_TXT        20     /* one dotted address */
#define MAX_LINKS     1000   /* title links and private folders */
#define MAX_RECENT    10     /* rows of the recent list */
#define RECENT_TXT    1000   /* one row of the recent list */
#define MAX_PLINKS    10000  /* library folder prefixes */

/* VELMORA_VERSION comes from the build (the project line of CMakeLists.txt). */
#ifndef VELMORA_VERSION
#error "VELMORA_VERSION is defined by the build"
#endif

/* ---------------------------------------------------------------- records */

/* One slot of the thread table.  `active` is claimed atomically so that two
** threads starting jobs at once never share a slot. */
struct MyData {
    std::atomic<int> active;
    int ActID;                   /* the slot's own index */
    int Func;                    /* job code */
    int Param;                   /* the job's parameter */
    std::atomic<int> Xfer;       /* set while the request handler sends a file */
    int WalkbackIDX;             /* names on the call-trace stack */
    const char *Walkback[MAX_WALKBACK];
};

/* A title link (title, folder) or a private folder (PIN, folder). */
struct LINK {
    char *link;
    char *path;
};

/* A node of one of the music import's sorted lists: a group name (album,
** artist, song, playlist, podcast or library folder) and its Track IDs in
** the order they were added. */
struct LIST {
    LIST *next;
    char *name;
    int trkcnt;
    int *tracks;
};

/* An artwork entry: a name (lower case, no trailing spaces) and its image. */
struct ART {
    ART *next;
    char *name;
    char *path;
};

/* One key of the item being read from the music library, with its value
** (null for a key read without one). */
struct TAG {
    char *name;
    char *value;
};

/* One entry of the table of optional system functions. */
struct LD {
    void **adrs;                 /* where the function's address is stored */
    const char *ent;             /* function name */
    const char *dll;             /* library file */
};

/* ------------------------------------------------------- process globals */

extern uint32_t options;                 /* start-up letters: L sets bit 'z' - L */
#define OPT(c) ((options >> ('z' - (c))) & 1u)

extern char Version[16];
extern char User[MAX_NAME];
extern char Mach[MAX_NAME];
extern char My_Path[MAX_PATH_TXT];
extern char Roku_Path[MAX_PATH_TXT];
extern std::atomic<HWND> Win;
extern int Win_Vers_Major, Win_Vers_Minor, Win_Platform;
extern char OS_Code;
extern uint32_t strtick;
extern std::atomic<int> TERM;
extern std::atomic<int> Active;
extern std::atomic<int> Connecting;
extern int Arg_Count;
extern char Args[MAX_ARGS][1024];

/* --------------------------------------------------- configuration globals */

/* Who may write these and how other threads read them is written in
** config/config.h, which owns them.  Numbers are atomic; the texts and the
** address table are written under settings_lock and read elsewhere through
** a copy (Setting_Text, Selected_Adrs). */
extern char Server_Name[256];
extern std::atomic<int> My_Port;
extern char IP_Adrs[MAX_IP][IP_TXT];
extern std::atomic<int> IP_cnt;
extern std::atomic<int> IP_Select;
extern std::atomic<int> Transcode, VLC_Stream, VLC_Subtitle, On_error;
extern std::atomic<int> My_Trace;
extern std::atomic<int> Audit;
extern std::atomic<long long> iTunes_Time, iPhoto_Time;
extern char iTunes_Path[MAX_PATH_TXT];
extern char iPhoto_Path[MAX_PATH_TXT];
extern char VLC_Path[MAX_PATH_TXT];
extern std::atomic<int> SS_period, SS_overlay, SS_shuffle, SS_random;
extern char SS_music[1024];
extern std::atomic<int> Save_Config;
/* 1 (the default): only the shared places are served; "Confine=0" in
** [Velmora] serves any path, as before. */
extern std::atomic<int> Confine;
extern char Version_Host[256];           /* version-check host; empty = no check */

/* ----------------------------------------------------------- list globals */

/* links and paths are published tables (config/config.h); recent and
** plinks have their locks there. */
extern char recent[MAX_RECENT][RECENT_TXT];
extern char *plinks[MAX_PLINKS];
extern int plink_cnt;
extern std::atomic<int> New_Title;
extern std::atomic<int> New_iTunes;        /* a new music import: listings say so */

/* ---------------------------------------------------------- server globals */

extern char My_Host[256];
extern std::atomic<int> My_Socket;
extern unsigned char ip[4];

#endif
