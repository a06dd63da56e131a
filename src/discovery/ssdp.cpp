/*
** SSDP discovery and advertising.  The discovery thread announces the
** server as a UPnP root device whose description is its /Roku/ tree,
** answers searches that ask for an answer, searches every 10 seconds for Roku
** players and media servers, and records what it hears: the ECP address of
** each player (for the channel launch) and the description URL of each
** device (passed on to the players in the body of the server's NOTIFY).
**
** A datagram is free to name any address, so a player is recorded, and sent
** anything on UDP, only after its ECP port has answered a query; an entry
** that is no longer heard is forgotten, and what news can trigger is
** bounded (one early announcement per NOTIFY_GAP).
**
** Both SSDP sockets are non-blocking and polled: the loop drains them, then
** pauses 100 milliseconds.  The tables are fixed arrays; nothing is
** allocated while the thread runs.
*/
#include "global.h"
#include "discovery/ssdp.h"

#include "discovery/launch.h"

#include <cctype>
#include <climits>
#include <mutex>

#include "http/socket.h"
#include "subs/files.h"
#include "subs/status.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"
#include "subs/win.h"

std::mutex Found_Lock;
char found[MAX_FOUND][FOUND_TXT];
char Found_USN[MAX_FOUND][USN_TXT];
time_t Found_Heard[MAX_FOUND];
std::atomic<int> fndcnt{0};
pal_socket Roku_skt[MAX_FOUND];
int roku = 0;
char DLNA[MAX_DLNA][DLNA_TXT];
int DLNA_Cnt = 0;
/* The USN each DLNA entry was heard with, so that its byebye ends it. */
static char DLNA_USN[MAX_DLNA][USN_TXT];

#define UUID "7F248787-B5DF-4C7B-8C9A-00DDEE3B9242"

static const char Search[] =
    "M-SEARCH * HTTP/1.1\r\nHost: 239.255.255.250:1900\r\nMan: \"ssdp:discover\"\r\nST: %s\r\nMX: 3\r\n\r\n";
static const char *const Stype[] = {"roku:ecp", "upnp:rootdevice", "urn:schemas-upnp-org:device:MediaServer:1"};
static const char who[] =
    "HTTP/1.1 200 OK\r\nCache-Control: max-age=300\r\nST: upnp:rootdevice\r\n"
    "USN: uuid:" UUID "::upnp:rootdevice\r\nExt: \r\nSERVER: Velmora Server %s\r\n"
    "LOCATION: http://%s:%d/Roku/\r\n\r\n";
static const char me[] =
    "NOTIFY * HTTP/1.1\r\nHost: 239.255.255.250:1900\r\nCache-Control: max-age=300\r\n"
    "NT: upnp:rootdevice\r\nNTS: ssdp:alive\r\nSERVER: Velmora Server %s\r\n"
    "Location: http://%s:%d/Roku/\r\nUSN: uuid:" UUID "::upnp:rootdevice\r\n\r\n";
static const char bye[] =
    "NOTIFY * HTTP/1.1\r\nHost: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\nNTS: ssdp:byebye\r\n"
    "Location: *\r\nUSN: uuid:" UUID "::upnp:rootdevice\r\n\r\n";

static const int SEARCH_EVERY = 10;    /* seconds between search cycles */
static const int NOTIFY_EVERY = 30;    /* seconds between announcements */
static const int LISTED_PASSES = 2;    /* a URL stays listed this many cycles after it was heard */
static const unsigned IDLE_MS = 100;   /* pause once both sockets are empty */
static const int LISTENER_WAITS = 50;  /* pauses to wait for the server's port */
/* A player answers every roku:ecp search (each SEARCH_EVERY seconds); one
** that has missed six in a row is unplugged or gone, and is forgotten. */
static const int PLAYER_AGE = 6 * SEARCH_EVERY;
/* Seconds a player has to accept the check's connection and answer it: as
** long as Connect waits for one read. */
static const int CHECK_SECONDS = 5;
/* News (a new player or URL) brings the next NOTIFY forward, but never to
** less than this many seconds after the last one. */
static const int NOTIFY_GAP = 5;
/* A pass value that no URL listing window reaches. */
static const int FORGOTTEN = INT_MIN / 2;

/* Reads a decimal integer as "%d" does (leading white space, a sign), held
** within +/-INT_MAX.  Returns 1 when digits were read. */
static int read_int(const char **pp, int *out)
{
    long long v;
    const char *p = read_decimal(*pp, -INT_MAX, INT_MAX, &v);
    if (!p) return 0;
    *out = (int)v;
    *pp = p;
    return 1;
}

