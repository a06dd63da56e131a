/*
** The /Roku/ tree that the channel browses.  Three targets are answered
** here with a text/plain answer of our own: the root listing "/", the
** "/Roku/" listing of the title links, and /Roku/Roku_Config.txt (the
** configuration file itself).  Every other target is mapped to the path
** the request handler serves: a title link's folder, the data folder (the
** library tables and the Recent folder), a library folder prefix, or the
** target itself when it is already a path.
**
** The pages are read by the channel byte for byte (LF-only lines); the
** request handler sends them as "text/plain", even the HTML listings.
*/
#include "global.h"
#include "roku/roku.h"

#include <climits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/config.h"
#include "live/transcode.h"
#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

/* Set when the music import has new tables; shown in listings, cleared when
** the channel fetches Roku_Config.txt. */
std::atomic<int> New_iTunes{0};

/* The largest Velmora.ini that is served whole.  The file Velmora writes is
** a few kilobytes; the cap only keeps a damaged file from taking the
** memory of every request. */
#define MAX_CONFIG_SERVED (16L * 1024 * 1024)

/* The longest text Decode takes whole. */
#define DECODED_MAX 999

/* bld_recent is called by every request thread that maps a target below
** /Roku/Recent; two rewrites of the same files must not interleave. */
static std::mutex recent_folder_lock;

/* out (MAX_PATH_TXT bytes) = a followed by b.  When the two do not fit, out
** is left empty, so the request is answered 404 rather than with a cut path
** that names some other file.  Returns 1 when it fitted. */
static int join(char *out, const char *a, const char *b)
{
    if (strlen(a) + strlen(b) >= MAX_PATH_TXT) {
        Debug("path too long [%s] [%s]", a, b);
        out[0] = 0;
        return 0;
    }
    sfmt(out, MAX_PATH_TXT, "%s%s", a, b);
    return 1;
}

/* Reads a decimal number as "%d" does: blanks, a sign, digits; the rest is
** ignored and a value beyond +/-INT_MAX is held at its end.  Returns 1 if
** there were digits, else 0. */
static int read_number(const char *s, long *out)
{
    long long v;
    if (!read_decimal(s, -INT_MAX, INT_MAX, &v))
        return 0;
    *out = (long)v;
    return 1;
}

/* A size for the page of target in that bld_html cannot outgrow while the
** tables stay as they are: the fixed text, the target and every link. */
static size_t html_room(const char *in)
{
    size_t room = 512 + strlen(in);
    const Link_View lk = links.now();
    for (int i = 0; i < MAX_LINKS && lk[i].link; i++)
        room += 2 * strlen(lk[i].link) + 32;
    return room;
}

