/*
** The photo library import.  iPhoto keeps its library described in
** AlbumData.xml, a property list it rewrites whenever the library changes.
** The file is read here line by line in 2000-byte blocks, holding one album,
** roll or photo at a time, into the five tables of "iPhoto Tables" that the
** channel reads for its photo menus and slideshows:
**
**   Events.txt  one line per roll (iPhoto's name for an event)
**   Albums.txt  one line per album
**   Photos.txt  one line per photo with a caption, comment, date, path,
**               thumb or flag
**   Index.txt   photo number -> position of its line in Photos.txt
**   Paths.txt   the image folders; a photo's path names its folder by number
**
** The reading is line-based, not a real XML parser: iPhoto writes one key
** and one value per line, and the import relies on that layout.
*/
#include "global.h"
#include "library/iphoto.h"

#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <string>
#include <unordered_map>

#include "subs/files.h"
#include "subs/status.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"
#include "subs/win.h"

/* iPhoto's times count seconds from 2001-01-01; this moves them to 1970. */
#define MAC_EPOCH 978307200.0

/* The library file and the block of it being taken apart. */
static FILE *xml;
static char Data[2000];
static int Data_len;          /* bytes that the last read delivered */
static int Data_at;           /* the next of them to take */
static long long Pos;         /* bytes of the file consumed */

static int ID;                /* number of the latest album, roll or photo */

/* The five tables being written. */
static FILE *Events_f, *Albums_f, *Index_f, *Photos_f, *Paths_f;

/* Photo number -> line position in Photos.txt (byte offset + 1, 0 for
** none).  pmax entries are in use and go to Index.txt; IDX_room are
** allocated, grown by doubling so a library of rising numbers is not
** copied over and over. */
static int *IDX;
static int pmax;
static int IDX_room;

/* The image folders and their numbers, in order of first use. */
static std::unordered_map<std::string, int> IP_Paths;
static int IP_Path_cnt;

/* The album or roll being read: only one is held at a time, and its line is
** written as soon as its entry ends. */
struct PHOTO_SET {
    int id;
    char name[IPHOTO_LINE];
    char comment[IPHOTO_LINE];
    char song[IPHOTO_LINE];
    int thumb;
    int has_thumb;            /* a KeyPhotoKey or the first item was seen */
    time_t date;
    int cnt;                  /* items in use */
    int room;                 /* items allocated */
    int *items;
};
static PHOTO_SET Set;

/* The percentage last shown on the progress bar. */
static int Shown;

/* ---------------------------------------------------------------- helpers */

/* printf to one of the tables; the bytes written (0 when the table is not
** open or the write failed). */
static int put(FILE *f, const char *fmt, ...) PAL_PRINTF(2, 3);
static int put(FILE *f, const char *fmt, ...)
{
    if (!f) return 0;
    va_list ap;
    va_start(ap, fmt);
    int n = vfprintf(f, fmt, ap);
    va_end(ap);
    return n > 0 ? n : 0;
}

/* The text of a value line: between its first ">" and the "<" after it, or
** the whole line when it has no such pair.  Cuts line. */
static const char *value(char *line)
{
    return line + tag_text(line);
}

/* An iPhoto timer interval (seconds since 2001, with a fraction) as seconds
** since 1970: its integer part plus the epoch difference, held within the
** range of int (the tables print dates with %d). */
static int timer(const char *text)
{
    double d = strtod(text, nullptr);
    if (std::isnan(d)) d = 0; /* as text that is no number */
    d = std::trunc(d) + MAC_EPOCH;
    if (d > INT_MAX) return INT_MAX;
    if (d < INT_MIN) return INT_MIN;
    return (int)d;
}

/* Shows how far the file has been read, when the percentage changed. */
static void progress(long long size)
{
    long long pct = size > 0 ? Pos * 100 / size : 0;
    if (pct > 100) pct = 100;
    if (pct == Shown) return;
    Shown = (int)pct;
    Status_Progress(Shown);
}

/* ----------------------------------------------------------- line reading */