/* Reads "%d.%d.%d.%d:%d" from text into v.  Returns 1 when all five were
** read. */
int Split_Adrs(const char *text, int v[5])
{
    static const char sep[] = "...:";
    for (int i = 0; i < 5; i++) {
        if (!read_int(&text, &v[i])) return 0;
        if (i < 4 && *text++ != sep[i]) return 0;
    }
    return 1;
}

/* The standard text of the last socket error. */
static const char *error_text(char *buf, size_t size)
{
    return pal_error_text(pal_socket_error(), buf, size);
}

/* Sends len bytes of text to addr:port; traces a short send under `what`
** ("Unable to send to ... %i").  Returns what the send returned. */
static int send_to(pal_socket s, const char *text, int len, uint32_t addr, int port, const char *fail)
{
    int n = pal_sendto(s, text, len, addr, port);
    if (n != len) Debug(fail, pal_socket_error());
    return n;
}

/* ------------------------------------------------------- datagram handling */

/* The value of the text's first header name (such as "USN:"), trimmed and
** cut to USN_TXT - 1 characters, into out; empty when there is none. */
static void header_value(const char *text, const char *name, char out[USN_TXT])
{
    out[0] = 0;
    int at = Scan(text, name);
    if (!at) return;
    const char *v = text + at + strlen(name);
    while (*v == ' ') v++;
    size_t n = strcspn(v, "\n");
    if (n > USN_TXT - 1) n = USN_TXT - 1;
    while (n > 0 && (unsigned char)v[n - 1] <= 32) n--;
    memcpy(out, v, n);
    out[n] = 0;
}

/* Drops player i, its socket with it.  Found_Lock is held. */
static void drop_player(int i)
{
    int n = fndcnt.load();
    if (Roku_skt[i] > 0) pal_closesocket(Roku_skt[i]);
    Debug("Roku %s forgotten", found[i]);
    for (int j = i; j + 1 < n; j++) {
        memcpy(found[j], found[j + 1], FOUND_TXT);
        memcpy(Found_USN[j], Found_USN[j + 1], USN_TXT);
        Found_Heard[j] = Found_Heard[j + 1];
        Roku_skt[j] = Roku_skt[j + 1];
    }
    Roku_skt[n - 1] = 0;
    fndcnt.store(n - 1);
}

int Forget_Player(const char *adrs)
{
    std::lock_guard<std::mutex> g(Found_Lock);
    for (int i = 0; i < fndcnt.load(); i++) {
        if (strcmp(found[i], adrs) == 0) {
            drop_player(i);
            return 1;
        }
    }
    return 0;
}

void UPNP_Age(time_t tm)
{
    std::lock_guard<std::mutex> g(Found_Lock);
    for (int i = fndcnt.load() - 1; i >= 0; i--)
        if (tm - Found_Heard[i] > PLAYER_AGE) drop_player(i);
}

/* A device that says byebye is gone: its player entry and its URL. */
static void byebye(Ssdp_Run *r, const char *usn)
{
    if (!*usn) return;
    {
        std::lock_guard<std::mutex> g(Found_Lock);
        for (int i = fndcnt.load() - 1; i >= 0; i--)
            if (strcmp(Found_USN[i], usn) == 0) drop_player(i);
    }
    for (int i = 0; i < DLNA_Cnt; i++)
        if (strcmp(DLNA_USN[i], usn) == 0) r->DLNA_Pass[i] = FORGOTTEN;
}

