/*
** The music library import.  "iTunes Music Library.xml" is an XML property
** list that iTunes writes one key to a line; rather than parse it on each
** request, the import turns it once into small text tables in "iTunes
** Tables" below Roku_Path, which the channel reads:
**
**   albums.txt artists.txt songs.txt playlists.txt podcasts.txt
**                  one line per name: "name=id", then "\tid" per further id
**   links.txt      the library folders, still percent-encoded, one a line
**   Track-ID.txt   every key of one track as "key=value\t", no line end
**
** The file is read line by line with a small tag splitter (getflds); only
** the keys of one track or playlist are held at a time.  The sorted lists
** are linked lists, as written; a name index beside each list finds the
** place of a new name without walking the list, so a library of many
** thousand names imports in O(n log n).
**
** Every byte of the library file is untrusted: lines longer than the buffer
** are read in pieces, values are cut at MAX_VALUE characters, keys past
** MAX_KEYS are dropped and links.txt stops at MAX_FOLDERS lines.
*/
#include "global.h"
#include "library/itunes.h"

#include <climits>
#include <cstdlib>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "library/artwork.h"
#include "config/config.h"
#include "library/iphoto.h"
#include "library/track_files.h"
#include "subs/files.h"
#include "subs/status.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

#define LIB_FILE   "iTunes Music Library.xml"
#define TABLES     "iTunes Tables"
/* Lies in the tables folder from the start of a build until it has ended
** well: the next check builds again whatever the library's time says (the
** time saved before a forced build, or a save that the disk refused). */
#define UNFINISHED ".unfinished"

char *flds[4];
static char no_text[1];                 /* what an empty field points at */

/* The state of one build; only one runs at a time. */
static FILE *xml;                       /* the library file */
static TAG key[MAX_KEYS];               /* keys of the current item */
static int keys;
static LIST *albums, *artists, *songs, *playlists, *podcasts, *linksx;
static int album_cnt, artist_cnt, song_cnt, playlist_cnt, podcast_cnt, link_cnt, track_cnt;
static long long lines, pos, end;       /* lines and bytes read; file size */

/* The name index of each sorted list, keyed by the list's head.  The keys
** view the nodes' own names; std::string_view compares bytes as unsigned,
** which is the order of strcmp. */
typedef std::map<std::string_view, LIST *> Name_Index;
static std::map<LIST **, Name_Index> list_index;

/* The track files there were when this build began, and those it wrote;
** both as a folder listing spells the names. */
static std::unordered_set<std::string> present, written;
/* The first error met writing this build's tables; 0 while all went well. */
static int table_err;

/* Notes error err (0 for none) of a table write. */
static void table_error(int err)
{
    if (err && !table_err) table_err = err;
}

/* The tables folder below Roku_Path, and the path of name in it.  The
** import opens every file by its full path: request threads serve while it
** runs, so it never moves the process's working folder. */
static std::string tables_folder(void) { return std::string(Roku_Path) + "/" TABLES; }
static std::string table_path(const char *name) { return tables_folder() + "/" + name; }

/* ------------------------------------------------------------ helpers */

/* Ends the process at once: the request threads go on running, so nothing
** may run destructors under them. */
[[noreturn]] void no_memory(void)
{
    fputs("* Out of memory !\n", stdout);
    pal_exit(1);
}

char *lib_strdup(const char *s, size_t max)
{
    size_t n = strnlen(s, max);
    char *p = (char *)malloc(n + 1);
    if (!p) no_memory();
    memcpy(p, s, n);
    p[n] = 0;
    return p;
}

static int is_digit(int c) { return c >= '0' && c <= '9'; }

/* The code of a character reference "&#dd;" (exactly two decimal digits)
** at p, or -1.  Each test stops at the text's end before reading on. */
static int char_ref(const char *p)
{
    if (p[0] != '&' || p[1] != '#' || !is_digit(p[2]) || !is_digit(p[3]) || p[4] != ';')
        return -1;
    return (p[2] - '0') * 10 + (p[3] - '0');
}

