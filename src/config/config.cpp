/*
** The configuration file Velmora.ini and the lists kept in it: reading it at
** start-up (or building it from the user's folders on the first run),
** writing it back whole, the single-entry edits of the title links and the
** recent list, the iTunes playlist links, and the recognition of a folder as
** a music or photo library.
**
** The file is touched only through the platform's profile calls, which keep
** the Windows semantics: the Roku channel is served this very file, so its
** sections, keys and value forms are part of the channel's contract.
*/
#include "global.h"
#include "config/config.h"

#include <climits>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"
#include "subs/win.h"

char Server_Name[256];
std::atomic<int> My_Port{0};
char IP_Adrs[MAX_IP][IP_TXT];
std::atomic<int> IP_cnt{0};
std::atomic<int> IP_Select{0};
std::atomic<int> Transcode{0}, VLC_Stream{0}, VLC_Subtitle{0}, On_error{0};
std::atomic<int> My_Trace{0};
std::atomic<int> Audit{0};
std::atomic<long long> iTunes_Time{0}, iPhoto_Time{0};
char iTunes_Path[MAX_PATH_TXT];
char iPhoto_Path[MAX_PATH_TXT];
char VLC_Path[MAX_PATH_TXT];
std::atomic<int> SS_period{0}, SS_overlay{0}, SS_shuffle{0}, SS_random{0};
char SS_music[1024];
std::atomic<int> Save_Config{0};
std::atomic<int> Confine{1};
char Version_Host[256];
char My_Host[256];

Link_Store links;
Link_Store paths;
char recent[MAX_RECENT][RECENT_TXT];
char *plinks[MAX_PLINKS];
int plink_cnt = 0;
std::atomic<int> New_Title{0};

/* Read sizes.  A number is read through VALUE_TXT; a text setting through a
** buffer one larger than its global, so a value that does not fit is seen
** as such and never taken (nor saved back) cut.  The list sections are read
** whole, through a buffer that starts at SECTION_TXT and grows until the
** section fits. */
#define VALUE_TXT   100
#define SECTION_TXT 2000
#define SECTION_MAX (256UL * 1024 * 1024)   /* beyond any file the profile calls read */
#define PLINK_TXT   1024     /* one line of the playlist link file */

/* A file larger than this, or one whose lines are not all "[section]" or
** "key=value" ending in CR LF, is written anew by the next full save instead
** of being edited in place.  Velmora itself never writes anything close. */
#define MAX_CLEAN_BYTES (1024L * 1024L)

/* Keeps the recent list and the file's "Recent" section in step: request
** threads call insert_recent concurrently, and a full save rewrites the same
** section. */
static std::mutex recent_lock;

static const char FATAL_WRITE[] = "WritePrivateProfileString";

#define MAX_PORT  65535

/* ------------------------------------------------------------ the table */

static constexpr Setting num_row(const char *section, const char *key, std::atomic<int> *v, unsigned flags = 0,
                                int control = 0, const char *traced = nullptr, long long most = 0, int first = 0)
{
    return Setting{section, key, SET_NUMBER, most, first, v, nullptr, nullptr, 0, control, traced, flags};
}

static constexpr Setting time_row(const char *key, std::atomic<long long> *v)
{
    return Setting{"Velmora", key, SET_TIME, 0, 0, nullptr, v, nullptr, 0, 0, nullptr, 0};
}

static constexpr Setting text_row(const char *section, const char *key, char *v, size_t size, unsigned flags = 0,
                              int control = 0, const char *traced = nullptr, long long most = 0)
{
    return Setting{section, key, SET_TEXT, most, 0, nullptr, nullptr, v, size, control, traced, flags};
}

static constexpr Setting special_row(const char *key, Setting_Kind kind, int control = 0)
{
    return Setting{"Velmora", key, kind, 0, 0, nullptr, nullptr, nullptr, 0, control, nullptr, 0};
}