/* Records one description URL: the LOCATION value that starts at v, heard
** with the given USN. */
static void record_location(Ssdp_Run *r, char *v, const char *usn)
{
    char *lf = strchr(v, '\n');
    if (lf) *lf = 0;           /* what follows must not count as this datagram's */
    char loc[DLNA_TXT];
    scopy(loc, sizeof loc, v);
    size_t n = strlen(loc);
    while (n > 0 && (unsigned char)loc[n - 1] <= 32) loc[--n] = 0;
    const char *p = loc;
    while (*p == ' ') p++;
    /* A byebye names no place, and an empty value names none either. */
    if (*p == '*' || !*p) return;

    char url[DLNA_TXT];
    const char *home = strstr(p, "127.0.0.1");
    if (home) {
        /* A device on the server's own machine is reached at the server's
        ** address, never at the players' own loopback. */
        sfmt(url, sizeof url, "http://%s%s", Selected_Adrs(), home + 9);
        Debug("New location = %s", url);
    } else {
        scopy(url, sizeof url, p);
    }
    int slot = DLNA_Cnt < MAX_DLNA ? DLNA_Cnt : -1;
    for (int i = 0; i < DLNA_Cnt; i++) {
        if (strcmp(DLNA[i], url) == 0) {
            r->DLNA_Pass[i] = r->pass;
            scopy(DLNA_USN[i], USN_TXT, usn);
            return;
        }
        /* A full table takes the place of a URL no longer listed, so that
        ** a flood of made-up URLs cannot keep real devices out for good. */
        if (slot < 0 && r->pass - r->DLNA_Pass[i] > LISTED_PASSES) slot = i;
    }
    if (slot < 0) return;
    scopy(DLNA[slot], DLNA_TXT, url);
    scopy(DLNA_USN[slot], USN_TXT, usn);
    r->DLNA_Pass[slot] = r->pass;
    if (slot == DLNA_Cnt) DLNA_Cnt++;
    r->rokutime = 0;
}

/* Takes the ECP address of a Roku player from the text's Location: a known
** player is heard again, a new one is queued for its check. */
static void record_player(Ssdp_Run *r, const char *text, const char *usn, time_t tm)
{
    if (!locate(text, "Server: Roku ") && !locate(text, "roku:ecp")) return;
    Debug("found roku:ecp");
    int at = Scan(text, "Location:");
    if (!at) return;
    Debug("found Location:");
    const char *slashes = strstr(text + at, "//");
    int v[5];
    if (!slashes || !Split_Adrs(slashes + 2, v)) return;
    char adrs[FOUND_TXT];
    sfmt(adrs, sizeof adrs, "%d.%d.%d.%d:%d", v[0] & 255, v[1] & 255, v[2] & 255, v[3] & 255, v[4]);
    Debug("roku = %s", adrs);
    int known = 0;
    {
        std::lock_guard<std::mutex> g(Found_Lock);
        for (int i = 0; i < fndcnt.load() && !known; i++) {
            known = strcmp(found[i], adrs) == 0;
            if (known) Found_Heard[i] = tm;
        }
    }
    Debug("x = %d", known);
    for (int i = 0; i < r->checks && !known; i++) known = strcmp(r->check[i].adrs, adrs) == 0;
    if (known || r->checks == MAX_CHECKS) return;
    Ssdp_Check *c = &r->check[r->checks++];
    scopy(c->adrs, FOUND_TXT, adrs);
    scopy(c->usn, USN_TXT, usn);
    c->s = 0;
    c->asked = 0;
    c->due = tm + CHECK_SECONDS;
}

/* Records the checked player c, heard at tm. */
static void add_player(Ssdp_Run *r, const Ssdp_Check *c, time_t tm)
{
    std::lock_guard<std::mutex> g(Found_Lock);
    int n = fndcnt.load();
    for (int i = 0; i < n; i++)
        if (strcmp(found[i], c->adrs) == 0) return;
    if (n == MAX_FOUND) return;
    scopy(found[n], FOUND_TXT, c->adrs);
    scopy(Found_USN[n], USN_TXT, c->usn);
    Found_Heard[n] = tm;
    Roku_skt[n] = 0;
    fndcnt.store(n + 1);
    r->rokutime = 0;
}

/* One step of check c.  Returns 0 when it is over (recorded or failed). */
static int check_step(Ssdp_Run *r, Ssdp_Check *c, time_t tm)
{
    if (!c->s) {
        int v[5];
        if (!Split_Adrs(c->adrs, v)) return 0;
        uint32_t host = (uint32_t)v[0] << 24 | (uint32_t)v[1] << 16 | (uint32_t)v[2] << 8 | (uint32_t)v[3];
        pal_socket s = pal_socket_open(PAL_AF_INET, PAL_SOCK_STREAM, 0);
        if (s == PAL_INVALID_SOCKET) return 0;
        c->s = s;
        if (pal_set_nonblocking(s, 1) != 0) return 0;
        if (pal_connect(s, host, v[4]) != 0 && pal_socket_error() != PAL_WSAEWOULDBLOCK) return 0;
    }
    if (!c->asked) {
        int done = pal_connect_wait(c->s, 0);
        if (done < 0) return 0;
        if (done > 0) {
            int len = (int)strlen(ECP_Query);
            if (pal_send(c->s, ECP_Query, len) != len) return 0;
            c->asked = 1;
        }
    }
    if (c->asked && pal_wait_readable(c->s, 0, 0) > 0) {
        char answer[ECP_BUF];
        int n = pal_recv(c->s, answer, ECP_BUF - 1);
        answer[n > 0 ? n : 0] = 0;
        Debug("Roku check %s: %s", c->adrs, answer[0] ? answer : "no answer");
        if (Scan(answer, "200 OK")) add_player(r, c, tm);
        return 0;
    }
    return tm <= c->due;
}

