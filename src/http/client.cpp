/*
** The request handler.  Every accepted connection runs here on a thread of
** its own: a request is read in one receive, split into lines, passed by the
** access control and answered -- from the /Roku/ tree, as a folder listing
** or search, or as a file through the response path -- and the connection
** then waits for the next request.  The parsing steps are separate functions
** so that tests and the fuzzer reach them without a socket.
**
** Every byte here comes from the network: lines are cut to their table,
** every scan stops at a line's NUL, and numbers are held within bounds.
**
** The helpers at the end (request_target, reply) build and send the short
** answers of the whole HTTP service.
*/
#include "global.h"
#include "http/client.h"

#include <cstdlib>

#include "http/access.h"
#include "http/listing.h"
#include "roku/match.h"
#include "http/response.h"
#include "roku/roku.h"
#include "http/server.h"
#include "http/socket.h"
#include "live/transcode.h"
#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

/* Seconds a keep-alive connection may stay idle between two requests.  A
** player keeps a connection while the user browses and reopens one that
** was closed without showing anything; five minutes is longer than any
** pause between the requests of one screen. */
#define IDLE_WAIT 300
/* The same when the thread table is crowded: idle connections then make way
** for new ones within seconds. */
#define CROWDED_WAIT 2
/* Seconds a request may take to arrive whole, from its first byte. */
#define REQ_ARRIVE 20
/* Seconds a send may make no progress before its connection ends: as long
** as an idle wait (a player whose user paused a movie reads nothing while
** its buffer is full), and as short as a crowded one, a few seconds more
** for a slow network, when others need the room. */
#define STALL_WAIT IDLE_WAIT
#define CROWDED_STALL 10
/* One wait of a stalled send, in milliseconds. */
#define STALL_STEP 1000
/* Range values are held within this bound, so no sum or difference of two of
** them can overflow. */
#define RANGE_CAP 1000000000000000000LL
/* Trace bytes one request may write.  A movie of 30 GB sent whole through
** the buffer traces about 12 MB (a line per block; a tenth of that straight
** from the file); a request that would write more is cut there, whatever
** file or search it meets. */
#define TRACE_PER_REQUEST (16L << 20)
/* reply's buffer: large enough for a redirect that names Roku_Path. */
#define REPLY_TXT (2 * MAX_PATH_TXT)

std::atomic<int> Stall_Seconds{STALL_WAIT};

static int stalled(pal_socket s);

/* The buffers of one connection.  Together they are larger than a worker
** should carry on its stack, so each connection takes them from the heap
** once. */
struct CONN {
    char input[CONN_BUF];               /* receive, header and send buffer */
    char arg[REQ_LINES][REQ_LINE];      /* the request, one line each */
    char item[MAX_PATH_TXT];            /* the target; later the MIME name */
    char path[MAX_PATH_TXT];            /* the file-system path to serve */
    char req[REQ_RECV];                 /* bytes received, up to the empty line */
    size_t have;                        /* of them; a pipelined rest stays */
    int held;                           /* the access slot kept in use, or -1 */
};

/* ------------------------------------------------------------- parsing */

/* Splits a received request into the line table; returns the lines filled. */
int split_request(const char *buf, size_t n, char arg[REQ_LINES][REQ_LINE])
{
    WALK("split_request");
    memset(arg, 0, (size_t)REQ_LINES * REQ_LINE);
    int line = 0;
    size_t len = 0;
    for (size_t i = 0; i < n && line < REQ_LINES; i++) {
        char c = buf[i];
        if (c == '\r') continue;
        if (c == '\n') {
            line++;
            len = 0;
            continue;
        }
        /* Characters past the line's room are dropped up to its line feed. */
        if (len < REQ_LINE - 1) arg[line][len++] = c;
    }
    return line < REQ_LINES && len > 0 ? line + 1 : line;
}