/* Every key, in the order a save writes it.  The slideshow's first-run
** values are the only defaults the file does not carry; Confine starts at
** 1 and is written only when turned off. */
const Setting Settings[] = {
    special_row("Version", SET_VERSION),
    text_row("Velmora", "Name", Server_Name, sizeof Server_Name, 0, IDC_NAME, "Option server %s", NAME_MOST),
    special_row("IPadrs", SET_ADDRESS, IDC_IP),
    num_row("Velmora", "Port", &My_Port, 0, IDC_PORT, "Option port %i", MAX_PORT),
    num_row("Velmora", "Transcode", &Transcode, SET_SWITCH, IDC_TRANSCODE, "Option transcode %i"),
    num_row("Velmora", "VLC_Stream", &VLC_Stream, SET_SWITCH, IDC_STREAM, "Option stream %i"),
    num_row("Velmora", "VLC_Subtitle", &VLC_Subtitle, SET_SWITCH, IDC_SUBTITLE, "Option subtitle %i"),
    num_row("Velmora", "Trace", &My_Trace, SET_SWITCH | SET_LOG | SET_LETTER_T, IDC_TRACE, "Option trace %i"),
    num_row("Velmora", "Audit", &Audit, SET_SWITCH | SET_LOG, IDC_AUDIT, "Option audit %i"),
    time_row("iTunes_Time", &iTunes_Time),
    time_row("iPhoto_Time", &iPhoto_Time),
    text_row("Velmora", "iTunes_Path", iTunes_Path, sizeof iTunes_Path),
    text_row("Velmora", "iPhoto_Path", iPhoto_Path, sizeof iPhoto_Path),
    text_row("Velmora", "VLC_Path", VLC_Path, sizeof VLC_Path),
    num_row("Velmora", "On_error", &On_error, SET_SWITCH | SET_CHANNEL, IDC_ON_ERROR, "Option error %i"),
    text_row("Velmora", "VersionHost", Version_Host, sizeof Version_Host, SET_DROP_NONE),
    num_row("Velmora", "Confine", &Confine, SET_ONLY_OFF),
    num_row("SlideShow", "SS_period", &SS_period, SET_CHANNEL | SET_FIRST_RUN, IDC_SS_PERIOD, "Slideshow period %i", 0, 6),
    num_row("SlideShow", "SS_overlay", &SS_overlay, SET_CHANNEL | SET_FIRST_RUN, IDC_SS_OVERLAY, "Slideshow overlay %i",
           0, 1),
    num_row("SlideShow", "SS_shuffle", &SS_shuffle, SET_SWITCH | SET_CHANNEL | SET_FIRST_RUN, IDC_SS_SHUFFLE,
           "SS Shuffle %i"),
    num_row("SlideShow", "SS_random", &SS_random, SET_SWITCH | SET_CHANNEL | SET_FIRST_RUN, IDC_SS_RANDOM,
           "SS Random %i"),
    text_row("SlideShow", "SS_music", SS_music, sizeof SS_music, SET_CHANNEL, IDC_SS_MUSIC, "Option SS_music %s",
         sizeof SS_music - 1),
};

#define SETTINGS_COUNT ((int)(sizeof Settings / sizeof Settings[0]))
const int Settings_Count = SETTINGS_COUNT;

const Setting *Setting_Of_Control(int control)
{
    for (const Setting &s : Settings)
        if (control && s.control == control) return &s;
    return nullptr;
}

/* ------------------------------------------------------------ the owners */

std::mutex settings_lock;

std::string Setting_Text(const char *setting)
{
    std::lock_guard<std::mutex> guard(settings_lock);
    return setting;
}

void Set_Text(char *setting, size_t size, const char *value)
{
    std::lock_guard<std::mutex> guard(settings_lock);
    scopy(setting, size, value);
}

void Selected_Address(char *out, size_t size)
{
    std::lock_guard<std::mutex> guard(settings_lock);
    int sel = IP_Select;
    scopy(out, size, sel >= 0 && sel < MAX_IP ? IP_Adrs[sel] : "");
}

void Set_Selected_Adrs(const char *adrs)
{
    std::lock_guard<std::mutex> guard(settings_lock);
    int sel = IP_Select;
    if (sel >= 0 && sel < MAX_IP) scopy(IP_Adrs[sel], IP_TXT, adrs);
}

int Add_Adrs(const char *adrs)
{
    std::lock_guard<std::mutex> guard(settings_lock);
    if (IP_cnt >= MAX_IP) return -1;
    scopy(IP_Adrs[IP_cnt], IP_TXT, adrs);
    return IP_cnt++;
}

/* ------------------------------------------------------------ helpers */

/* A heap copy of s, or null when memory is out. */
static char *dup_text(const char *s)
{
    size_t n = strlen(s) + 1;
    char *p = (char *)malloc(n);
    if (p) memcpy(p, s, n);
    return p;
}

/* Replaces the heap string in *slot with a copy of s (the old one is freed;
** on a failed copy the old one stays). */
static void set_text(char **slot, const char *s)
{
    char *p = dup_text(s);
    if (!p) return;
    free(*slot);
    *slot = p;
}

void Clear_Links(LINK *table)
{
    for (int i = 0; i < MAX_LINKS; i++) {
        free(table[i].link);
        free(table[i].path);
        table[i].link = table[i].path = nullptr;
    }
}

