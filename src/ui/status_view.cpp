/*
** The panel's status view: what the server sees, gathered for the web panel
** about once a second while a page is open.  Players come from discovery's
** table (their names asked once of each over ECP), other devices from the
** description URLs heard, live streams from the live-stream table and their
** playlists, the last requests and trace lines from the tails of the access
** log and the trace (each only while it is on), and the shared folders from
** the title links, with their files counted now and then.  Launch and Stop
** act on one player or one stream, each as a job of the thread table, since
** the panel's own threads have no slot there and must not trace calls.
*/
#include "global.h"
#include "ui/dialog.h"

#include "config/config.h"
#include "control/control.h"
#include "discovery/launch.h"
#include "discovery/ssdp.h"
#include "live/transcode.h"
#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"
#include "ui/options.h"

#include <algorithm>
#include <deque>
#include <initializer_list>
#include <map>
#include <mutex>

#define TAIL_BYTES        4096    /* read from the end of a log for its last lines */
#define TAIL_LINES        8       /* lines shown of each log */
#define NAME_RETRY_S      60      /* a player that did not tell its name is asked again after this */
#define NAME_TIMEOUT_MS   2000    /* one device-info answer waits this long */
#define ANSWER_MOST       4096    /* of a device-info answer */
#define RECOUNT_S         60      /* a folder's files are counted again after this */
#define COUNT_MOST        5000    /* entries walked in one folder before the count stops */
#define MAX_DEVICES_SHOWN 20

/* The players' names as they told them, and the folders' counts: kept by the
** panel thread that gathers, under view_lock. */
struct player_name {
    std::string name;
    time_t asked;
};
struct folder_count {
    long files;
    int more, reachable;
    time_t counted;
};
static std::mutex view_lock;
static std::map<std::string, player_name> names;
static std::map<std::string, folder_count> counts;

/* The text of the first of the tags found in xml, "" when none. */
static std::string element_text(const std::string &xml, std::initializer_list<const char *> tags)
{
    for (const char *tag : tags) {
        std::string open = std::string("<") + tag + ">", close = std::string("</") + tag + ">";
        size_t a = xml.find(open);
        if (a == std::string::npos) continue;
        a += open.size();
        size_t b = xml.find(close, a);
        if (b != std::string::npos && b > a) return xml.substr(a, b - a);
    }
    return "";
}

/* Asks the player at ECP address adrs ("a.b.c.d:port") for its name. */
static std::string ask_name(const char *adrs)
{
    int v[5];
    if (!Split_Adrs(adrs, v)) return "";
    uint32_t host = (uint32_t)(v[0] & 255) << 24 | (uint32_t)(v[1] & 255) << 16 | (uint32_t)(v[2] & 255) << 8 |
                    (uint32_t)(v[3] & 255);
    pal_socket s = pal_socket_open(PAL_AF_INET, PAL_SOCK_STREAM, 0);
    if (s == PAL_INVALID_SOCKET) return "";
    if (pal_connect_within(s, host, v[4], NAME_TIMEOUT_MS) != 0) {
        pal_closesocket(s);
        return "";
    }
    int ms = NAME_TIMEOUT_MS;
    pal_setsockopt(s, PAL_SOL_SOCKET, PAL_SO_RCVTIMEO, &ms, sizeof ms);
    static const char ask[] = "GET /query/device-info HTTP/1.1\r\nConnection: close\r\n\r\n";
    std::string reply;
    if (pal_send(s, ask, (int)strlen(ask)) > 0) {
        char buf[1024];
        for (int n; reply.size() < ANSWER_MOST && (n = pal_recv(s, buf, sizeof buf)) > 0;) {
            reply.append(buf, (size_t)n);
            if (reply.find("</device-info>") != std::string::npos) break;
        }
    }
    pal_closesocket(s);
    return element_text(reply, {"user-device-name", "friendly-device-name", "model-name"});
}

static void gather_players(pal_status_view &v, time_t now)
{
    std::vector<std::pair<std::string, time_t>> heard;
    {
        std::lock_guard<std::mutex> g(Found_Lock);
        for (int i = 0; i < fndcnt.load(); i++) heard.emplace_back(found[i], Found_Heard[i]);
    }
    std::vector<std::string> known;    /* URL heads of the players and of this server */
    for (auto &p : heard) {
        player_name &n = names[p.first];
        if (n.name.empty() && now - n.asked >= NAME_RETRY_S) {
            n.name = ask_name(p.first.c_str());
            n.asked = now;
        }
        std::string ip = p.first.substr(0, p.first.find(':'));
        v.players.push_back({ip, n.name, (long)(now - p.second)});
        known.push_back("http://" + p.first + "/");
    }
    /* A player that is gone is asked again if it comes back. */
    for (auto n = names.begin(); n != names.end();)
        n = std::any_of(heard.begin(), heard.end(), [&](const auto &p) { return p.first == n->first; }) ? std::next(n)
                                                                                                       : names.erase(n);
    /* The other devices: every description URL that is neither a player's
    ** nor this server's own. */
    char self[IP_TXT];
    Selected_Address(self, sizeof self);
    known.push_back("http://" + std::string(self) + ":" + std::to_string(My_Port.load()) + "/");
    for (const std::string &url : Devices_Heard()) {
        bool player = false;
        for (const std::string &k : known) player = player || url.compare(0, k.size(), k) == 0;
        if (!player && v.devices.size() < MAX_DEVICES_SHOWN) v.devices.push_back(url);
    }
}