void UPNP_Checks(Ssdp_Run *r, time_t tm)
{
    for (int i = 0; i < r->checks;) {
        Ssdp_Check *c = &r->check[i];
        if (check_step(r, c, tm)) {
            i++;
            continue;
        }
        if (c->s > 0) pal_closesocket(c->s);
        *c = r->check[--r->checks];
    }
}

void UPNP_Datagram(Ssdp_Run *r, int n, time_t tm)
{
    char *buf = r->buf;
    if (n < 0) n = 0;
    if (n > SSDP_BUF - 1) n = SSDP_BUF - 1;
    buf[n] = 0;
    for (int i = 0; i < n; i++)
        if (buf[i] == '\r') buf[i] = ' ';
    Debug("Input:\n%s", buf);

    if (strncmp(buf, "M-SEARCH", 8) == 0) {
        int at = Scan(buf, "MX:");
        if (!at) return;       /* a search without MX wants no answer */
        const char *p = buf + at + 3;
        int mx = 0;
        if (!read_int(&p, &mx)) mx = 0;
        Debug("MX delay = %d", mx);
        /* One answer at most is pending: a later search moves it. */
        r->respondtime = tm + (mx > 4 ? mx / 2 : 2);
    } else if (strncmp(buf, "NOTIFY", 6) == 0 || strncmp(buf, "HTTP/1.1 200 OK", 15) == 0) {
        if (buf[0] == 'N')
            r->notify++;
        else
            r->other++;
        /* The text starts with NOTIFY or HTTP, so the first match is never at
        ** offset 0, where Scan would miss it. */
        char usn[USN_TXT];
        header_value(buf, "USN:", usn);
        if (buf[0] == 'N' && locate(buf, "ssdp:byebye")) {
            byebye(r, usn);
            return;
        }
        int at = Scan(buf, "LOCATION:");
        if (at) record_location(r, buf + at + 9, usn);
        record_player(r, buf, usn, tm);
    } else {
        Debug("????? recv data %s", buf);
    }
}

int UPNP_Notify_Text(Ssdp_Run *r)
{
    char *buf = r->buf;
    sfmt(buf, SSDP_BUF, me, VELMORA_VERSION, Selected_Adrs(), My_Port.load());
    sappend(buf, SSDP_BUF, "DLNA LOCATIONS:\r\n");
    size_t len = strlen(buf);
    for (int i = 0; i < DLNA_Cnt; i++) {
        if (r->pass - r->DLNA_Pass[i] > LISTED_PASSES) continue;
        /* Lines that would not leave room for the closing empty line are
        ** left out, and with them the rest of the table. */
        size_t add = strlen(DLNA[i]) + 2;
        if (len + add + 2 > SSDP_BUF - 1) break;
        len += sfmt(buf + len, SSDP_BUF - len, "%s\r\n", DLNA[i]);
    }
    len += sfmt(buf + len, SSDP_BUF - len, "\r\n");
    return (int)len;
}

/* ----------------------------------------------------------- the thread */

/* Reports a failed set-up step: the trace with the error's text, and the
** alert.  Returns 0. */
static int setup_failed(const char *trace_fmt, const char *alert)
{
    char err[200];
    Debug(trace_fmt, error_text(err, sizeof err));
    Alert("Discovery", alert, 0);
    return 0;
}

static int set_nonblocking(pal_socket s, const char *alert)
{
    if (pal_set_nonblocking(s, 1) == 0) return 1;
    char err[200];
    int code = pal_socket_error();
    Debug("ioctlsocket failed %s (%d)", error_text(err, sizeof err), code);
    Alert("Discovery", alert, 0);
    return 0;
}