/* Rewrites "Name: value" header lines to "Name=value". */
int fold_headers(char arg[REQ_LINES][REQ_LINE])
{
    WALK("fold_headers");
    for (int i = 1; i < REQ_LINES; i++) {
        char *p = strchr(arg[i], ':');
        if (!p) continue;
        *p = '=';
        /* The one character after the colon goes, blank or not: the
        ** channel always sends "Name: value". */
        if (p[1]) memmove(p + 1, p + 2, strlen(p + 2) + 1);
    }
    return 0;
}

/* The value of header name in line ("name=value"), or null when the line
** is not that header. */
static const char *header_value(const char *line, const char *name)
{
    size_t n = strlen(name);
    if (strncmp(line, name, n) != 0 || line[n] != '=') return nullptr;
    return line + n + 1;
}

/* Takes the headers the handler acts on from the start of each line. */
int scan_headers(char arg[REQ_LINES][REQ_LINE], REQ_HEAD *h)
{
    WALK("scan_headers");
    h->referer = "-";
    h->agent = "-";
    h->cookie = nullptr;
    h->start = h->end = 0;
    h->status = 0;
    h->close = 0;
    for (int i = 0; i < REQ_LINES; i++) {
        const char *line = arg[i];
        const char *v;
        /* Only the exact value closes: "Close" keeps the connection. */
        if (strcmp(line, "Connection=close") == 0) h->close = 1;
        else if ((v = header_value(line, "Referer")) != nullptr) h->referer = v;
        else if ((v = header_value(line, "User-Agent")) != nullptr) h->agent = v;
        else if ((v = header_value(line, "Cookie")) != nullptr) h->cookie = v;
        else if (strncmp(line, "Range=bytes", 11) == 0) {
            h->status = 206;
            /* The character after "bytes" is the value's "="; a later Range
            ** line replaces an earlier one whole. */
            const char *text = line + 11;
            if (*text) text++;
            h->start = h->end = 0;
            /* A value that is no range at all ("--5") is ignored, as if the
            ** line were not there: the whole file, status 200. */
            if (!get_range(text, &h->start, &h->end)) h->status = 0;
            Debug("start = %lld end = %lld", h->start, h->end);
        }
    }
    return 0;
}

/* Reads "first-last" as the channel sends it, each as "%lld" reads it and
** held within +/-RANGE_CAP; returns the values read. */
int get_range(const char *text, long long *start, long long *end)
{
    WALK("get_range");
    long long v;
    const char *p = read_decimal(text, -RANGE_CAP, RANGE_CAP, &v);
    if (!p) return 0;
    *start = v;
    /* A suffix of no bytes ("-0") asks for nothing the file holds: it is
    ** kept as a range that ends before it starts, which is answered 416. */
    const char *sign = text;
    while (*sign == ' ' || (*sign >= '\t' && *sign <= '\r')) sign++;
    if (v == 0 && *sign == '-') {
        *end = -1;
        return 2;
    }
    if (*p != '-' || !read_decimal(p + 1, -RANGE_CAP, RANGE_CAP, &v)) return 1;
    /* end is kept one past the last byte; 0 stays "to the end", so a range
    ** of 0-0 asks for the whole stream. */
    *end = v ? v + 1 : 0;
    return 2;
}

/* The first four characters of each method's request line, by METHOD_ number. */
static const char *const method_text[METHOD_OTHER] = {"GET ", "POST", "PUT ", "HEAD"};

int get_method(const char *line)
{
    WALK("get_method");
    for (int i = 0; i < METHOD_OTHER; i++)
        if (strncmp(line, method_text[i], 4) == 0) return i;
    return METHOD_OTHER;
}

/* ------------------------------------------------------------ requests */

/* Opens path for binary reading; traces why not. */
static FILE *open_file(const char *path)
{
    FILE *f = My_fopen(path, "rb");
    if (!f) {
        char err[200];
        Debug("Open failed - %s", pal_error_text(pal_last_error(), err, sizeof err));
    }
    return f;
}