/* The decimal value of an id text, held to the int range; 0 when there is
** none.  Only blanks and tabs may come before it. */
static int id_value(const char *s)
{
    s += strspn(s, " \t");
    return *s >= '\t' && *s <= '\r' ? 0 : decimal_int(s);
}

/* Frees the held keys. */
static void clear_keys(void)
{
    for (int i = 0; i < keys; i++) {
        free(key[i].name);
        free(key[i].value);
        key[i] = TAG{nullptr, nullptr};
    }
    keys = 0;
}

/* Holds one more key with value (a heap block, or null for none), which it
** takes over.  Past MAX_KEYS the key is dropped. */
static void add_key(const char *name, char *value)
{
    if (keys >= MAX_KEYS) {
        free(value);
        return;
    }
    key[keys].name = lib_strdup(name, MAX_VALUE);
    key[keys].value = value;
    keys++;
}

/* Counts a line read and moves the progress bar. */
static void count_line(const char *line)
{
    lines++;
    pos += (long long)strlen(line);
    int pct = end > 0 ? (int)(pos * 100 / end) : 0;
    Status_Progress(pct > 100 ? 100 : pct);
}

/* --------------------------------------------------------- the checker */

/* Modification time of "folder/name", 0 when it cannot be read. */
static long long file_time(const char *folder, const char *name)
{
    char path[MAX_PATH_TXT + 64];
    sfmt(path, sizeof path, "%s/%s", folder, name);
    My_Stat_Buf st;
    if (My_stat(path, &st) != 0) return 0;
    return (long long)st.mtime;
}

/* The photo library has no stored time to compare: whenever it is there
** and the music library has not changed, it is rebuilt. */
int Chk_iTunes_iPhoto(void)
{
    WALK("Chk_iTunes_iPhoto");
    std::string music = Setting_Text(iTunes_Path), photo = Setting_Text(iPhoto_Path);
    if (!music.empty()) {
        long long t = file_time(music.c_str(), LIB_FILE);
        Debug("Check_iTunes [%s] time %lld  file %lld", music.c_str(), iTunes_Time.load(), t);
        if (t != iTunes_Time || file_time(tables_folder().c_str(), UNFINISHED)) return 1;
    }
    if (photo.empty()) return 0;
    long long t = file_time(photo.c_str(), "AlbumData.xml");
    Debug("Check_iPhoto [%s] time %lld  file %lld", photo.c_str(), iPhoto_Time.load(), t);
    iPhoto_Time = 0;
    return t ? 2 : 0;
}

/* ------------------------------------------------------ the tag splitter */

/* The line "<key>Name</key><string>Abbey Road</string>" gives the tag
** "key", the key "Name" and the value "Abbey Road" (kind 2).  A boolean
** ("<key>Podcast</key><true/>") or a string that goes on to a later line
** has no value (kind 1); "<dict>" is a tag alone (kind 0). */
int getflds(char *line)
{
    flds[0] = flds[1] = flds[2] = flds[3] = no_text;
    char *lt = strchr(line, '<');
    char *gt = lt ? strchr(lt + 1, '>') : nullptr;
    if (!gt) return 0;
    *gt = 0;
    flds[0] = lt + 1;

    char *k = gt + 1;
    char *lt2 = strchr(k, '<');
    if (!lt2) return 0;
    *lt2 = 0;
    flds[1] = k;

    /* Past the end of the closing tag and the end of the next opening tag. */
    char *close_end = strchr(lt2 + 1, '>');
    char *open_end = close_end ? strchr(close_end + 1, '>') : nullptr;
    char *stop = open_end ? strchr(open_end + 1, '<') : nullptr;
    if (!stop) return 1;
    *stop = 0;
    flds[2] = open_end + 1;
    return 2;
}

/* ------------------------------------------------------------- decoding */