void iPhoto_Source(FILE *f)
{
    xml = f;
    Data_len = Data_at = 0;
    Pos = 0;
}

/* Characters are taken one at a time from the current block; a new block is
** read when it is used up, and only the bytes that read delivered count.  A
** value that spans lines (an LF inside a caption) stays one line, because
** only an LF right after ">" ends a line.  Called once per line of the
** library, like Scan it keeps off the call-trace stack: pushing there costs
** more than reading the line. */
int nxtline(char *line, int flag)
{
    int n = 0, got = 0;
    char last = 0;
    for (;;) {
        if (Data_at >= Data_len) {
            size_t r = xml ? fread(Data, 1, sizeof Data, xml) : 0;
            Data_len = (int)r;
            Data_at = 0;
            if (r == 0) break;
        }
        char c = Data[Data_at++];
        Pos++;
        got = 1;
        if (c == '\t') continue;
        if (c == '\n' && last == '>') break;
        last = c;
        /* Past 999 characters the rest of the line is dropped, but still
        ** watched for its end. */
        if (n < IPHOTO_LINE - 1) line[n++] = c;
    }
    line[n] = 0;
    if (flag) Debug("line = [%s]", line);
    return got;
}

/* Once per value line, so off the call-trace stack as nxtline is. */
int tag_text(char *in)
{
    char *open = strchr(in, '>');
    if (!open) return 0;
    char *close = strchr(open + 1, '<');
    if (!close) return 0;
    *close = 0;
    return (int)(open + 1 - in);
}

/* ----------------------------------------------------------- albums, rolls */

/* Adds a photo number to the items of Set; a list that cannot grow keeps
** what it has. */
static void add_item(int n)
{
    if (Set.cnt >= Set.room) {
        if (Set.room > INT_MAX / 2 / (int)sizeof(int)) return;
        int room = Set.room ? Set.room * 2 : 64;
        int *p = (int *)realloc(Set.items, (size_t)room * sizeof(int));
        if (!p) {
            Debug("* No memory for the items of album %d", Set.id);
            return;
        }
        Set.items = p;
        Set.room = room;
    }
    Set.items[Set.cnt++] = n;
}

/* Reads the photo numbers of a KeyList up to its "</array>"; the first one
** is the thumb when the entry named none before it. */
static void read_items(void)
{
    char line[IPHOTO_LINE];
    while (nxtline(line, 0) && strcmp(line, "</array>") != 0) {
        if (strcmp(line, "<array>") == 0) continue;
        int n = decimal_int(value(line));
        add_item(n);
        if (!Set.has_thumb) Set.thumb = n, Set.has_thumb = 1;
    }
}

/* Reads the rest of one album or roll, up to the "</dict>" that ends its
** entry, into Set.  Albums have a song; rolls have a date. */
static void read_set(const char *name, int id, int roll)
{
    char line[IPHOTO_LINE], val[IPHOTO_LINE];
    Debug("iPhoto Album - %s", name);
    Set.id = id;
    scopy(Set.name, sizeof Set.name, name);
    Set.comment[0] = Set.song[0] = 0;
    Set.thumb = Set.has_thumb = 0;
    Set.date = 0;
    Set.cnt = 0;
    while (nxtline(line, 0) && strcmp(line, "</dict>") != 0) {
        enum { SONG, COMMENT, THUMB, DATE } key;
        if (strcmp(line, "<key>KeyList</key>") == 0) {
            read_items();
            continue;
        }
        if (!roll && strcmp(line, "<key>SongPath</key>") == 0)
            key = SONG;
        else if (strcmp(line, "<key>Comments</key>") == 0)
            key = COMMENT;
        else if (strcmp(line, "<key>KeyPhotoKey</key>") == 0)
            key = THUMB;
        else if (roll && strcmp(line, "<key>RollDateAsTimerInterval</key>") == 0)
            key = DATE;
        else
            continue;
        if (!nxtline(val, 0)) break;
        const char *text = value(val);
        switch (key) {
        case SONG: scopy(Set.song, sizeof Set.song, text); break;
        case COMMENT: scopy(Set.comment, sizeof Set.comment, text); break;
        case THUMB: Set.thumb = decimal_int(text), Set.has_thumb = 1; break;
        case DATE: Set.date = timer(text); break;
        }
    }
}