Link_Table::Link_Table(const Link_Table &from)
{
    for (int i = 0; i < MAX_LINKS; i++) {
        e[i].link = from.e[i].link ? dup_text(from.e[i].link) : nullptr;
        e[i].path = from.e[i].path ? dup_text(from.e[i].path) : nullptr;
    }
}

Link_Table::~Link_Table() { Clear_Links(e); }

Link_View Link_Store::now(void) const
{
    std::lock_guard<std::mutex> guard(lock);
    return Link_View(table);
}

void Link_Store::edit(const std::function<void(LINK *)> &change)
{
    std::lock_guard<std::mutex> one(writer);
    std::shared_ptr<const Link_Table> old;
    {
        std::lock_guard<std::mutex> guard(lock);
        old = table;
    }
    auto next = std::make_shared<Link_Table>(*old);
    change(next->e);
    old = next;
    {
        std::lock_guard<std::mutex> guard(lock);
        table.swap(old);
    }
    /* old is now the table replaced: it goes here, or with its last reader. */
}

/* The value of key as the Velmora reads it: into a buffer of size bytes,
** "" when missing. */
static unsigned long get_value(const char *section, const char *key, char *buf, unsigned long size)
{
    return pal_get_private_profile_string(section, key, "", buf, size, Config_File());
}

/* Reads a number setting as "%d" does: a sign, digits, text after them
** ignored (the profile reader has trimmed the blanks).  Returns 0 (and
** leaves *out alone) when there are no digits; a value beyond the range is
** held at its end. */
static int parse_number(const char *s, long long lo, long long hi, long long *out)
{
    return read_decimal(s, lo, hi, out) != nullptr;
}

/* Reads a number setting; a missing, empty or non-numeric value leaves the
** setting as it is.  Returns 1 when one was read. */
static int read_int(const char *section, const char *key, int *out)
{
    char buf[VALUE_TXT];
    long long v;
    if (!get_value(section, key, buf, sizeof buf) || !parse_number(buf, INT_MIN, INT_MAX, &v)) return 0;
    *out = (int)v;
    return 1;
}

static void read_int(const char *section, const char *key, std::atomic<int> *out)
{
    int v;
    if (read_int(section, key, &v)) out->store(v);
}

static void read_time(const char *section, const char *key, std::atomic<long long> *out)
{
    char buf[VALUE_TXT];
    long long v;
    if (get_value(section, key, buf, sizeof buf) && parse_number(buf, LLONG_MIN, LLONG_MAX, &v))
        *out = v;
}

/* A text value in the file too long for its global is held here whole
** instead, by its row: the global is left as it was, and a save writes the
** held value back for as long as the global stays empty, so the value is
** never written back cut nor lost.  Load and save run on the main thread. */
static std::string held[SETTINGS_COUNT];

/* Reads the text setting of row r; missing or empty leaves it as it is, and
** so does a value too long for it (held). */
static void read_text(int r)
{
    const Setting &t = Settings[r];
    std::vector<char> buf(t.size + 1);
    unsigned long n;
    while ((n = get_value(t.section, t.key, buf.data(), (unsigned long)buf.size())) + 1 >= buf.size() &&
           buf.size() < SECTION_MAX)
        buf.resize(buf.size() * 4);
    held[r].clear();
    if (n >= t.size) {
        held[r].assign(buf.data(), n);
        Debug("%s longer than %d characters - held whole", t.key, (int)t.size - 1);
    } else if (n) {
        Set_Text(t.text, t.size, buf.data());
    }
}

/* Writes one key; a failure of a single key is not worth stopping for. */
static void put_text(const char *section, const char *key, const char *value, const char *file)
{
    pal_write_private_profile_string(section, key, value, file);
}

static void put_number(const char *section, const char *key, long long value, const char *file)
{
    char buf[32];
    sfmt(buf, sizeof buf, "%lld", value);
    pal_write_private_profile_string(section, key, buf, file);
}

/* Deletes a whole section.  A list section that could not be cleared would
** keep rows that the list no longer has, so this failure ends the program. */
static void drop_section(const char *section, const char *file)
{
    if (!pal_write_private_profile_string(section, nullptr, nullptr, file)) ErrorExit(FATAL_WRITE);
}

/* Writes a list section whole from entries ("key=value\0" each); as with
** drop_section, a list that could not be written ends the program. */
static void put_section(const char *section, const std::string &entries, const char *file)
{
    std::string list = entries;
    list.push_back(0);
    if (!pal_write_private_profile_section(section, list.c_str(), file)) ErrorExit(FATAL_WRITE);
}

