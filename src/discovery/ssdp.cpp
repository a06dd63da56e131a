/*
** SSDP discovery and advertising.  The discovery thread announces the
** server as a UPnP root device whose description is its /Roku/ tree,
** answers searches that ask for an answer, searches every 10 seconds for Roku
** players and media servers, and records what it hears: the ECP address of
** each player (for the channel launch) and the description URL of each
** device (passed on to the players in the body of the server's NOTIFY).
**
** Both SSDP sockets are non-blocking and polled: the loop drains them, then
** pauses 100 milliseconds.  The tables are fixed arrays; nothing is
** allocated while the thread runs.
*/
#include "global.h"
#include "discovery/ssdp.h"

#include <cctype>
#include <climits>
#include <mutex>

#include "http/socket.h"
#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"
#include "subs/win.h"
#include "ui/dialog.h"

char found[MAX_FOUND][FOUND_TXT];
std::atomic<int> fndcnt{0};
pal_socket Roku_skt[MAX_FOUND];
int roku = 0;
char DLNA[MAX_DLNA][DLNA_TXT];
int DLNA_Cnt = 0;

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

/* Records one description URL: the LOCATION value that starts at v. */
static void record_location(Ssdp_Run *r, char *v)
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
    for (int i = 0; i < DLNA_Cnt; i++) {
        if (strcmp(DLNA[i], url) == 0) {
            r->DLNA_Pass[i] = r->pass;
            return;
        }
    }
    if (DLNA_Cnt < MAX_DLNA) {
        scopy(DLNA[DLNA_Cnt], DLNA_TXT, url);
        r->DLNA_Pass[DLNA_Cnt++] = r->pass;
        r->rokutime = 0;
    }
}

/* Records the ECP address of a Roku player from the text's Location. */
static void record_player(Ssdp_Run *r, const char *text)
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
    int n = fndcnt.load(), known = 0;
    for (int i = 0; i < n && !known; i++) known = strcmp(found[i], adrs) == 0;
    if (!known && n < MAX_FOUND) {
        scopy(found[n], FOUND_TXT, adrs);
        fndcnt.store(n + 1);     /* only now is the entry visible to the launch */
        r->rokutime = 0;
    }
    Debug("x = %d", known);
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
        int at = Scan(buf, "LOCATION:");
        if (at) record_location(r, buf + at + 9);
        record_player(r, buf);
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
    for (pal_socket &s : Roku_skt) s = 0;

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
        if (tm - r->notifytime > NOTIFY_EVERY - 1 || tm - r->rokutime > NOTIFY_EVERY - 1) {
            r->notifytime = r->rokutime = tm;
            send_notify(r, sender);
        }
        while (receive(r, listener, tm) || receive(r, sender, tm)) {
        }
        char line[sizeof r->sta];
        sfmt(line, sizeof line, "Search %d  Notify %d  Http %d  Roku %d Device %d", r->search, r->notify,
             r->other, roku, DLNA_Cnt - roku);
        if (strcmp(line, r->sta) != 0) pal_set_dlg_item_text(Win.load(), IDC_ACTIVITY, line);
        scopy(r->sta, sizeof r->sta, line);
        wSleep(IDLE_MS);
    }

    Debug("Done");
    pal_closesocket(listener);
    pal_closesocket(sender);
    for (pal_socket &s : Roku_skt) {
        if (s > 0) pal_closesocket(s);
        s = 0;
    }
    return 0;
}