/* Names are shown as 8-bit text: the UTF-8 fold first, then the two-digit
** character references that iTunes writes for "&" and the like.  The text
** never grows, so it is rewritten in place. */
char *decode_txt(char *text)
{
    WALK("decode_txt");
    char folded[2000];                  /* utf8_decode keeps 1999 characters */
    utf8_decode(folded, text);
    size_t o = 0;
    for (size_t i = 0; folded[i] && o < MAX_VALUE;) {
        int code = char_ref(folded + i);
        if (code >= 0) {
            text[o++] = (char)code;
            i += 5;
        } else {
            text[o++] = folded[i++];
        }
    }
    text[o] = 0;
    return text;
}

/* A Location stays percent-encoded, since links.txt is matched against the
** channel's own encoded paths; only its spelling is made regular.  The
** three rewrites run one after the other over the whole text, and the text
** is cut at MAX_VALUE characters, never inside an escape. */
char *decode_url(const char *text)
{
    WALK("decode_url");
    static const char lhex[] = "0123456789abcdef";
    char a[MAX_VALUE + 1], b[MAX_VALUE + 1];

    /* "&#38;" becomes "%26". */
    size_t o = 0;
    for (size_t i = 0; text[i];) {
        int code = char_ref(text + i);
        if (code >= 0) {
            if (o + 3 > MAX_VALUE) break;
            a[o++] = '%';
            a[o++] = lhex[code >> 4];
            a[o++] = lhex[code & 15];
            i += 5;
        } else {
            if (o + 1 > MAX_VALUE) break;
            a[o++] = text[i++];
        }
    }
    a[o] = 0;

    /* A two-byte UTF-8 escape "%C3%A9" becomes the Latin-1 "%e9".  Only an
    ** upper-case "C" leads one, as iTunes writes them. */
    o = 0;
    for (size_t i = 0; a[i];) {
        int h1, h2, h3;
        if (a[i] == '%' && a[i + 1] == 'C' && (h1 = hex_digit((unsigned char)a[i + 2])) >= 0 && a[i + 3] == '%' &&
            (h2 = hex_digit((unsigned char)a[i + 4])) >= 0 && (h3 = hex_digit((unsigned char)a[i + 5])) >= 0) {
            int code = ((h1 & 3) << 6) | ((h2 * 16 + h3) & 0x3F);
            b[o++] = '%';
            b[o++] = lhex[code >> 4];
            b[o++] = lhex[code & 15];
            i += 6;
        } else {
            b[o++] = a[i++];
        }
    }
    b[o] = 0;

    /* Apostrophes become "%27". */
    o = 0;
    for (size_t i = 0; b[i]; i++) {
        if (b[i] == '\'') {
            if (o + 3 > MAX_VALUE) break;
            a[o++] = '%';
            a[o++] = '2';
            a[o++] = '7';
        } else {
            if (o + 1 > MAX_VALUE) break;
            a[o++] = b[i];
        }
    }
    a[o] = 0;

    char *out = (char *)malloc(o + 21);
    if (!out) no_memory();
    memcpy(out, a, o + 1);
    return out;
}

/* ------------------------------------------------------------- the lists */

/* Room for the track ids of a node holding n: n + 8 while small, then
** whole blocks of 100. */
static size_t track_room(int n)
{
    return n <= 9 ? (size_t)n + 8 : (size_t)((n + 107) / 100) * 100;
}

/* Appends track to the node's ids, growing them by the rule above. */
static void add_track(LIST *node, int track)
{
    int n = node->trkcnt;
    if (n == INT_MAX) return;
    size_t room = track_room(n);
    if (n == 0 || room != track_room(n - 1)) {
        int *t = (int *)realloc(node->tracks, room * sizeof(int));
        if (!t) no_memory();
        node->tracks = t;
    }
    node->tracks[node->trkcnt++] = track;
}

LIST *acq_item(const char *name, int track)
{
    WALK("acq_item");
    LIST *node = (LIST *)malloc(sizeof(LIST));
    if (!node) no_memory();
    node->next = nullptr;
    node->name = lib_strdup(name, strlen(name));
    node->trkcnt = 0;
    node->tracks = nullptr;
    add_track(node, track);
    return node;
}