/* Writes the text setting of row r, or the value held for it while it is
** empty. */
static void put_setting(int r, const char *file)
{
    const Setting &t = Settings[r];
    std::string value = Setting_Text(t.text);
    if (!held[r].empty() && value.empty())
        value = held[r];
    else
        held[r].clear();
    put_text(t.section, t.key, value.empty() && (t.flags & SET_DROP_NONE) ? nullptr : value.c_str(), file);
}

/* A rewrite of several keys is made as one replacement of the file, so the
** channel, which is served this file, and a crash in the middle both see the
** old file or the new one, never a list half written.  Returns 1 when the
** batch is open; without one every write replaces the file by itself. */
static int begin_rewrite(const char *file)
{
    return pal_profile_begin(file);
}

/* Puts a batch on disk.  Inside the batch the section deletes cannot fail,
** so a replacement that fails is the failure they would have met: 0 then,
** the file as it was. */
static int end_rewrite(int open, const char *file)
{
    return !open || pal_profile_end(file);
}

/* Reads a list section whole into buf, which grows until the section fits,
** and returns the length of its entries. */
static unsigned long read_section(const char *section, std::vector<char> &buf)
{
    unsigned long size = SECTION_TXT, n;
    for (;;) {
        buf.resize(size);
        n = pal_get_private_profile_section(section, buf.data(), size, Config_File());
        /* size - 2 is the platform's word for "did not fit". */
        if (n + 2 < size || size >= SECTION_MAX) break;
        size *= 4;
    }
    if (n > size - 1) n = size - 1;
    buf[n] = 0;
    return n;
}

/* Steps through the "key=value" entries of a section read by read_section.
** Returns the next entry's start or null at the end; *eq gets its "=", null
** for a line without one. */
static char *next_entry(char *buf, unsigned long len, unsigned long *pos, char **eq)
{
    if (*pos >= len) return nullptr;
    char *e = buf + *pos;
    size_t n = strnlen(e, len - *pos);
    *pos += n + 1;
    if (n == 0) return nullptr;      /* the list's final NUL */
    *eq = (char *)memchr(e, '=', n);
    return e;
}

/* ------------------------------------------------------------ the file */

/* The path of Velmora.ini, in the calling thread's own buffer (request
** threads ask for it while the main thread does). */
const char *Config_File(void)
{
    thread_local char name[MAX_PATH_TXT + 16];
    sfmt(name, sizeof name, "%s/Velmora.ini", Roku_Path);
    return name;
}

/* Reads Velmora.ini when it exists, or builds it on the first run.  Returns 0. */
int get_config(void)
{
    WALK("get_config");
    My_Stat_Buf st;
    if (My_stat(Config_File(), &st) == 0)
        load_config();
    else
        init_config();
    return 0;
}

/* Matches the configured address against the host's addresses; one that the
** host does not have (yet) is added and chosen, so the server binds to it. */
static void select_address(const char *adrs)
{
    for (int i = 0; i < IP_cnt; i++) {
        Debug("IP comp %i - %s = %s", i, IP_Adrs[i], adrs);
        if (!strcmp(IP_Adrs[i], adrs)) {
            IP_Select = i;
            Debug("IP select = %d", i);
            return;
        }
    }
    int at = Add_Adrs(adrs);
    if (at < 0) {
        Debug("IP table full - %s not added", adrs);
        return;
    }
    IP_Select = at;
    Debug("IP insert %d as %s", at, adrs);
}

/* The entries of "Links" and "Paths" that the tables have no room for, as
** "key=value\0" one after the other.  They stay in the file: a save writes
** them back after the table's own entries. */
static std::string kept_links, kept_paths;

/* Fills a table from its list section: each entry's key into the field key,
** its value into the field value (title and folder for "Links", folder and
** PIN for "Paths").  A section with entries replaces the whole table, which
** keeps the used entries contiguous from 0; entries beyond the table's room
** go to kept.  A key that begins with "[" is left out: no line written for
** it would read back as the same entry. */
static void load_table(const char *section, Link_Store &store, char *LINK::*key, char *LINK::*value,
                       std::string *kept)
{
    std::vector<char> list;
    unsigned long len = read_section(section, list), pos = 0;
    char *e, *eq;
    kept->clear();
    if (len == 0) return;
    store.edit([&](LINK *table) {
        Clear_Links(table);
        int n = 0;
        while ((e = next_entry(list.data(), len, &pos, &eq))) {
            if (!eq || eq == e || *e == '[') continue;
            LINK &l = table[n < MAX_LINKS ? n : 0];
            if (n < MAX_LINKS) {
                *eq = 0;
                l.*key = dup_text(e);
                l.*value = dup_text(eq + 1);
                *eq = '=';
            }
            if (n >= MAX_LINKS || !l.link || !l.path) {
                if (n < MAX_LINKS) {
                    free(l.link);
                    free(l.path);
                    l.link = l.path = nullptr;
                }
                kept->append(e).push_back(0);
                continue;
            }
            if (&store == &links)
                Debug("Link %s  Path %s", l.link, l.path);
            else
                Debug("Path %s  Pin %s", l.path, l.link);
            n++;
        }
    });
    if (!kept->empty()) Debug("%s: %d bytes of entries kept beyond the table", section, (int)kept->size());
}