/* Maps the request target item (changed in place) to the path to serve in
** out, or puts the page that answers "/", "/Roku/" and Roku_Config.txt in
** page.  Returns 1 for a page, else 0. */
int Map_Target(char *item, char *out, int req, std::string *page)
{
    WALK("Map_Target");
    Debug("Roku %i = %s", req, item);

    /* "/C:/Music/a.mp3" is the Windows path "C:/Music/a.mp3". */
    if (item[0] == '/' && item[1] && item[2] == ':')
        memmove(item, item + 1, strlen(item));

    /* The two listings are recognised before decoding, so an encoded
    ** "/Roku%2F" is an ordinary target. */
    if (!strcmp(item, "/") || !strcmp(item, "/Roku/")) {
        std::vector<char> text(html_room(item));
        size_t n = bld_html(item, text.data(), text.size());
        page->assign(text.data(), n);
        return 1;
    }

    /* Decode keeps at most 999 characters; a longer target would be cut to
    ** some other path, so it gets the empty path (404) instead. */
    if (strlen(item) > DECODED_MAX) {
        Debug("target too long [%.*s...]", 100, item);
        out[0] = 0;
        return 0;
    }
    /* Decoding never lengthens the text, so it stays inside item. */
    Decode(item, item);

    size_t len = strlen(item);
    if (len > 15 && !strcmp(item + len - 15, "Roku_Config.txt")) {
        New_Title = 0;
        New_iTunes = 0;
        int rc = bld_config(item, page);
        /* Only /Roku/Roku_Config.txt is served.  Any other file of that
        ** name (the marker link of a private folder's listing) gets an
        ** empty path, which the request handler answers with missing.htm
        ** and 404. */
        if (!rc)
            out[0] = 0;
        return rc;
    }

    scopy(out, MAX_PATH_TXT, item);

    static const char itunes_link[] = "/iTunes Tables/link";
    if (starts(item, itunes_link)) {
        const char *after = item + sizeof itunes_link - 1;
        long n = -1;
        int got = read_number(after, &n);
        Debug("link %d [%s]", (int)n, item);
        char decoded[1000];                /* Decode writes at most 999 */
        int known = 0;
        if (got && n >= 0 && n < MAX_PLINKS) {
            std::lock_guard<std::mutex> guard(plinks_lock);
            if ((known = plinks[n] != nullptr))
                Decode(plinks[n], decoded);
        }
        if (known) {
            char prefix[1001];
            lib_path(decoded, prefix, sizeof prefix);
            const char *slash = strchr(after, '/');
            join(out, prefix, slash ? slash + 1 : "");
            Debug("link [%s]", out);
            return 0;
        }
        /* No number, or no such prefix: the table folder below. */
    }

    Debug("item = [%s]", item);
    if (starts(item, "/iTunes Tables/") || starts(item, "/iPhoto Tables/")) {
        join(out, Roku_Path, item);
        return 0;
    }

    /* "/Roku" alone maps to the data folder itself; it is no listing, so
    ** the request handler answers it with 404.  "/Rokuxyz" is not ours. */
    if (starts(item, "/Roku/") || !strcmp(item, "/Roku")) {
        if (Title_Path(item, out))
            return 0;
        join(out, Roku_Path, item + 5);
        return 0;
    }
    return 0;
}

/* Maps a target below /Roku/ whose first component names a title link to
** that link's folder.  Returns 1 with out filled, or 0. */
int Title_Path(const char *item, char *out)
{
    WALK("Title_Path");
    /* The tag starts just after "/Roku/"; a shorter item has none. */
    size_t len = strlen(item);
    const char *tag = len >= 6 ? item + 6 : item + len;
    size_t tag_len = strcspn(tag, "/");
    Debug("tag = [%.*s]", (int)tag_len, tag);

    /* A link named "Recent" is reached only after the folder is rebuilt. */
    if (tag_len == 6 && !strncmp(tag, "Recent", 6))
        bld_recent();

    const Link_View lk = links.now();
    for (int i = 0; i < MAX_LINKS && lk[i].link; i++) {
        const char *name = lk[i].link;
        if (strlen(name) == tag_len && !strncmp(name, tag, tag_len)) {
            join(out, lk[i].path ? lk[i].path : "", tag + tag_len);
            return 1;
        }
    }
    return 0;
}

/* Builds the listing page of "/" or "/Roku/" into data (size bytes) with
** bld; a page that does not fit is cut.  Returns its length. */
size_t bld_html(const char *in, char *data, size_t size)
{
    WALK("bld_html");
    if (!data || !size)
        return 0;
    size_t n = 0;
    n = bld(n, data, size, "<html><head>\n");
    n = bld(n, data, size, "<title>Index of ");
    n = bld(n, data, size, in);
    n = bld(n, data, size, "</title>\n");
    n = bld(n, data, size, "</head><body>\n");

    if (!strcmp(in, "/"))
        n = bld(n, data, size, "<a href=\"Roku/\">Roku/</a><br>\n");

    if (!strcmp(in, "/Roku/")) {
        n = bld(n, data, size, "<a href=\".\">.</a><br>\n");
        n = bld(n, data, size, "<a href=\"..\">..</a><br>\n");
        char rows[MAX_RECENT][RECENT_TXT];
        Recent_Copy(rows);
        if (rows[0][0])
            n = bld(n, data, size, "<a href=\"Recent/\">Recent/</a><br>\n");
        /* The names go out as they are, not encoded: the channel shows
        ** the href text as the title. */
        const Link_View lk = links.now();
        for (int i = 0; i < MAX_LINKS && lk[i].link; i++) {
            n = bld(n, data, size, "<a href=\"");
            n = bld(n, data, size, lk[i].link);
            n = bld(n, data, size, "/\">");
            n = bld(n, data, size, lk[i].link);
            n = bld(n, data, size, "/</a><br>\n");
        }
        n = bld(n, data, size, "<a href=\"Roku_Config.txt\">Roku_Config.txt</a><br>\n");
    }
    n = bld(n, data, size, "</body></html>\n");
    return n;
}