/* A stream's address for the trace lines, which print it in octal. */
static unsigned trace_ptr(const FILE *f)
{
    return (unsigned)(uintptr_t)f;
}

/* A HEAD on a movie with transcoding on: "name.kill" stops VLC, any other
** movie starts a live stream and redirects the player to its main playlist.
** Returns 1 when the request was answered so (the connection then ends),
** 0 when the target is no live stream and is served as a file. */
static int live_stream(pal_socket s, CONN *c, const char *line, const REQ_HEAD *h)
{
    WALK("live_stream");
    uint32_t addr = Get_Peer(s);
    char *dot = strrchr(c->path, '.');
    if (dot && locate(dot + 1, "kill")) {
        *dot = 0;
        /* Another client's stream, still being fetched, goes on. */
        if (Live_May_End(c->path, addr)) Kill_VLC(c->path, 1);
        return 1;
    }
    int n = VLC_Transcode(c->path, addr);
    if (!n) return 0;
    http_log(s, line, 301, 0, h->referer, h->agent);
    /* The data folder is an absolute path that may hold blanks ("My Roku"):
    ** it goes into the URL percent-escaped, which the request handler
    ** decodes back to the folder. */
    char folder[1000];
    Encode(Roku_Path, folder);
    char ans[REPLY_TXT];
    sfmt(ans, sizeof ans, "HTTP/ 301 Moved Permanently\nLocation: http://%s:%d%s%s/Live%%20Stream/stream%d-Main.m3u8",
         Selected_Adrs(), My_Port.load(), folder[0] == '/' ? "" : "/", folder, n);
    reply(s, ans);
    Debug("Redirect - %s", ans);
    return 1;
}

/* Answers the request of n bytes in c->req.  Clears *ok when the client
** asked to close.  Returns 1 to wait for the next request, 0 to end the
** connection. */
static int serve_request(pal_socket s, CONN *c, size_t n, int *ok)
{
    WALK("serve_request");
    Trace_Budget(TRACE_PER_REQUEST);
    int lines = split_request(c->req, n, c->arg);
    fold_headers(c->arg);
    for (int i = 0; i < lines; i++) Debug("arg[%i] = %s", i, c->arg[i]);
    const char *line = c->arg[0];

    /* A query on the /Roku/ folder is a probe, never the channel. */
    if (locate(line, "/Roku/?")) {
        Debug("Invalid access attempt !");
        return 0;
    }

    REQ_HEAD h;
    scan_headers(c->arg, &h);
    if (h.close) *ok = 0;

    uint32_t rip = Get_Peer(s);
    switch (Chk_Cookie(rip, h.cookie, line, &c->held)) {
    case ACCESS_REFUSE:
        Refuse_Access(s, line, h.referer, h.agent);
        return 0;
    case ACCESS_START:
        Start_Sequence(s, rip, reply);
        return 0;
    case ACCESS_ACCEPT:
        break;
    }

    int req = get_method(line);
    if (req == METHOD_POST || req == METHOD_PUT) return 0;
    if (req == METHOD_OTHER) {
        http_log(s, line, 400, 0, h.referer, h.agent);
        /* Sent bare, with no protocol name and no header lines. */
        reply(s, "400 Bad Request");
        return 0;
    }

    request_target(c->item, line + 4, sizeof c->item);
    /* A Roku_Config.txt that Map_Target does not serve leaves the path
    ** empty, which then answers as missing. */
    c->path[0] = 0;
    if (Serve_Roku(s, c->item, c->path, req)) return 1;
    /* Outside the shared places a target is answered as a missing one. */
    if (c->path[0] && !Confined_Path(c->path, sizeof c->path)) c->path[0] = 0;
    Debug("path = %s", c->path);
    size_t len = strlen(c->path);
    if (len > 2 && c->path[len - 1] == '/') c->path[len - 1] = 0;

    if (req == METHOD_HEAD && Transcode && live_stream(s, c, line, &h)) return 0;

    FILE *in = nullptr;
    int status = h.status;
    time_t mtime = pal_time();
    My_Stat_Buf st;
    int found = My_stat(c->path, &st) == 0;
    int dir = found && (st.st_mode & PAL_S_IFMT) == PAL_S_IFDIR;
    if (!found || dir) {
        Debug("Stat failed or is a dir");
        in = chk_browse(c->item, c->path, req);
        if (!in) in = chk_toc(c->path, s);
        Debug("chk1 in = %o", trace_ptr(in));
        if (in) {
            /* A listing, search or info text is read from its open stream
            ** alone: its file goes now, not at some later clean-up. */
            Temp_Release(in);
            scopy(c->item, sizeof c->item, "dir.htm");
            status = 200;
        } else {
            sfmt(c->item, sizeof c->item, "%s/missing.htm", Roku_Path);
            in = My_fopen(c->item, "r");
            status = 404;
            Debug("chk2 in = %o", trace_ptr(in));
            /* A folder never opens as a file on Windows; POSIX would open
            ** it, so only a path that could not be examined is tried. */
            if (!in && !dir) in = open_file(c->path);
        }
    } else {
        in = open_file(c->path);
        mtime = st.mtime;
        Debug("chk3 in = %o", trace_ptr(in));
    }
    Debug("chk4 in = %o", trace_ptr(in));

    if (!in) {
        http_log(s, line, 404, 0, h.referer, h.agent);
        /* The channel expects the bare text, without "HTTP/1.1". */
        reply(s, "404 Not Found");
        return 0;
    }
    SEND_FILE f = {req, status, h.start, h.end, c->item, c->path, mtime, line, h.referer, h.agent};
    send_file(s, in, &f, c->input, sizeof c->input);
    return 1;
}