/* Reads the file into the globals; a missing or empty value leaves its
** global as it was.  Returns 0. */
int load_config(void)
{
    WALK("load_config");
    char buf[VALUE_TXT];
    std::vector<char> list;
    unsigned long len, pos;
    char *e, *eq;

    for (int r = 0; r < SETTINGS_COUNT; r++) {
        const Setting &t = Settings[r];
        /* Option letter t turns the trace on for this run whatever the file
        ** says; the access log has no such precedence: the file's "Audit"
        ** wins over letter a. */
        if ((t.flags & SET_LETTER_T) && (t.number->load() != 0 || OPT('t'))) continue;
        if (t.kind == SET_NUMBER) read_int(t.section, t.key, t.number);
        if (t.kind == SET_TIME) read_time(t.section, t.key, t.time);
        if (t.kind == SET_TEXT) read_text(r);
    }
    if (OPT('i')) iTunes_Time = iPhoto_Time = 0;   /* forces both imports */

    if (get_value("Velmora", "IPadrs", buf, sizeof buf)) select_address(buf);

    /* The recent rows are filled in file order whatever their keys say; a
    ** line without "=" or with nothing after it fills no row. */
    len = read_section("Recent", list);
    if (len > 0) {
        std::lock_guard<std::mutex> guard(recent_lock);
        int row = 0;
        for (int i = 0; i < MAX_RECENT; i++) recent[i][0] = 0;
        pos = 0;
        while (row < MAX_RECENT && (e = next_entry(list.data(), len, &pos, &eq))) {
            if (!eq || !eq[1]) continue;
            scopy(recent[row], RECENT_TXT, eq + 1);
            Debug("Recent %d  Path %s", row, recent[row]);
            row++;
        }
    }

    load_table("Links", links, &LINK::link, &LINK::path, &kept_links);
    load_table("Paths", paths, &LINK::path, &LINK::link, &kept_paths);

    if (get_value("Velmora", "Version", buf, sizeof buf) && strcmp(buf, VELMORA_VERSION))
        put_text("Velmora", "Version", VELMORA_VERSION, Config_File());

    Debug("load config end");
    return 0;
}

/* 1 when the file is one Velmora could have written: at most
** MAX_CLEAN_BYTES, every line "[section]" or "key=value" (after a section
** header) ending in CR LF, no NUL.  A missing file counts as clean. */
static int file_is_clean(const char *file)
{
    FILE *f = My_fopen(file, "rb");
    if (!f) return 1;
    int clean = 1, in_section = 0, cr = 0, c;
    int first = -1, last = -1, eq = 0;   /* first and last non-blank bytes */
    int partial = 0;                     /* bytes since the last CR LF */
    long total = 0;
    while (clean && (c = getc(f)) != EOF) {
        if (++total > MAX_CLEAN_BYTES) {
            clean = 0;
            break;
        }
        if (cr) {
            /* A line has ended: it must be a header or an entry.  The
            ** platform takes "[a]b=c" for a header and "[a=b" for an entry;
            ** a file Velmora wrote holds neither. */
            if (c != '\n' || first < 0)
                clean = 0;
            else if (first == '[')
                clean = in_section = last == ']';
            else if (first == '=' || first == ';' || !eq || !in_section)
                clean = 0;
            cr = partial = 0;
            first = last = -1;
            eq = 0;
            continue;
        }
        partial = 1;
        if (c == '\r') {
            cr = 1;
        } else if (c == '\n' || c == 0) {
            clean = 0;
        } else if (c != ' ' && c != '\t') {
            if (first < 0) first = c;
            last = c;
            if (c == '=') eq = 1;
        }
    }
    if (partial) clean = 0;   /* the last line has no CR LF */
    fclose(f);
    return clean;
}