/* Reads Velmora.ini as /Roku/Roku_Config.txt, the private folders and their
** PINs included (the channel asks for the PIN, not the server), into page.
** Returns 1 when page holds the answer, or 0 when nothing is served. */
int bld_config(const char *item, std::string *page)
{
    WALK("bld_config");
    if (strcmp(item, "/Roku/Roku_Config.txt")) {
        Debug("Roku_Config.txt not served [%s]", item);
        return 0;
    }
    char name[MAX_PATH_TXT + 16];
    sfmt(name, sizeof name, "%s/Velmora.ini", Roku_Path);
    FILE *f = My_fopen(name, "r");
    if (!f) {
        char err[300];
        pal_error_text(pal_last_error(), err, sizeof err);
        Debug("config open failed %s - %s", name, err);
        return 0;
    }

    /* The file is read as a text-mode "r" open reads it on Windows, where
    ** the channel was first served: each CR LF becomes LF, a lone CR stays.
    ** So the channel sees the same bytes from every build. */
    std::string &text = *page;
    text.clear();
    char chunk[200];
    size_t got;
    int cr = 0;                            /* a CR waiting for its LF */
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) {
        for (size_t i = 0; i < got; i++) {
            char c = chunk[i];
            if (cr && c != '\n')
                text += '\r';
            cr = c == '\r';
            if (!cr)
                text += c;
        }
        if ((long)text.size() > MAX_CONFIG_SERVED) {
            Debug("config cut at %ld bytes", MAX_CONFIG_SERVED);
            text.resize(MAX_CONFIG_SERVED);
            cr = 0;
            break;
        }
    }
    if (cr)
        text += '\r';
    fclose(f);
    return 1;
}

/* Rewrites the Recent folder of the data folder: n.mp4x holds row n of the
** recent list and a line feed, for each used row; the files of empty rows
** are removed. */
void bld_recent(void)
{
    WALK("bld_recent");
    std::lock_guard<std::mutex> guard(recent_folder_lock);
    char folder[MAX_PATH_TXT + 16];
    sfmt(folder, sizeof folder, "%s/Recent/", Roku_Path);
    Debug("path = %s", folder);
    My_mkdir(folder);                      /* an existing folder is fine */
    static char rows[MAX_RECENT][RECENT_TXT];   /* guarded by recent_folder_lock */
    Recent_Copy(rows);

    for (int n = 0; n < MAX_RECENT; n++) {
        char name[MAX_PATH_TXT + 32];
        sfmt(name, sizeof name, "%s%d.mp4x", folder, n);
        const char *row = rows[n];
        if (!row[0]) {
            My_remove(name);
            continue;
        }
        FILE *f = My_fopen(name, "w");
        if (!f) {
            Debug("recent write failed %s", name);
            continue;
        }
        fprintf(f, "%s\n", row);
        fclose(f);
    }
}

/* ---------------------------------------------------------- confinement */

/* The data folder's own folders that the channel is served from. */
static const char *const data_places[] = {"/iTunes Tables", "/iPhoto Tables", "/Recent", "/Live Stream"};

/* 1 when s is UTF-8 in its shortest form: what the file layer converts is
** then exactly what was checked (an overlong "%C0%AE" would become "."). */
static int plain_utf8(const unsigned char *s)
{
    while (*s) {
        unsigned c = *s;
        int more = c < 0x80 ? 0 : c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2
                 : c >= 0xF0 && c <= 0xF4 ? 3 : -1;
        if (more < 0) return 0;
        unsigned v = more == 1 ? c & 0x1F : more == 2 ? c & 0x0F : c & 0x07;
        for (int k = 1; k <= more; k++) {
            if ((s[k] & 0xC0) != 0x80) return 0;
            v = v << 6 | (s[k] & 0x3F);
        }
        if ((more == 2 && (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF))) || (more == 3 && (v < 0x10000 || v > 0x10FFFF)))
            return 0;
        s += more + 1;
    }
    return 1;
}