/* Opens the listening socket: non-blocking, shared port 1900, in the
** group.  A failed bind is reported and the thread goes on without it.
** Returns the socket, or PAL_INVALID_SOCKET after a failure that ends the
** thread. */
static pal_socket open_listener(void)
{
    pal_socket s = pal_socket_open(PAL_AF_INET, PAL_SOCK_DGRAM, 0);
    if (s == PAL_INVALID_SOCKET) {
        setup_failed("Opening datagram socket error - %s", "Failed to acquire socket !");
        return s;
    }
    Debug("Opening datagram socket....OK.\n");
    Debug("Open socket - %d (UPNP 1)", s);
    int one = 1;
    if (!set_nonblocking(s, "Failed to set Blocking !")) goto fail;
    if (pal_setsockopt(s, PAL_SOL_SOCKET, PAL_SO_REUSEADDR, &one, sizeof one) != 0) {
        setup_failed("Setting SO_REUSEADDR error - %s", "Failed to set reuse !");
        goto fail;
    }
    Debug("Setting SO_REUSEADDR...OK.\n");
    if (pal_bind(s, 0, SSDP_PORT) != 0)
        setup_failed("Binding datagram socket error - %s", "Failed to bind() socket !");
    else
        Debug("Binding datagram socket...OK.\n");
    {
        uint32_t group[2] = {SSDP_GROUP, 0};
        if (pal_setsockopt(s, PAL_IPPROTO_IP, PAL_IP_ADD_MEMBERSHIP, group, sizeof group) != 0) {
            setup_failed("Adding multicast group error - %s", "Failed to join group !");
            goto fail;
        }
    }
    Debug("Adding multicast group...OK.\n");
    return s;
fail:
    pal_closesocket(s);
    return PAL_INVALID_SOCKET;
}

/* Opens the send socket: non-blocking, multicast out of the default
** interface.  Returns it, or PAL_INVALID_SOCKET after a failure. */
static pal_socket open_sender(void)
{
    pal_socket s = pal_socket_open(PAL_AF_INET, PAL_SOCK_DGRAM, 0);
    if (s == PAL_INVALID_SOCKET) {
        setup_failed("Opening datagram socket error - %s", "Failed to acquire send socket !");
        return s;
    }
    Debug("Opening the datagram socket...OK.\n");
    Debug("Open socket - %d (UPNP 2)", s);
    int any = 0;
    if (!set_nonblocking(s, "Failed to blocking on send socket !")) goto fail;
    if (pal_setsockopt(s, PAL_IPPROTO_IP, PAL_IP_MULTICAST_IF, &any, sizeof any) != 0) {
        setup_failed("Setting local interface error - %s", "Failed to set multicast !");
        goto fail;
    }
    Debug("Setting the local interface...OK\n");
    return s;
fail:
    pal_closesocket(s);
    return PAL_INVALID_SOCKET;
}

/* Sends the NOTIFY to the group, and a copy to each player's UDP port. */
static void send_notify(Ssdp_Run *r, pal_socket sender)
{
    int len = UPNP_Notify_Text(r);
    Debug("Send NOTIFY data: %i\n%s", len, r->buf);
    int n = send_to(sender, r->buf, len, SSDP_GROUP, SSDP_PORT, "Unable to send to notify socket %i");
    Debug("Send notify %d", n);
    std::lock_guard<std::mutex> g(Found_Lock);
    int players = fndcnt.load();
    roku = players;
    for (int i = 0; i < players; i++) Debug("Roku %d - %s  SKT %d", i, found[i], Roku_skt[i]);
    for (int i = 0; i < players; i++) {
        if (!Roku_skt[i]) {
            pal_socket s = pal_socket_open(PAL_AF_INET, PAL_SOCK_DGRAM, 0);
            if (s == PAL_INVALID_SOCKET) {
                char err[200];
                Debug("Create Velmora socket found[%d] error - %s", i, error_text(err, sizeof err));
                continue;      /* tried again at the next NOTIFY */
            }
            Roku_skt[i] = s;
            Debug("Open socket - %d (UPNP 3)", s);
        }
        char host[FOUND_TXT];
        scopy(host, sizeof host, found[i]);
        char *colon = strchr(host, ':');
        if (colon) *colon = 0;
        unsigned char o[4];
        Split_IP(host, o);
        uint32_t addr = (uint32_t)o[0] << 24 | (uint32_t)o[1] << 16 | (uint32_t)o[2] << 8 | o[3];
        n = send_to(Roku_skt[i], r->buf, len, addr, ROKU_UDP_PORT, "Unable to send to Velmora UDP socket - %i");
        Debug("Send udp %s rsp %d", host, n);
    }
}

/* One search cycle: the three searches to the group. */
static void send_searches(Ssdp_Run *r, pal_socket sender)
{
    for (const char *st : Stype) {
        int len = (int)sfmt(r->buf, SSDP_BUF, Search, st);
        Debug("Send SEARCH data:\n%s", r->buf);
        int n = send_to(sender, r->buf, len, SSDP_GROUP, SSDP_PORT, "Unable to send to join socket %i");
        Debug("Send search %d", n);
    }
    r->search++;
    r->notify = r->other = 0;
}