/* Writes every setting and the three lists into file, in the order the
** channel knows them.  Called with recent_lock held. */
static void write_settings(const char *file)
{
    char key[16];
    int i;

    for (int r = 0; r < SETTINGS_COUNT; r++) {
        const Setting &t = Settings[r];
        char adrs[IP_TXT];
        switch (t.kind) {
        case SET_VERSION: put_text(t.section, t.key, VELMORA_VERSION, file); break;
        case SET_ADDRESS:
            Selected_Address(adrs, sizeof adrs);
            put_text(t.section, t.key, adrs, file);
            break;
        case SET_NUMBER:
            if (!(t.flags & SET_ONLY_OFF) || !t.number->load()) put_number(t.section, t.key, t.number->load(), file);
            break;
        case SET_TIME: put_number(t.section, t.key, t.time->load(), file); break;
        case SET_TEXT: put_setting(r, file); break;
        }
    }

    /* Each row keeps its own number as its key, so an empty row leaves a gap
    ** in the keys. */
    Debug("update recent");
    std::string list;
    for (i = 0; i < MAX_RECENT; i++) {
        if (!recent[i][0]) continue;
        sfmt(key, sizeof key, "%d", i);
        list.append(key).append("=").append(recent[i]).push_back(0);
    }
    put_section("Recent", list, file);

    Debug("update links");
    list.clear();
    const Link_View lk = links.now(), pv = paths.now();
    for (i = 0; i < MAX_LINKS; i++)
        if (lk[i].link) list.append(lk[i].link).append("=").append(lk[i].path ? lk[i].path : "").push_back(0);
    put_section("Links", list.append(kept_links), file);

    Debug("update paths");
    list.clear();
    for (i = 0; i < MAX_LINKS; i++)
        if (pv[i].path) list.append(pv[i].path).append("=").append(pv[i].link ? pv[i].link : "").push_back(0);
    put_section("Paths", list.append(kept_paths), file);
}

/* Writes every setting and the three lists back.  Returns 0, or -1 when the
** file could not be written (pal_last_error says why); it is then as it was.
** The profile calls keep every line they are not asked to change, so a file
** that holds anything else than Velmora's own lines (a damaged or foreign
** file) is not edited: the settings go into a new file beside it, which then
** replaces it in one rename; the old file stays whole until that moment. */
int store_config(void)
{
    WALK("store_config");
    std::lock_guard<std::mutex> guard(recent_lock);
    const char *file = Config_File();
    if (file_is_clean(file)) {
        int batch = begin_rewrite(file);
        write_settings(file);
        if (!end_rewrite(batch, file)) return -1;
    } else {
        char side[MAX_PATH_TXT + 32];
        sfmt(side, sizeof side, "%s.new", file);
        Debug("save config - rewriting %s", file);
        My_remove(side);
        int batch = begin_rewrite(side);
        write_settings(side);
        if (!end_rewrite(batch, side) || My_rename(side, file) != 0) {
            int err = pal_last_error();
            My_remove(side);
            pal_set_last_error(err);
            return -1;
        }
    }
    Save_Config = 0;
    Debug("save config end");
    return 0;
}

int save_config(void)
{
    if (store_config() != 0) ErrorExit(FATAL_WRITE);
    return 0;
}

/* Folder names of the first run that give a title of their own. */
static const struct {
    const char *folder;
    const char *title;
} first_run_titles[] = {
    {"My Dropbox", "Dropbox"}, {"Dropbox", "Dropbox"},
    {"My Movies", "Movies"},   {"Movies", "Movies"},
    {"My Photos", "Photos"},   {"Photos", "Photos"},
    {"My Videos", "Videos"},   {"Videos", "Videos"},
    {"My Pictures", "Pictures"}, {"Pictures", "Pictures"},
};