/* The absolute form of path with "." and ".." resolved by their names (a
** ".." above the root stays at the root); a relative path is taken from the
** data folder, the process's current folder.  Never ends in "/" but for the
** root itself. */
static std::string resolved(const char *path)
{
    std::string in = pal_path_root(path) ? std::string(path) : std::string(Roku_Path) + "/" + path;
    size_t i = pal_path_root(in.c_str());
    std::string root = i ? in.substr(0, i - 1) : std::string(), out;    /* the root without its separator */
    while (i < in.size()) {
        size_t j = i;
        while (j < in.size() && !pal_is_separator(in[j])) j++;
        std::string part = in.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            size_t cut = out.rfind('/');
            out.erase(cut == std::string::npos ? 0 : cut);
            continue;
        }
        out.append("/").append(part);
    }
    return root + (out.empty() ? "/" : out);
}

/* Is the resolved path inside (or the same as) the resolved place? */
static int inside(const std::string &path, const std::string &place)
{
    if (place.back() == '/') return path.compare(0, place.size(), place) == 0;   /* a root */
    return path.compare(0, place.size(), place) == 0 && (path.size() == place.size() || path[place.size()] == '/');
}

/* The shared places as the tables name them, and where they really are.
** A snapshot is built whole and never changed, so a request thread that
** holds one reads it while another thread builds the next. */
struct shared_places {
    std::string tables;                  /* the table texts it was built from */
    uint32_t built;                      /* pal_ticks() when built */
    std::vector<std::string> named;      /* resolved by name */
    std::vector<std::string> real;       /* where each one's links lead */
};

/* How long the real places are trusted: a link that the user points
** elsewhere on the disk is followed to its new place within this time. */
#define REAL_PLACES_MS 2000

static std::mutex places_lock;           /* guards current_places */
static std::shared_ptr<const shared_places> current_places;

/* The image folders of the photo import, read again whenever its table
** changes; copied into out when it is given.  Returns the table's stamp,
** which tells one reading from another. */
static std::mutex photo_places_lock;
static std::vector<std::string> photo_places;
static long long photo_places_stamp = -1;

static long long photo_folders(std::vector<std::string> *out)
{
    std::string name = std::string(Roku_Path) + "/iPhoto Tables/Paths.txt";
    My_Stat_Buf st;
    long long stamp = My_stat(name.c_str(), &st) ? -1 : (long long)st.mtime * 1000003 + st.st_size;
    std::lock_guard<std::mutex> guard(photo_places_lock);
    if (stamp != photo_places_stamp) {
        photo_places.clear();
        photo_places_stamp = stamp;
        FILE *f = stamp < 0 ? nullptr : My_fopen(name.c_str(), "rb");
        char line[MAX_PATH_TXT];
        while (f && fgets(line, sizeof line, f)) {
            line[strcspn(line, "\r\n")] = 0;
            if (line[0]) photo_places.push_back(line);
        }
        if (f) fclose(f);
    }
    if (out) *out = photo_places;
    return photo_places_stamp;
}

/* The one reader of the tables that say what is shared: the folders of the
** title links, the private folders and the music library prefixes (still
** percent-coded), each followed by a NUL, in table order. */
static std::string shared_tables(void)
{
    std::string t;
    const Link_View lk = links.now(), pv = paths.now();
    for (int i = 0; i < MAX_LINKS && lk[i].link; i++)
        if (lk[i].path) t.append(lk[i].path).push_back(0);
    t.push_back(0);
    for (int i = 0; i < MAX_LINKS; i++)
        if (pv[i].path) t.append(pv[i].path).push_back(0);
    t.push_back(0);
    std::lock_guard<std::mutex> guard(plinks_lock);
    for (int i = 0; i < plink_cnt && i < MAX_PLINKS; i++)
        if (plinks[i]) t.append(plinks[i]).push_back(0);
    return t;
}

/* The real form of a resolved path: where its links lead, as far as it
** exists; the parts that do not exist yet follow by name.  False when not
** even the root can be resolved. */
static bool real_form(const std::string &path, std::string *out)
{
    char real[MAX_PATH_TXT];
    std::string head = path, tail;
    for (;;) {
        if (My_realpath(head.c_str(), real, sizeof real)) {
            *out = resolved((std::string(real) + tail).c_str());
            return true;
        }
        size_t cut = head.rfind('/');
        if (head.size() <= 1 || cut == std::string::npos) return false;
        tail.insert(0, head, cut, std::string::npos);
        head.erase(cut ? cut : 1);
    }
}