/* The length of the request at the start of buf (n bytes): up to and with
** its empty line; 0 while that has not arrived. */
size_t request_length(const char *buf, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        if (buf[i] != '\n') continue;
        size_t j = i + 1;
        if (j < n && buf[j] == '\r') j++;
        if (j < n && buf[j] == '\n') return j + 1;
    }
    return 0;
}

/* Waits up to limit seconds for s to become readable, a second at a time, so
** that a crowded thread table shortens the wait of an idle connection.
** Returns 1 when readable, 0 otherwise. */
static int idle_wait(pal_socket s, int limit)
{
    for (int waited = 0; Active;) {
        int rc = sockwait(s, 1);
        if (rc > 0) return 1;
        if (rc < 0) return 0;
        int room = Crowded(s) ? CROWDED_WAIT : limit;
        if (++waited >= room) return 0;
    }
    return 0;
}

/* Reads until c->req holds a whole request.  Returns its length, or 0 when
** the connection is to end (closed, idle too long, or a request that does
** not end within REQ_RECV bytes, which is answered 400). */
static size_t read_request(pal_socket s, CONN *c)
{
    size_t len;
    while (!(len = request_length(c->req, c->have))) {
        if (c->have == sizeof c->req) {
            Debug("request too long");
            reply(s, "400 Bad Request");
            return 0;
        }
        if (!idle_wait(s, c->have ? REQ_ARRIVE : IDLE_WAIT)) return 0;
        int n = pal_recv(s, c->req + c->have, (int)(sizeof c->req - c->have));
        Debug("recv %i", n);
        if (n <= 0) return 0;
        c->have += (size_t)n;
    }
    return len;
}