/* The segments listed so far in stream n's variant playlist. */
static int segments_made(int n)
{
    char name[64];
    sfmt(name, sizeof name, "stream%d-Files.m3u8", n);
    FILE *f = Live_Read(name);
    if (!f) return 0;
    int count = 0;
    char line[512];
    while (fgets(line, sizeof line, f))
        if (!strncmp(line, "#EXTINF", 7)) count++;
    fclose(f);
    return count;
}

/* The last lines of the log file name in the data folder. */
static std::vector<std::string> tail(const char *name)
{
    std::vector<std::string> lines;
    char path[MAX_PATH_TXT + 32];
    sfmt(path, sizeof path, "%s/%s", Roku_Path, name);
    FILE *f = My_fopen(path, "rb");
    if (!f) return lines;
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    bool cut = size > TAIL_BYTES;
    fseek(f, cut ? size - TAIL_BYTES : 0, SEEK_SET);
    std::string text(TAIL_BYTES, '\0');
    text.resize(fread(&text[0], 1, text.size(), f));
    fclose(f);
    size_t at = cut ? text.find('\n') + 1 : 0;    /* a cut first line is left out */
    for (size_t end; at < text.size() && (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = text.substr(at, end - at);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    if (lines.size() > TAIL_LINES) lines.erase(lines.begin(), lines.end() - TAIL_LINES);
    return lines;
}

struct count_walk {
    std::string path;
    long files = 0;
    int entries = 0;
};

static void count_entry(void *ctx, const char *name, int is_folder)
{
    count_walk &w = *(count_walk *)ctx;
    if (++w.entries > COUNT_MOST || name[0] == '.') return;
    if (!is_folder) {
        w.files++;
        return;
    }
    std::string parent = w.path;
    w.path += "/" + std::string(name);
    pal_list_folder(w.path.c_str(), count_entry, &w);
    w.path = parent;
}

static void gather_folders(pal_status_view &v, time_t now)
{
    Link_View lk = links.now();
    std::map<std::string, folder_count> kept;    /* the counts of the folders still shared */
    for (int i = 0; i < MAX_LINKS && lk[i].link; i++) {
        std::string path = lk[i].path ? lk[i].path : "";
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        folder_count &c = kept[path] = counts[path];
        if (!c.counted || now - c.counted >= RECOUNT_S) {
            count_walk w;
            w.path = path;
            c.reachable = pal_list_folder(path.c_str(), count_entry, &w);
            c.files = c.reachable ? w.files : -1;
            c.more = w.entries > COUNT_MOST;
            c.counted = now;
        }
        v.folders.push_back({lk[i].link, lk[i].path ? lk[i].path : "", c.files, c.more, c.reachable});
    }
    counts.swap(kept);
}

static void gather(pal_status_view &v)
{
    std::lock_guard<std::mutex> g(view_lock);
    time_t now = time(nullptr);
    v.running = Server_Active();
    gather_players(v, now);
    for (const Live_View &s : Live_Streams())
        v.streams.push_back({s.number, s.movie, segments_made(s.number), s.vlc});
    if (Audit) v.requests = tail("access.txt");
    if (My_Trace) v.trace = tail("trace.txt");
    gather_folders(v, now);
    v.prompts = {TITLE_PROMPT, FOLDER_PROMPT};
    v.connect_dialog = Main_Dialog.id;
    v.connect_control = IDC_CONNECT;
}

/* The actions asked for and not yet run: a player's IP to launch on, or a
** stream to stop.  Under actions_lock. */
struct status_action {
    std::string ip;
    int stream;
};
static std::mutex actions_lock;
static std::deque<status_action> actions;

static int queue(const status_action &a)
{
    {
        std::lock_guard<std::mutex> g(actions_lock);
        actions.push_back(a);
    }
    if (myfork(JOB_STATUS, 0)) return 1;
    std::lock_guard<std::mutex> g(actions_lock);
    actions.pop_back();
    return 0;
}

int Status_Action(int)
{
    WALK("Status_Action");
    status_action a;
    {
        std::lock_guard<std::mutex> g(actions_lock);
        if (actions.empty()) return 0;
        a = actions.front();
        actions.pop_front();
    }
    if (a.stream) {
        char name[32];
        sfmt(name, sizeof name, "stream%d", a.stream);
        Kill_VLC(name, 1);
    } else {
        Roku_Launch(a.ip.c_str());
    }
    return 0;
}

/* Launch answers 1 for a player in discovery's table, Stop for a stream not
** stopped yet; the action then runs on its own thread. */
static int launch(const char *ip)
{
    std::string head = std::string(ip) + ":";
    bool known = false;
    {
        std::lock_guard<std::mutex> g(Found_Lock);
        for (int i = 0; i < fndcnt.load() && !known; i++) known = !strncmp(found[i], head.c_str(), head.size());
    }
    return *ip && known && queue({ip, 0});
}

static int stop(int n)
{
    for (const Live_View &s : Live_Streams())
        if (s.number == n) return queue({"", n});
    return 0;
}

static const pal_status_source source = {gather, launch, stop};

void Status_View_Start(void) { pal_panel_status_source(&source); }