/* The index of the list at head; one built from the list itself when the
** list was filled some other way. */
static Name_Index &index_of(LIST **head)
{
    Name_Index &idx = list_index[head];
    if (idx.empty())
        for (LIST *l = *head; l; l = l->next) idx.emplace(l->name, l);
    return idx;
}

int insert_list(LIST **list, const char *name, int track, int flag)
{
    WALK("insert_list");
    Name_Index &idx = index_of(list);
    auto at = idx.lower_bound(name);
    if (at != idx.end() && at->first == name) {
        if (flag) add_track(at->second, track);
        return 0;
    }
    /* The new node goes after the last smaller name, or first. */
    LIST *node = acq_item(name, track);
    LIST **link = at == idx.begin() ? list : &std::prev(at)->second->next;
    node->next = *link;
    *link = node;
    idx.emplace_hint(at, node->name, node);
    return 1;
}

void rel_chain(LIST **list)
{
    WALK("rel_chain");
    for (LIST *l = *list, *next; l; l = next) {
        next = l->next;
        free(l->name);
        free(l->tracks);
        free(l);
    }
    *list = nullptr;
    list_index.erase(list);
}

/* ------------------------------------------------------------ the tracks */

/* The folder of a "file://localhost/" location as links.txt lists it:
** normally the file's own folder, but only three levels above the file in a
** deep tree, and never below a folder whose name holds two escapes in a row
** (a name the channel cannot match).  Writes the text after the prefix,
** ending in "/", to out; returns 0 when the location names no folder. */
static int lib_folder(const char *location, char *out, size_t size)
{
    char copy[MAX_VALUE + 1];
    size_t len = scopy(copy, sizeof copy, location);
    if (len <= LIB_LOCAL_LEN) return 0;

    for (size_t i = LIB_LOCAL_LEN; i < len; i++) {
        if (copy[i] != '/') continue;
        int cut = 0;
        for (size_t j = i + 1; j < len && copy[j] != '/'; j++)
            if (copy[j] == '%' && j + 3 < len && copy[j + 1] != '/' && copy[j + 2] != '/' &&
                copy[j + 3] == '%') {
                cut = 1;
                break;
            }
        if (cut) {
            copy[i + 1] = 0;
            len = i + 1;
            break;
        }
    }

    int s = 0;
    for (size_t i = LIB_LOCAL_LEN; i < len; i++)
        if (copy[i] == '/') s++;
    int want = s >= 6 ? 3 : 1;
    for (size_t i = len; i-- > LIB_LOCAL_LEN;) {
        if (copy[i] == '/' && --want == 0) {
            copy[i + 1] = 0;
            scopy(out, size, copy + LIB_LOCAL_LEN);
            return 1;
        }
    }
    return 0;
}

/* A track file is named after the id text; one that could leave the
** tables folder gets none. */
static int safe_id(const char *id)
{
    return id[0] && !strpbrk(id, "/\\:");
}

/* Writes "Track-ID.txt" with every held key.  A key without a value is
** written with nothing after "=". */
static void write_track(const char *id)
{
    if (!safe_id(id)) {
        Debug("* Track ID [%s] names no file", id);
        return;
    }
    char name[MAX_VALUE + 16];
    sfmt(name, sizeof name, "Track-%s.txt", id);
    std::string path = table_path(name);
    /* Kept as a folder listing spells it: an 8-bit name is stored as UTF-8. */
    uint16_t wide[1024];
    char listed[3 * sizeof wide + 1];
    int units = utf8_to_utf16(name, wide, 1024);
    Wide2UTF(listed, (const char *)wide, 2 * units, 2, 0);
    std::string text;
    for (int i = 0; i < keys; i++) {
        text += key[i].name;
        text += '=';
        if (key[i].value) text += key[i].value;
        text += '\t';
    }
    /* Only a file that was there can hold the text already: a first build
    ** looks for none. */
    bool keep = present.count(listed) != 0;
    Track_File(std::move(path), std::move(text), keep);
    written.insert(listed);
}