/* Writes the "%d," list of Set's items and the line end. */
static void put_items(FILE *f)
{
    for (int i = 0; i < Set.cnt; i++) put(f, "%d,", Set.items[i]);
    put(f, "\n");
}

int iPhoto_Albums(const char *name, int ID)
{
    WALK("iPhoto_Albums");
    read_set(name, ID, 0);
    Debug("Name [%s] ID %d Comment [%s] Thumb %d Song [%s] Photos %d", Set.name, Set.id, Set.comment,
          Set.thumb, Set.song, Set.cnt);
    /* An album without a song has an empty Song field. */
    put(Albums_f, "Name:%s\tComment:%s\tThumb:%d\tSong:%s\tPhotos:%d\tItems:", Set.name, Set.comment,
        Set.thumb, Set.song, Set.cnt);
    put_items(Albums_f);
    return 0;
}

int iPhoto_Events(const char *name, int ID)
{
    WALK("iPhoto_Events");
    read_set(name, ID, 1);
    char date[64];
    Clock_Text(Set.date, date, sizeof date);
    Debug("Event %d Name [%s] Date [%s] Comment [%s] Thumb [%d] Photos %d", Set.id, Set.name, date,
          Set.comment, Set.thumb, Set.cnt);
    put(Events_f, "Name:%s\tDate:%s\tComment:%s\tThumb:%d\tPhotos:%d\tItems:", Set.name, date,
        Set.comment, Set.thumb, Set.cnt);
    put_items(Events_f);
    return 0;
}

/* ----------------------------------------------------------------- photos */

void Save_Path(const char *in, char *out, size_t size)
{
    WALK("Save_Path");
    const char *slash = strrchr(in, '/');
    /* A path without a folder has no number to give; it is kept as it is. */
    if (!slash) {
        scopy(out, size, in);
        return;
    }
    std::string folder(in, (size_t)(slash - in));
    int n;
    auto it = IP_Paths.find(folder);
    if (it != IP_Paths.end()) {
        n = it->second;
    } else {
        n = IP_Path_cnt++;
        put(Paths_f, "%s\n", folder.c_str());
        IP_Paths.emplace(std::move(folder), n);
    }
    sfmt(out, size, "%d%s", n, slash);
}

/* Enters pos for photo id in the index, growing it to id + 100 entries when
** id is beyond its end.  Numbers below 0 or above IPHOTO_MAX_ID are not
** indexed. */
static void index_photo(int id, int pos)
{
    if (id < 0 || id > IPHOTO_MAX_ID) {
        Debug("* Photo %d is not indexed", id);
        return;
    }
    if (id >= pmax) {
        int want = id + 100;
        if (want > IDX_room) {
            int room = IDX_room > (IPHOTO_MAX_ID + 100) / 2 ? IPHOTO_MAX_ID + 100 : IDX_room * 2;
            if (room < want) room = want;
            int *p = (int *)realloc(IDX, (size_t)room * sizeof(int));
            if (!p) {
                Alert("iPhoto", "Unable to allocate photo index", 1);
                return;
            }
            IDX = p;
            IDX_room = room;
        }
        memset(IDX + pmax, 0, (size_t)(want - pmax) * sizeof(int));
        pmax = want;
    }
    IDX[id] = pos;
}

/* The keys of a photo's entry whose value line is read.  Caption, Comment,
** DateAsTimerInterval, ImagePath, ThumbPath and Flagged write a field to the
** photo's line; the values of the others are read and passed over, so that a
** value line is never taken for a key. */
enum { K_MEDIATYPE, K_CAPTION, K_COMMENT, K_GUID, K_ASPECT, K_RATING, K_ROLL, K_DATE, K_MODDATE,
       K_METAMODDATE, K_IMAGEPATH, K_ORIGINALPATH, K_THUMBPATH, K_IMAGETYPE, K_FACES, K_FLAGGED,
       K_COUNT };
