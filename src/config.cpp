/*
** The configuration file and the lists kept in it.
*/
#include "global.h"
#include "config.h"

#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

char Server_Name[256];
std::atomic<int> My_Port{0};
char IP_Adrs[MAX_IP][IP_TXT];
int IP_cnt = 0;
int IP_Select = 0;
int Transcode, VLC_Stream, VLC_Subtitle, On_error;
std::atomic<int> My_Trace{0};
std::atomic<int> Audit{0};
long long iTunes_Time, iPhoto_Time;
char iTunes_Path[MAX_PATH_TXT];
char iPhoto_Path[MAX_PATH_TXT];
char VLC_Path[MAX_PATH_TXT];
int SS_period, SS_overlay, SS_shuffle, SS_random;
char SS_music[1024];
std::atomic<int> Save_Config{0};
char Version_Host[256];
char My_Host[256];

LINK links[MAX_LINKS];
LINK paths[MAX_LINKS];
char recent[MAX_RECENT][RECENT_TXT];
char *plinks[MAX_PLINKS];
int plink_cnt = 0;
std::atomic<int> New_Title{0};

int get_config(void) { return 0; }
int save_config(void) { return 0; }
int load_links(void) { return 0; }