void insert_trk(void)
{
    WALK("insert_trk");
    static const char no_album[] = "Unknown Album", no_artist[] = "Unknown Artist",
                      no_song[] = "Unknown Name";
    const char *song = nullptr, *album = nullptr, *artist = nullptr, *location = nullptr,
               *id = nullptr;
    int podcast = 0, video = 0;
    for (int i = 0; i < keys; i++) {
        const char *n = key[i].name, *v = key[i].value;
        if (!strcmp(n, "Name")) song = v;
        else if (!strcmp(n, "Album")) album = v;
        else if (!strcmp(n, "Artist")) artist = v;
        else if (!strcmp(n, "Location")) location = v;
        else if (!strcmp(n, "Track ID") || !strcmp(n, "Playlist ID")) id = v;
        else if (!strcmp(n, "Podcast")) podcast = 1;
        else if (!strcmp(n, "Has Video") || !strcmp(n, "Video") || !strcmp(n, "Movie")) video = 1;
    }

    /* The defaults are held like read keys, so the track file has them. */
    if (!album) add_key("Album", lib_strdup(album = no_album, MAX_VALUE));
    if (!artist) add_key("Artist", lib_strdup(artist = no_artist, MAX_VALUE));
    if (!song) add_key("Name", lib_strdup(song = no_song, MAX_VALUE));

    int track = id ? id_value(id) : 0;
    if (!track) return;
    track_cnt++;

    if (podcast) {
        podcast_cnt += insert_list(&podcasts, album, track, 1);
    } else if (!video) {
        album_cnt += insert_list(&albums, album, track, 1);
        artist_cnt += insert_list(&artists, artist, track, 1);
        song_cnt += insert_list(&songs, song, track, 1);
    }

    if (location) {
        char folder[MAX_VALUE + 1];
        if (!strncmp(location, LIB_LOCAL, LIB_LOCAL_LEN) && lib_folder(location, folder, sizeof folder))
            link_cnt += insert_list(&linksx, folder, track, 0);
        if (!video) Locate_Art(album, artist, song, location);
    }

    write_track(id);

    char text[200];
    sfmt(text, sizeof text, "Artists %i  Albums %i  Songs %i  Artwork %i", artist_cnt, album_cnt,
         song_cnt, art_cnt);
    Status_Line(STATUS_COUNTERS, text);
    /* Let the dialog handle its messages now and then during a long build.
    ** Only the messages: a 1 ms wait here would be 5000 waits for a library
    ** of 50000 songs, more than the whole build's own work. */
    if (song_cnt % 10 == 0) wSleep(0);
}

/* ---------------------------------------------------------- the playlists */

/* The items follow the header keys as dicts of one "Track ID" each.  The
** whole-library playlists "Library" and "Music" are read past, unrecorded. */
void insert_play(void)
{
    WALK("insert_play");
    const char *name = nullptr;
    for (int i = 0; i < keys; i++)
        if (!strcmp(key[i].name, "Name")) name = key[i].value;
    int recorded = name && strcmp(name, "Library") && strcmp(name, "Music");
    if (recorded) playlist_cnt++;

    char line[ITEM_LINE];
    while (xml && fgets(line, sizeof line, xml)) {
        count_line(line);
        int kind = getflds(line);
        if (!strcmp(flds[0], "/array")) break;
        if (!recorded) continue;
        if (kind == 1) break;
        if (kind == 2) {
            int track = id_value(flds[2]);
            if (strcmp(flds[1], "Track ID") || !track) break;
            insert_list(&playlists, name, track, 1);
        }
    }
}

/* ------------------------------------------------------------ the tables */

int write_list(const char *name, LIST *list)
{
    WALK("write_list");
    Debug("write_lists - %s", name);
    if (!list) return 0;
    FILE *f = My_fopen(table_path(name).c_str(), "wb");
    if (!f) {
        Debug("* Failed to create %s !", name);
        table_error(pal_last_error());
        return 0;
    }
    for (LIST *l = list; l; l = l->next) {
        fprintf(f, "%s=%i", l->name, l->tracks[0]);
        for (int i = 1; i < l->trkcnt; i++) fprintf(f, "\t%i", l->tracks[i]);
        fputc('\n', f);
    }
    table_error(Close_Written(f, table_path(name).c_str()));
    return 0;
}

