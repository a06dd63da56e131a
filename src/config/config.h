/*
** The configuration file Velmora.ini, the title links, the recent list and
** the private folders.
*/
#ifndef VELMORA_CONFIG_H
#define VELMORA_CONFIG_H

#include "global.h"

#include <mutex>

/* Reads Velmora.ini at start-up, or builds it on the first run.  Returns 0. */
int get_config(void);

/* Reads the file into the globals.  Returns 0. */
int load_config(void);

/* Writes every setting and the three lists back.  Returns 0; a failure
** ends the program with the reason. */
int save_config(void);

/* save_config that survives a failure: returns -1 then, with the file as it
** was and pal_last_error saying why. */
int store_config(void);

/* First-run set-up: server name, slideshow defaults, links from the user's
** folders.  Returns 0. */
int init_config(void);

/* Adds or changes the title link title -> base (or base/name). */
int insert_link(const char *title, const char *base, const char *name);

/* Removes the title link title from the file.  Returns 0. */
int delete_link(const char *title);

/* Puts place at the head of the recent list (private places never enter).
** Returns 0. */
int insert_recent(const char *place);

/* Copies the recent list as it stands between two updates. */
void Recent_Copy(char out[MAX_RECENT][RECENT_TXT]);

/* Loads the library folder prefixes of the music import.  Returns 0. */
int load_links(void);

/* plinks and plink_cnt are rewritten by the music import while request
** threads map "/iTunes Tables/linkN/" through them: both sides hold this. */
extern std::mutex plinks_lock;

/* Frees every entry of plinks and sets plink_cnt to 0; the caller holds
** plinks_lock. */
void clear_plinks(void);

/* 1 if folder holds the music (photo) library file, which then becomes the
** configured library; else 0. */
int Check_New_iTunes(const char *folder);
int Check_New_iPhoto(const char *folder);

/* The path of Velmora.ini. */
const char *Config_File(void);

#endif