static const char *const photo_keys[K_COUNT] = {
    "<key>MediaType</key>",  "<key>Caption</key>",
    "<key>Comment</key>",    "<key>GUID</key>",
    "<key>Aspect Ratio</key>", "<key>Rating</key>",
    "<key>Roll</key>",       "<key>DateAsTimerInterval</key>",
    "<key>ModDateAsTimerInterval</key>", "<key>MetaModDateAsTimerInterval</key>",
    "<key>ImagePath</key>",  "<key>OriginalPath</key>",
    "<key>ThumbPath</key>",  "<key>ImageType</key>",
    "<key>Faces</key>",      "<key>Flagged</key>",
};

int iPhoto_Photos(int ID, int pos)
{
    WALK("iPhoto_Photos");
    char line[IPHOTO_LINE], val[IPHOTO_LINE], path[IPHOTO_LINE + 16];
    long long bytes = 0;
    /* The entry ends at the first "</dict>"; a Faces array of dicts ends it
    ** early, but iPhoto writes Faces after the keys read here, and the rest
    ** of the array is passed over as photos without fields. */
    while (nxtline(line, 0) && strcmp(line, "</dict>") != 0) {
        int k = 0;
        while (k < K_COUNT && strcmp(line, photo_keys[k]) != 0) k++;
        if (k == K_COUNT) continue;
        if (!nxtline(val, 0)) break;
        const char *text = value(val);
        switch (k) {
        case K_CAPTION: bytes += put(Photos_f, "caption:%s\t", text); break;
        case K_COMMENT: bytes += put(Photos_f, "comment:%s\t", text); break;
        case K_DATE: bytes += put(Photos_f, "date:%d\t", timer(text)); break;
        case K_IMAGEPATH:
            Save_Path(text, path, sizeof path);
            bytes += put(Photos_f, "path:%s\t", path);
            break;
        case K_THUMBPATH:
            Save_Path(text, path, sizeof path);
            bytes += put(Photos_f, "thumb:%s\t", path);
            break;
        case K_FLAGGED: bytes += put(Photos_f, "flag:on\t"); break;
        default: break;
        }
    }
    if (bytes == 0) return 0;
    bytes += put(Photos_f, "\n");
    index_photo(ID, pos);
    return bytes > INT_MAX ? INT_MAX : (int)bytes;
}

/* ------------------------------------------------------------------ build */

/* The tables folder below Roku_Path.  The import opens every file by its
** full path: request threads serve while it runs, so it never moves the
** process's working folder. */
static std::string tables_folder(void) { return std::string(Roku_Path) + "/iPhoto Tables"; }

/* The five tables. */
static const struct {
    FILE **f;
    const char *name, *what;
} tables[] = {
    {&Events_f, "Events.txt", "events"}, {&Albums_f, "Albums.txt", "albums"},
    {&Index_f, "Index.txt", "index"},    {&Photos_f, "Photos.txt", "photos"},
    {&Paths_f, "Paths.txt", "paths"},
};

void Tables_Failed(const char *library, int err)
{
    char sys[300], msg[500];
    pal_error_text(err, sys, sizeof sys);
    sfmt(msg, sizeof msg, "The %s tables could not be written: %s  They are built again at the next start.",
         library, sys);
    Alert(library, msg, 0);
}

/* Closes the open tables.  When one could not be written whole, all go (a
** part of them does not fit together) and the error is returned. */
static int close_tables(void)
{
    int err = 0;
    std::string folder = tables_folder();
    for (const auto &t : tables) {
        int e = *t.f ? Close_Written(*t.f, (folder + "/" + t.name).c_str()) : 0;
        *t.f = nullptr;
        if (e && !err) err = e;
    }
    if (err)
        for (const auto &t : tables) My_remove((folder + "/" + t.name).c_str());
    return err;
}

