/*
** The configuration file Velmora.ini, the title links, the recent list and
** the private folders.
*/
#ifndef VELMORA_CONFIG_H
#define VELMORA_CONFIG_H

#include "global.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

/*
** Owners and rules of the state that request threads read.
**
** Number settings (Transcode, My_Port, IP_Select, the slideshow numbers...)
**   are std::atomic: any thread writes and reads them whole.
** Text settings (Server_Name, iTunes_Path, iPhoto_Path, VLC_Path,
**   Version_Host, SS_music) and the address table (IP_Adrs, IP_cnt):
**   written only under settings_lock (Set_Text, Add_Adrs, Set_Selected_Adrs),
**   by the main thread (load, the options dialog, first run, library
**   recognition), the server thread (the address it bound) and a request
**   thread looking for VLC (VLC_Path).  The main thread reads the texts only
**   it writes (the library paths, the name, the music) as they stand; every
**   other read takes a copy under the lock (Setting_Text, Selected_Adrs), so
**   it sees the old text or the new one whole.  Start-up fills them before
**   any worker exists.
** links and paths: published tables.  A reader takes links.now() and reads
**   that table for as long as it holds it; it never changes.  A writer
**   (Link_Store::edit, main thread) changes a private copy and publishes it
**   whole; the old one is freed when its last reader lets it go.  Nothing is
**   freed under a reader, and a request costs one pointer copy, not a table.
** recent: recent_lock (in config.cpp) around every write, the file's
**   "Recent" section with it; readers copy it whole (Recent_Copy).
** plinks, plink_cnt: plinks_lock on both sides.
*/

/* Guards the text settings and the address table (above). */
extern std::mutex settings_lock;

/* A copy of the text setting or IP_Adrs row at setting, taken under
** settings_lock. */
std::string Setting_Text(const char *setting);

/* Writes value into the text setting (size bytes, cut to fit) under
** settings_lock. */
void Set_Text(char *setting, size_t size, const char *value);

/* Copies IP_Adrs[IP_Select] (or "" when out of range) into out. */
void Selected_Address(char *out, size_t size);

/* Writes adrs into IP_Adrs[IP_Select]: the address really bound. */
void Set_Selected_Adrs(const char *adrs);

/* Appends adrs to IP_Adrs; returns its index, or -1 when the table is full. */
int Add_Adrs(const char *adrs);

/* One table of title links (title, folder) or private folders (PIN, folder)
** as published: it owns its strings and never changes. */
struct Link_Table {
    LINK e[MAX_LINKS] = {};
    Link_Table() = default;
    Link_Table(const Link_Table &from);
    Link_Table &operator=(const Link_Table &) = delete;
    ~Link_Table();
};

/* What a reader holds: the table as it was published when it asked. */
class Link_View {
public:
    explicit Link_View(std::shared_ptr<const Link_Table> t) : table(std::move(t)) {}
    const LINK &operator[](int i) const { return table->e[i]; }

private:
    std::shared_ptr<const Link_Table> table;
};

class Link_Store {
public:
    Link_Store() : table(std::make_shared<Link_Table>()) {}
    /* The table now published. */
    Link_View now(void) const;
    /* Runs change on a copy of the table, then publishes the copy.  The
    ** strings in the copy are its own: change frees and replaces them with
    ** malloc'd ones as it likes.  Writers run one at a time. */
    void edit(const std::function<void(LINK *)> &change);

private:
    mutable std::mutex lock;       /* guards table */
    std::mutex writer;             /* one edit at a time */
    std::shared_ptr<const Link_Table> table;
};

extern Link_Store links;   /* title links: used entries contiguous from 0 */
extern Link_Store paths;   /* private folders: free entries anywhere */

/* Frees every entry of an edited table (for Link_Store::edit). */
void Clear_Links(LINK *table);

/* ------------------------------------------------------------ settings */

/* The options dialog's controls that show a setting (dialog 200): the row
** of the setting names its control. */
enum Setting_Control {
    IDC_NAME = 201, IDC_IP = 202, IDC_PORT = 203, IDC_TRANSCODE = 204, IDC_STREAM = 205,
    IDC_SUBTITLE = 206, IDC_TRACE = 207, IDC_AUDIT = 208, IDC_ON_ERROR = 209,
    IDC_SS_OVERLAY = 210, IDC_SS_PERIOD = 211, IDC_SS_SHUFFLE = 212, IDC_SS_RANDOM = 213,
    IDC_SS_MUSIC = 214
};

#define NAME_MOST 39   /* characters of the server name the dialog takes */

enum Setting_Kind {
    SET_NUMBER,    /* an int, read as "%d" reads it */
    SET_TIME,      /* a 64-bit file time */
    SET_TEXT,      /* text of at most size - 1 bytes */
    SET_ADDRESS,   /* "IPadrs": the selected entry of IP_Adrs */
    SET_VERSION    /* "Version": the program's own, always written */
};

#define SET_SWITCH    0x01   /* a check box in the dialog */
#define SET_CHANNEL   0x02   /* the channel reads it from the served file: a change sets New_Title */
#define SET_LOG       0x04   /* a log switch: shown as the log is, opens or closes it at once */
#define SET_LETTER_T  0x08   /* option letter t wins over the file */
#define SET_ONLY_OFF  0x10   /* written only when 0, so an untouched file stays as it was */
#define SET_DROP_NONE 0x20   /* empty removes the key */
#define SET_FIRST_RUN 0x40   /* the first run sets first_run */

/* One key of Velmora.ini.  Loading, saving, first run, the options dialog
** (and so the web panel, which draws it) and the manual page's list of
** settings all go by this table; the file's keys are written in its order. */
struct Setting {
    const char *section, *key;
    Setting_Kind kind;
    long long most;               /* the dialog takes at most this number, or this many
                                  ** characters of a text; 0: a number's whole range */
    int first_run;                /* what the first run sets (with SET_FIRST_RUN) */
    std::atomic<int> *number;     /* where the value lives, as kind says */
    std::atomic<long long> *time;
    char *text;
    size_t size;
    int control;                  /* its control in the options dialog, 0 for none */
    const char *traced;           /* the dialog's trace line when it changes */
    unsigned flags;
};

extern const Setting Settings[];
extern const int Settings_Count;

/* The row shown by the dialog's control, or null. */
const Setting *Setting_Of_Control(int control);

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