/* The snapshot of the shared places, built anew when the tables changed or
** the real places are older than REAL_PLACES_MS. */
static std::shared_ptr<const shared_places> places(void)
{
    std::string tables = shared_tables();
    tables.append(std::to_string(photo_folders(nullptr))).append(Roku_Path);
    uint32_t now = pal_ticks();
    {
        std::lock_guard<std::mutex> guard(places_lock);
        if (current_places && current_places->tables == tables && now - current_places->built < REAL_PLACES_MS)
            return current_places;
    }
    auto next = std::make_shared<shared_places>();
    next->built = now;
    std::vector<std::string> names;
    size_t at = 0, section = 0;
    while (at < tables.size() && section < 3) {
        const char *entry = tables.c_str() + at;
        size_t n = strlen(entry);
        at += n + 1;
        if (!n) {
            section++;
            continue;
        }
        if (section < 2) {
            names.push_back(entry);
        } else {
            char decoded[1000], prefix[1001];
            Decode(entry, decoded);
            lib_path(decoded, prefix, sizeof prefix);
            names.push_back(prefix);
        }
    }
    for (const char *d : data_places) names.push_back(std::string(Roku_Path) + d);
    std::vector<std::string> photos;
    photo_folders(&photos);
    names.insert(names.end(), photos.begin(), photos.end());
    for (const std::string &n : names) {
        if (n.empty()) continue;
        std::string named = resolved(n.c_str()), real;
        next->named.push_back(named);
        next->real.push_back(real_form(named, &real) ? real : named);
    }
    next->tables.swap(tables);
    std::lock_guard<std::mutex> guard(places_lock);
    current_places = next;
    return next;
}

/* Is the resolved path inside one of the places the user shared, as the
** tables name them? */
static int shared(const std::string &path)
{
    /* The snapshot is held for the whole loop: a range over a member of a
    ** temporary would outlive it, and another thread may drop the last
    ** other reference meanwhile. */
    auto snap = places();
    for (const std::string &p : snap->named)
        if (inside(path, p)) return 1;
    return 0;
}

int Real_Shared(const char *real)
{
    if (!Confine) return 1;
    std::string r = real;
    auto snap = places();   /* held for the loop, as above */
    for (const std::string &p : snap->real)
        if (inside(r, p)) return 1;
    return 0;
}

int Links_Stay_Shared(const char *path)
{
    if (!Confine) return 1;
    std::string real;
    if (!real_form(resolved(path), &real) || !Real_Shared(real.c_str())) {
        Debug("refused, a link leads out [%s] -> [%s]", path, real.c_str());
        return 0;
    }
    return 1;
}

int Confined_Path(char *path, size_t size)
{
    WALK("Confined_Path");
    if (!Confine) return 1;
    /* "?info" asks about the file before the first "?". */
    size_t flen = locate(path, "?info") ? strcspn(path, "?") : strlen(path);
    std::string query(path + flen);
    std::string file(path, flen);
    if (!plain_utf8((const unsigned char *)file.c_str())) {
        Debug("refused, not plain UTF-8 [%s]", path);
        return 0;
    }
    std::string where = resolved(file.c_str());
    if (!shared(where)) {
        Debug("refused, not shared [%s]", where.c_str());
        return 0;
    }
    if (!Live_Served(where.c_str())) {
        Debug("refused, not the server's own [%s]", where.c_str());
        return 0;
    }
    /* A link inside a shared place is followed only to a shared place. */
    if (!Links_Stay_Shared(where.c_str())) return 0;
    /* Only folders and regular files, whatever a link inside points to;
    ** a name that is not there may still be a search. */
    My_Stat_Buf st;
    if (My_stat(where.c_str(), &st) == 0) {
        unsigned type = st.st_mode & PAL_S_IFMT;
        if (type != PAL_S_IFDIR && type != PAL_S_IFREG) {
            Debug("refused, not a file or folder [%s]", where.c_str());
            return 0;
        }
    }
    if (where.size() + query.size() >= size) return 0;
    sfmt(path, size, "%s%s", where.c_str(), query.c_str());
    return 1;
}