/* Closes the library and the tables and lets go of the index, the folders
** and the item list. */
static void close_all(void)
{
    close_tables();
    if (xml) fclose(xml);
    xml = nullptr;
    free(IDX);
    IDX = nullptr;
    pmax = IDX_room = 0;
    std::unordered_map<std::string, int>().swap(IP_Paths);
    IP_Path_cnt = 0;
    free(Set.items);
    Set.items = nullptr;
    Set.cnt = Set.room = 0;
}

/* Creates the five tables in folder, each emptied; 0 with the failure
** traced when one cannot be made. */
static int open_tables(const std::string &folder)
{
    for (const auto &t : tables) My_remove((folder + "/" + t.name).c_str());
    for (const auto &t : tables) {
        *t.f = My_fopen((folder + "/" + t.name).c_str(), "wb");
        if (!*t.f) {
            Debug("* Failed to create iPhoto %s table !", t.what);
            return 0;
        }
    }
    return 1;
}

/* The main loop looks only at key lines.  A key that names an album or a
** roll is followed by its number and then, for the entries we keep, by its
** name; a line that is not the expected one is handed on to the next test. */
int Bld_iPhoto(void)
{
    WALK("Bld_iPhoto");
    Debug("Bld_iPhoto");
    close_all();
    iPhoto_Source(nullptr);
    ID = 0;
    Shown = -1;
    int position = 1;
    char line[IPHOTO_LINE], name[IPHOTO_LINE];

    std::string lib = std::string(iPhoto_Path) + "/AlbumData.xml";
    std::string folder = tables_folder();
    FILE *f = iPhoto_Path[0] ? My_fopen(lib.c_str(), "rb") : nullptr;
    if (!f) {
        Alert("iPhoto", "Failed to open iPhoto AlbumData.xml !", 0);
        return 0;
    }
    iPhoto_Source(f);
    My_Stat_Buf st;
    long long size = 0;
    if (My_stat(lib.c_str(), &st) == 0) {
        iPhoto_Time = st.mtime;
        size = st.st_size;
    }
    Status_Progress_Range(0, 100);

    /* The traces name the folders as the user knows them. */
    if (!is_folder(Roku_Path)) {
        Debug("* Failed to change to server directory !");
        goto done;
    }
    My_mkdir(folder.c_str());
    if (!is_folder(folder.c_str())) {
        Debug("* Failed to change to iPhoto Tables folder !");
        goto done;
    }
    if (!open_tables(folder)) goto done;

    while (Active && nxtline(line, 0)) {
        progress(size);
        if (strncmp(line, "<key>", 5) != 0) continue;

        if (Scan(line, "AlbumID")) {
            if (!nxtline(line, 0)) break;
            ID = decimal_int(value(line));
            if (!nxtline(line, 0)) break;
            if (Scan(line, "AlbumName")) {
                if (!nxtline(name, 0)) break;
                iPhoto_Albums(value(name), ID);
            }
        }
        if (Scan(line, "RollID")) {
            if (!nxtline(line, 0)) break;
            ID = decimal_int(value(line));
            if (!nxtline(line, 0)) break;
            if (Scan(line, "ProjectUuid") && !(nxtline(line, 0) && nxtline(line, 0))) break;
            if (Scan(line, "RollName")) {
                if (!nxtline(name, 0)) break;
                iPhoto_Events(value(name), ID);
            }
        }
        if (Scan(line, "Master Image List")) {
            nxtline(line, 0); /* the list's "<dict>" */
            while (Active && nxtline(line, 0) && strcmp(line, "</dict>") != 0) {
                progress(size);
                ID = decimal_int(value(line));
                int n = iPhoto_Photos(ID, position);
                position = n > INT_MAX - position ? INT_MAX : position + n;
            }
        }
    }

    for (int i = 0; i < pmax; i++) put(Index_f, "%d,", IDX[i]);
    put(Index_f, "\n");
    Status_Progress_Range(0, 100);
    Debug("* iPhoto Tables Complete");
    if (int err = close_tables()) {
        /* A full disk: the server serves on, and the next start imports anew. */
        iPhoto_Time = 0;
        Tables_Failed("iPhoto", err);
    }
done:
    close_all();
    return 0;
}