/* First-run set-up: server name, slideshow defaults, title links from the
** folders of My_Path, then a full save.  Returns 0. */
int init_config(void)
{
    WALK("init_config");
    const char *file = Config_File();
    size_t ulen = strlen(User);
    char name[sizeof(my_dirent::d_name)];
    char full[MAX_PATH_TXT * 2], inner[MAX_PATH_TXT * 2];
    if (ulen > 0 && User[ulen - 1] == 's')
        sfmt(full, sizeof full, "%s' Media on %s", User, Mach);
    else
        sfmt(full, sizeof full, "%s's Media on %s", User, Mach);
    Set_Text(Server_Name, sizeof Server_Name, full);
    Debug("server name = %s", full);
    put_text("Velmora", "Version", VELMORA_VERSION, file);
    put_text("Velmora", "Name", full, file);
    Debug("set version and server");

    for (const Setting &t : Settings)
        if (t.flags & SET_FIRST_RUN) t.number->store(t.first_run);

    MY_DIR *dir = My_opendir(My_Path);
    if (!dir) {
        Debug("Unable to open directory %s", My_Path);
        return 0;
    }
    Debug("start file scan");
    while (my_dirent *ent = My_readdir(dir)) {
        scopy(name, sizeof name, ent->d_name);
        sfmt(full, sizeof full, "%s/%s", My_Path, name);
        if (!strcmp(name, ".") || !strcmp(name, "..") || !is_folder(full)) continue;

        for (const auto &t : first_run_titles) {
            if (strcmp(name, t.folder)) continue;
            Debug("create link - %s", t.title);
            insert_link(t.title, My_Path, name);
        }
        if (!strcmp(name, "Pictures")) {
            sfmt(inner, sizeof inner, "%s/iPhoto Library", full);
            if (is_folder(inner)) {
                Debug("create link - %s", "iPhoto");
                insert_link("iPhoto", full, "iPhoto Library");
                /* The photo library path names "iPhoto", not the "iPhoto
                ** Library" folder of the link: the import looks for its
                ** AlbumData.xml there. */
                sfmt(inner, sizeof inner, "%s/%s/iPhoto", My_Path, name);
                Set_Text(iPhoto_Path, sizeof iPhoto_Path, inner);
            }
        }
        if (!strcmp(name, "My Music") || !strcmp(name, "Music")) {
            /* A music folder gives the iTunes title when it holds the iTunes
            ** folder, otherwise a plain Music title; never both. */
            sfmt(inner, sizeof inner, "%s/iTunes", full);
            if (is_folder(inner)) {
                Debug("create link - %s", "iTunes");
                insert_link("iTunes", full, "iTunes");
                Set_Text(iTunes_Path, sizeof iTunes_Path, inner);
            } else {
                Debug("create link - %s", "Music");
                insert_link("Music", My_Path, name);
            }
        }
    }
    My_closedir(dir);

    save_config();
    Debug("init config end");
    return 0;
}

/* ------------------------------------------------------------ the lists */

/* Adds the title link title -> base (or base/name), or changes the folder of
** an existing one; the file is written at once.  Returns 0. */
int insert_link(const char *title, const char *base, const char *name)
{
    WALK("insert_link");
    if (!title || !*title || !base) return 0;
    char folder[MAX_PATH_TXT * 2];
    if (name)
        sfmt(folder, sizeof folder, "%s/%s", base, name);
    else
        scopy(folder, sizeof folder, base);
    Debug("insert link %s -> %s", title, folder);
    if (!pal_write_private_profile_string("Links", title, folder, Config_File())) ErrorExit(FATAL_WRITE);

    links.edit([&](LINK *table) {
        int i;
        for (i = 0; i < MAX_LINKS && table[i].link; i++) {
            if (!strcmp(table[i].link, title)) {
                set_text(&table[i].path, folder);
                return;
            }
        }
        /* With every entry used the title is kept with the entries the
        ** table has no room for, so a full save writes it back; memory gets
        ** it when the table has room at a later start. */
        if (i == MAX_LINKS) {
            kept_links.append(title).append("=").append(folder).push_back(0);
            return;
        }
        char *t = dup_text(title), *p = dup_text(folder);
        if (t && p) {
            table[i].link = t;
            table[i].path = p;
        } else {
            free(t);
            free(p);
        }
    });
    New_Title = 1;
    return 0;
}

/* Removes the title link title from the file; the caller removes the entry
** in memory.  Returns 0. */
int delete_link(const char *title)
{
    WALK("delete_link");
    if (!title || !*title) return 0;
    pal_write_private_profile_string("Links", title, nullptr, Config_File());
    /* A title beyond the table goes from the kept entries too. */
    std::string want = std::string(title) + "=", rest;
    for (size_t p = 0; p < kept_links.size(); p += strlen(kept_links.c_str() + p) + 1)
        if (kept_links.compare(p, want.size(), want)) rest.append(kept_links.c_str() + p).push_back(0);
    kept_links.swap(rest);
    return 0;
}