/* The request thread: serves the connection until it ends, then closes it. */
int client(int s)
{
    WALK("client");
    Debug("connect active %i", s);
    Debug("Client id = %ld", (long)pal_thread_id());
    int MyID = GetMyID();
    if (MyID >= 0) DataArray[MyID].Xfer = 0;

    CONN *c = (CONN *)calloc(1, sizeof(CONN));
    if (!c) Debug("no memory for connection %i", s);
    else c->held = -1;
    int ok = 1;
    while (c && ok && Active) {
        /* A request is judged only once it is whole: one sent in several
        ** pieces is still one request. */
        size_t n = read_request(s, c);
        if (!n) break;
        int more = serve_request(s, c, n, &ok);
        c->have -= n;
        memmove(c->req, c->req + n, c->have);
        if (!more || stalled(s)) break;
    }
    Debug("connect close %i", s);
    /* The slot is given back before the close, so a peer that sees the
    ** connection end finds the slot free. */
    if (c) Release_Slot(c->held);
    if (stalled(s)) {
        /* Reset at once: the data it never took is dropped, not kept in
        ** the system for a peer that will not read it. */
        int zero = 0;
        pal_setsockopt(s, PAL_SOL_SOCKET, PAL_SO_LINGER, &zero, sizeof zero);
    }
    Release_IP(s);
    pal_closesocket(s);
    free(c);
    return 0;
}

/* ------------------------------------------------------------- helpers */

/* Copies the request target out of a request line; returns its length. */
int request_target(char *out, const char *in, size_t size)
{
    WALK("request_target");
    if (!size) return 0;
    while (*in == ' ') in++;
    size_t n = 0;
    while (n + 1 < size) {
        unsigned char ch = (unsigned char)in[n];
        if (ch == ' ' || ch < 32) break;
        out[n++] = (char)ch;
    }
    out[n] = 0;
    return (int)n;
}

/* The calling thread's connection had a send that stalled. */
static thread_local pal_socket stalled_socket = PAL_INVALID_SOCKET;

/* 1 when a bounded send on s ran out of time.  (Each connection has a
** thread of its own, so the mark never outlives its connection.) */
static int stalled(pal_socket s)
{
    return stalled_socket == s;
}

/* Whether a send on the connection *(pal_socket *)ctx that has made no
** progress for `waited` steps of STALL_STEP waits on.  When it does not,
** the connection is marked stalled and the send fails with WSAETIMEDOUT. */
static int keep_waiting(void *ctx, int waited)
{
    pal_socket s = *(pal_socket *)ctx;
    int room = Crowded(s) ? CROWDED_STALL : Stall_Seconds.load();
    if (waited < room && Active) return 1;
    Debug("send stalled %d seconds, connection ended", waited);
    stalled_socket = s;
    pal_set_socket_error(PAL_WSAETIMEDOUT);
    return 0;
}

int send_bounded(pal_socket s, const void *buf, int len)
{
    /* After a stall the connection only waits to end: nothing more goes. */
    if (stalled_socket == s) return -1;
    const char *p = (const char *)buf;
    int done = 0, waited = 0;
    while (done < len) {
        int n = pal_send_some(s, p + done, len - done, STALL_STEP);
        if (n < 0) return done ? done : -1;
        if (n > 0) {
            done += n;
            waited = 0;
            continue;
        }
        if (!keep_waiting(&s, ++waited)) return done ? done : -1;
    }
    return done;
}

long long send_file_bounded(pal_socket s, FILE *f, long long off, long long len)
{
    if (stalled_socket == s) return -1;
    return pal_send_file(s, f, off, len, STALL_STEP, keep_waiting, &s);
}

int Serve_Roku(pal_socket s, char *item, char *out, int req)
{
    std::string page;
    if (!Map_Target(item, out, req, &page)) return 0;
    return send_page(s, page.data(), page.size(), req);
}

/* Sends a short bare answer with its two line feeds in one send. */
int reply(pal_socket s, const char *ans)
{
    WALK("reply");
    char buf[REPLY_TXT];
    /* Room is kept for the two line feeds even when ans must be cut. */
    size_t n = bld(0, buf, sizeof buf - 2, ans);
    buf[n++] = '\n';
    buf[n++] = '\n';
    buf[n] = 0;
    return send_bounded(s, buf, (int)n);
}