/* plinks is the table load_links fills from links.txt at start-up; request
** threads may be reading it, so it changes under their lock. */
int write_link(const char *name, LIST *list)
{
    WALK("write_link");
    std::lock_guard<std::mutex> guard(plinks_lock);
    clear_plinks();

    FILE *f = nullptr;
    if (list && !(f = My_fopen(table_path(name).c_str(), "wb"))) {
        Debug("* Failed to create %s !", name);
        table_error(pal_last_error());
    }
    int n = 0;
    for (LIST *l = list; l && n < MAX_FOLDERS; l = l->next, n++) {
        if (f) fprintf(f, "%s\n", l->name);
        plinks[n] = lib_strdup(l->name, strlen(l->name));
        Debug("link %d = [%s]", n, l->name);
    }
    plinks[n] = nullptr;
    plink_cnt = n;
    if (f) table_error(Close_Written(f, table_path(name).c_str()));
    return 0;
}

void close_lists(void)
{
    WALK("close_lists");
    write_list("albums.txt", albums);
    write_list("artists.txt", artists);
    write_list("songs.txt", songs);
    write_list("playlists.txt", playlists);
    write_list("podcasts.txt", podcasts);
    write_link("links.txt", linksx);
    Close_Artwork(tables_folder().c_str());
}

/* Deletes the files of the tables folder at the start of a build; names
** that begin with "." stay, and so do the track files, which are noted in
** present: the build writes most of them again, and rewriting a file is
** much cheaper than making a new one where as many were just deleted (the
** file system looks past recently freed entries). */
static void drop_files(void)
{
    present.clear();
    std::string folder = tables_folder();
    MY_DIR *d = My_opendir(folder.c_str());
    if (!d) {
        Debug("Reset unable to open directory [.]");
        return;
    }
    for (my_dirent *e; (e = My_readdir(d)) != nullptr;) {
        const char *name = e->d_name;
        if (name[0] == '.') continue;
        if (!strncmp(name, "Track-", 6)) present.insert(name);
        else My_remove((folder + "/" + name).c_str());
    }
    My_closedir(d);
}

/* Ends a build that passed reset(1): the track files there were and that
** this build did not write go, so the folder holds exactly the build's
** files. */
static void end_build(void)
{
    std::string folder = tables_folder();
    for (const std::string &name : present)
        if (!written.count(name)) My_remove((folder + "/" + name).c_str());
    present.clear();
    written.clear();
}

void reset(int rel)
{
    WALK("reset");
    playlist_cnt = song_cnt = album_cnt = artist_cnt = link_cnt = track_cnt = podcast_cnt = 0;
    lines = pos = end = 0;
    clear_keys();

    Debug("Release artists");
    rel_chain(&artists);
    Debug("Release albums");
    rel_chain(&albums);
    Debug("Release playlists");
    rel_chain(&playlists);
    Debug("Release songs");
    rel_chain(&songs);
    Debug("Release podcasts");
    rel_chain(&podcasts);
    Debug("Release links");
    rel_chain(&linksx);
    Reset_Artwork();

    if (rel) {
        Debug("releasing tracks");
        drop_files();
    }
    Debug("end reset");
}

/* ------------------------------------------------------------- the build */

/* A value as the tables hold it, in a new block: most values are plain
** ASCII without references and need only the cut, which saves the import
** a decode_txt for each of its many lines. */
static char *value_text(char *text)
{
    size_t n = 0;
    while (text[n] && (unsigned char)text[n] < 0x80 && text[n] != '&') n++;
    return lib_strdup(text[n] ? decode_txt(text) : text, MAX_VALUE);
}