/* Puts place at the head of the recent list and rewrites the file's section.
** Places inside a private folder never enter.  An earlier occurrence moves
** to the head; the oldest row falls off after ten.  Returns 0. */
int insert_recent(const char *place)
{
    WALK("insert_recent");
    if (!place) return 0;
    Debug("insert_recent - %s", place);
    /* A private folder hides everything below it: the test is by the
    ** folder's own length, and case matters. */
    const Link_View pv = paths.now();
    for (int i = 0; i < MAX_LINKS; i++) {
        const char *p = pv[i].path;
        if (p && *p && !strncmp(place, p, strlen(p))) return 0;
    }
    /* The row as stored: comparisons use the same cut text, so an overlong
    ** place still finds its own earlier row. */
    char head[RECENT_TXT];
    scopy(head, sizeof head, place);
    if (!head[0]) return 0;

    std::lock_guard<std::mutex> guard(recent_lock);
    const char *file = Config_File();
    int batch = begin_rewrite(file);
    drop_section("Recent", file);

    static char next[MAX_RECENT][RECENT_TXT];   /* guarded by recent_lock */
    int n = 0, i;
    scopy(next[n++], RECENT_TXT, head);
    /* Empty rows are closed up, so the list stays contiguous from row 0. */
    for (i = 0; i < MAX_RECENT && n < MAX_RECENT; i++)
        if (recent[i][0] && strcmp(recent[i], head)) scopy(next[n++], RECENT_TXT, recent[i]);
    for (i = 0; i < MAX_RECENT; i++) {
        if (i < n)
            memcpy(recent[i], next[i], RECENT_TXT);
        else
            recent[i][0] = 0;
    }

    char key[16];
    for (i = 0; i < n; i++) {
        sfmt(key, sizeof key, "%d", i);
        put_text("Recent", key, recent[i], file);
    }
    /* A full disk must not end the server under a browsing player: the file
    ** keeps its last whole list, and the next save writes this one. */
    if (!end_rewrite(batch, file)) Debug("* Recent list not saved, error %d", pal_last_error());
    return 0;
}

void Recent_Copy(char out[MAX_RECENT][RECENT_TXT])
{
    std::lock_guard<std::mutex> guard(recent_lock);
    memcpy(out, recent, sizeof recent);
}

/* Guards plinks and plink_cnt. */
std::mutex plinks_lock;

void clear_plinks(void)
{
    for (int i = 0; i < plink_cnt && i < MAX_PLINKS; i++) {
        free(plinks[i]);
        plinks[i] = nullptr;
    }
    plink_cnt = 0;
}

/* Loads the lines of the import's playlist link file into plinks.  A line
** is cut at 1023 characters (the rest of it is passed over); its line end,
** LF or CR LF, is removed, and a last line without one is kept whole.
** Returns 0. */
int load_links(void)
{
    WALK("load_links");
    std::lock_guard<std::mutex> guard(plinks_lock);
    clear_plinks();

    char name[MAX_PATH_TXT + 64];
    sfmt(name, sizeof name, "%s/iTunes Tables/links.txt", Roku_Path);
    FILE *f = My_fopen(name, "rb");
    if (!f) {
        char err[300];
        pal_error_text(pal_last_error(), err, sizeof err);
        Debug("load_links open failed - %s", err);
        return 0;
    }

    char line[PLINK_TXT];
    int n = 0;
    while (n < MAX_PLINKS) {
        size_t len = 0;
        int c, any = 0;
        while ((c = getc(f)) != EOF) {
            any = 1;
            if (c == '\n') break;
            if (len < sizeof line - 1) line[len++] = (char)c;
        }
        if (!any) break;
        line[len] = 0;
        if (c == '\n' && len > 0 && line[len - 1] == '\r') line[--len] = 0;
        Debug("iTunes %d [%s]", n, line);
        plinks[n] = dup_text(line);
        if (!plinks[n]) break;
        n++;
    }
    fclose(f);
    plink_cnt = n;
    Debug("iTunes links = %d", plink_cnt);
    return 0;
}

/* Recognises folder as a library by the exact name of its library file; it
** then becomes the configured library with a title link, and its time is
** cleared so the next import check reads it anew.  Returns 1 or 0. */
static int check_library(const char *folder, const char *file_name, const char *title,
                         char *lib_path, std::atomic<long long> *lib_time)
{
    if (!folder) return 0;
    MY_DIR *dir = My_opendir(folder);
    if (!dir) {
        Debug("Unable to open directory %s", folder);
        return 0;
    }
    int found = 0;
    while (my_dirent *ent = My_readdir(dir))
        if (!strcmp(ent->d_name, file_name)) {
            found = 1;
            break;
        }
    My_closedir(dir);
    if (!found) return 0;
    insert_link(title, folder, nullptr);
    Set_Text(lib_path, MAX_PATH_TXT, folder);
    *lib_time = 0;
    return 1;
}

/* 1 if folder holds "iTunes Music Library.xml" (this exact spelling). */
int Check_New_iTunes(const char *folder)
{
    WALK("Check_New_iTunes");
    Debug("Check_New_iTunes");
    return check_library(folder, "iTunes Music Library.xml", "iTunes", iTunes_Path, &iTunes_Time);
}

/* 1 if folder holds "AlbumData.xml" (this exact spelling). */
int Check_New_iPhoto(const char *folder)
{
    WALK("Check_New_iPhoto");
    Debug("Check_New_iPhoto");
    return check_library(folder, "AlbumData.xml", "iPhoto", iPhoto_Path, &iPhoto_Time);
}