/* Reads one datagram from s into r->buf and handles it.  Returns 0 when s
** has nothing to read. */
static int receive(Ssdp_Run *r, pal_socket s, time_t tm)
{
    if (s == PAL_INVALID_SOCKET) return 0;
    int n = pal_recvfrom(s, r->buf, SSDP_BUF - 1, nullptr, nullptr);
    if (n >= 0) {
        UPNP_Datagram(r, n, tm);
        return 1;
    }
    /* A datagram too long for the buffer is dropped as Windows drops it;
    ** the next one may be fine. */
    if (pal_socket_error() == PAL_WSAEMSGSIZE) {
        Debug("????? recv data %s", "(too long)");
        return 1;
    }
    return 0;
}

/* Only one discovery thread runs at a time: a Start soon after a Stop may
** find the last one still in its pause, and it hands over at once. */
static std::mutex one_thread;
static std::atomic<int> runs{0};

int UPNP_Init(void)
{
    WALK("Roku_Wait");
    Debug("Roku Wait Start");
    int run = ++runs;
    std::lock_guard<std::mutex> guard(one_thread);

    /* Every message names the server's address and port, which are settled
    ** once its listening socket is bound (a port of 0 asks it to choose). */
    for (int i = 0; i < LISTENER_WAITS && Active && !(My_Socket && My_Port); i++) wSleep(IDLE_MS);

    Ssdp_Run run_state;
    Ssdp_Run *r = &run_state;
    memset(r, 0, sizeof *r);
    {
        /* Players heard in an earlier run get a fresh minute to answer. */
        std::lock_guard<std::mutex> g(Found_Lock);
        for (pal_socket &s : Roku_skt) s = 0;
        for (time_t &t : Found_Heard) t = pal_time();
    }

    pal_socket listener = open_listener();
    if (listener == PAL_INVALID_SOCKET) return 0;
    pal_socket sender = open_sender();
    if (sender == PAL_INVALID_SOCKET) {
        pal_closesocket(listener);
        return 0;
    }

    int len = (int)scopy(r->buf, SSDP_BUF, bye);
    Debug("Send byebye data:\n%s", r->buf);
    int n = send_to(sender, r->buf, len, SSDP_GROUP, SSDP_PORT, "Unable to send byebye %i");
    Debug("Send byebye %d", n);

    while (Active && runs.load() == run) {
        time_t tm = pal_time();
        if (tm - r->searchtime > SEARCH_EVERY - 1) {
            r->pass++;
            r->searchtime = tm;
            send_searches(r, sender);
        }
        if (r->respondtime && r->respondtime < tm) {
            len = (int)sfmt(r->buf, SSDP_BUF, who, VELMORA_VERSION, Selected_Adrs(), My_Port.load());
            Debug("Send SEARCH response data: %i\n%s", len, r->buf);
            n = send_to(sender, r->buf, len, SSDP_GROUP, SSDP_PORT, "Unable to send to UDP socket %i");
            Debug("Send rsp %d", n);
            r->respondtime = 0;
        }
        if (tm - r->notifytime > NOTIFY_EVERY - 1 ||
            (tm - r->rokutime > NOTIFY_EVERY - 1 && tm - r->notifytime >= NOTIFY_GAP)) {
            r->notifytime = r->rokutime = tm;
            send_notify(r, sender);
        }
        while (receive(r, listener, tm) || receive(r, sender, tm)) {
        }
        UPNP_Checks(r, tm);
        UPNP_Age(tm);
        char line[sizeof r->sta];
        sfmt(line, sizeof line, "Search %d  Notify %d  Http %d  Roku %d Device %d", r->search, r->notify,
             r->other, roku, DLNA_Cnt - roku);
        if (strcmp(line, r->sta) != 0) Status_Line(STATUS_ACTIVITY, line);
        scopy(r->sta, sizeof r->sta, line);
        wSleep(IDLE_MS);
    }

    Debug("Done");
    pal_closesocket(listener);
    pal_closesocket(sender);
    for (int i = 0; i < r->checks; i++)
        if (r->check[i].s > 0) pal_closesocket(r->check[i].s);
    std::lock_guard<std::mutex> g(Found_Lock);
    for (pal_socket &s : Roku_skt) {
        if (s > 0) pal_closesocket(s);
        s = 0;
    }
    return 0;
}