/* Reads the library file to its end, or until the server is stopped.  The
** header keys before "Tracks" and the number key of each track's dict come
** while no keys are held and are never collected. */
static void read_library(void)
{
    char line[XML_LINE];
    int in_tracks = 0, in_playlists = 0;
    while (Active && fgets(line, sizeof line, xml)) {
        count_line(line);
        /* An item's own lines are indented; a piece of a long line or the
        ** rest of a value that runs on is not. */
        if (keys > 0 && line[0] != '\t') continue;
        int kind = getflds(line);
        if (kind == 2) {
            if (!in_tracks && !in_playlists) continue;
            if (!strcmp(flds[1], "Location")) add_key(flds[1], decode_url(flds[2]));
            else add_key(flds[1], value_text(flds[2]));
        } else if (kind == 1) {
            if (!strcmp(flds[1], "Tracks")) {
                in_tracks = 1;
            } else if (!strcmp(flds[1], "Playlists")) {
                in_tracks = 0;
                in_playlists = 1;
            } else {
                if (in_tracks && keys > 0) add_key(flds[1], nullptr);
                if (in_playlists && keys > 0 && !strcmp(flds[1], "Playlist Items")) {
                    insert_play();
                    clear_keys();
                }
            }
        } else {
            if (in_tracks && keys > 0) {
                insert_trk();
                clear_keys();
            }
            if (in_playlists && !strcmp(flds[0], "/dict")) clear_keys();
        }
    }
}

/* Opens the library and makes the tables folder.  Returns 0 when the build
** cannot start, with the reason traced. */
static int open_library(void)
{
    std::string lib = std::string(iTunes_Path) + "/" LIB_FILE;
    if (!iTunes_Path[0] || !(xml = My_fopen(lib.c_str(), "rb"))) {
        Debug("* Failed to open iTunes Music Library.xml !");
        return 0;
    }
    My_Stat_Buf st;
    if (My_stat(lib.c_str(), &st) != 0) st = My_Stat_Buf{};
    end = st.st_size;
    Status_Progress_Range(0, 100);

    /* The traces name the folders as the user knows them. */
    if (!is_folder(Roku_Path)) {
        Debug("* Failed to change to server directory !");
        return 0;
    }
    std::string tables = tables_folder();
    My_mkdir(tables.c_str());
    if (!is_folder(tables.c_str())) {
        Debug("* Failed to change to iTunes Tables folder !");
        return 0;
    }
    /* Only a build that starts takes the file's time. */
    iTunes_Time = (long long)st.mtime;
    return 1;
}

/* The music build proper, from the reset to the saved configuration.  A
** table that could not be written (a full disk) is reported and leaves the
** library due, and the server serves on. */
static int build(void)
{
    reset(1);
    table_err = 0;

    if (!open_library()) {
        if (xml) fclose(xml);
        xml = nullptr;
        end_build();
        return 0;
    }
    std::string unfinished = table_path(UNFINISHED);
    if (FILE *mark = My_fopen(unfinished.c_str(), "wb")) fclose(mark);
    setvbuf(xml, nullptr, _IOFBF, 1 << 16);
    Track_Files_Begin();
    read_library();
    fclose(xml);
    xml = nullptr;
    table_error(Track_Files_End());

    Debug("closing lists");
    close_lists();
    reset(0);
    end_build();

    if (Active) {
        Status_Progress(0);
        Debug("iTunes Build Complete");
        New_iTunes = 1;
    } else {
        /* Stopped part way: the next check must rebuild. */
        iTunes_Time = 0;
    }
    int err = table_err;
    if (err) iTunes_Time = 0;
    if (store_config() != 0 && !err) err = pal_last_error();
    if (err) Tables_Failed("iTunes", err);
    else if (Active) My_remove(unfinished.c_str());
    return 1;
}

int Bld_Tables(int code)
{
    WALK("Bld_Tables");
    if (code == 2) {
        Bld_iPhoto();
        return 0;
    }
    Debug("Bld_Tables - %d", code);
    /* The build pumps the dialog's messages, and a message may ask for a
    ** build: only one runs at a time. */
    static int building;
    if (building) {
        Debug("* A build is running already !");
        return 0;
    }
    building = 1;
    int rc = build();
    building = 0;
    return rc;
}
