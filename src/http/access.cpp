/*
** Access control and the access log.
**
** Only the server's own Roku channel is served.  A player without a cookie
** is sent a start number in a redirect; from then on every request carries a
** 40-character cookie that encodes the player's address and a running
** sequence number, checked here against a table slot per address.  Refused
** requests get no answer at all: they are logged (even with the access log
** off), counted on the main dialog and slowed down by a pause.
*/
#include "global.h"
#include "http/access.h"

#include <climits>
#include <mutex>

#include "http/socket.h"
#include "live/transcode.h"
#include "subs/files.h"
#include "subs/status.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"
#include "subs/win.h"

/* Slot i of these tables belongs to one player address until the table is
** full and the address has gone quiet: no connection of its own open and
** nothing from it for Slot_Quiet_Seconds.  Then the least recently used
** quiet slot goes to a new address, so players that come and go (phones,
** guests, new leases) never fill the table for good, while a player still
** at work keeps its slot.  Slot MAX_ALLOWED is shared by every address that
** finds no slot at all.  0 in Allowed means free.  table_lock guards all
** the tables, so a slot goes to one address only. */
static uint32_t Allowed[MAX_ALLOWED + 1];   /* the peer's address */
static uint32_t AliasIP[MAX_ALLOWED + 1];   /* the address its cookies claim */
static int Sequence[MAX_ALLOWED + 1];       /* the last number accepted */
static int Seq_Err[MAX_ALLOWED + 1];        /* numbers out of the window */
static int Live[MAX_ALLOWED];               /* connections holding the slot */
static time_t Last_Use[MAX_ALLOWED];        /* its last request or connection end */
static unsigned char Admitted[MAX_ALLOWED]; /* a request of its was accepted */
static std::mutex table_lock;

std::atomic<int> Slot_Quiet_Seconds{SLOT_QUIET_SECONDS};

/* Refused requests since start-up. */
static std::atomic<int> Intruder{0};
/* Set once the user has been told that the address table is full. */
static std::atomic<int> table_full_told{0};

/* Targets that a player may fetch twice with the same number (a seek, a
** segment or picture fetched again): each with its blank, so the target
** must end with it. */
static const char *const media[] = {
    ".ts ", ".m3u8 ", ".jpg ", ".png ", ".m4a ", ".wma ", ".mp3 ", ".bif ", ".srt ", nullptr,
};


std::atomic<int> Refuse_Pause_ms{5000};

/* ------------------------------------------------------------- cookies */

/* One character of a cookie as a hex digit.  The channel's own decoder
** gives every character a value, a non-digit its upper-case code less 55,
** and the server must read a cookie exactly as the channel would. */
static unsigned cookie_digit(int c)
{
    int v = hex_digit(c);
    if (v < 0) v = (c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c) - 55;
    return (unsigned)v;
}

/* The byte of two cookie characters. */
static unsigned hex_byte(const char *p)
{
    return (cookie_digit((unsigned char)p[0]) * 16u + cookie_digit((unsigned char)p[1])) & 0xFFu;
}

/* Decodes a cookie into claimed address and sequence number; 0 if not 40 long. */
int decode_cookie(const char *cookie, uint32_t *cip, int *tok)
{
    WALK("decode_cookie");
    if (strnlen(cookie, 41) != 40) return 0;
    unsigned key[10];
    for (int k = 0; k < 10; k++) key[k] = hex_byte(cookie + 2 * k) ^ hex_byte(cookie + 20 + 2 * k);
    *cip = key[0] << 24 | key[1] << 16 | key[2] << 8 | key[3];
    int t = 0;
    for (int k = 4; k < 10; k++) t = t * 10 + (int)key[k];
    *tok = t;
    return 1;
}

/* The slot of address rip: the first that holds it or is free, whichever
** comes first; else the least recently used quiet slot, freed; else the
** shared slot.  Called under table_lock. */
static int find_slot(uint32_t rip)
{
    for (int i = 0; i < MAX_ALLOWED; i++)
        if (Allowed[i] == rip || Allowed[i] == 0) return i;
    time_t now = pal_time();
    int oldest = MAX_ALLOWED;
    for (int i = 0; i < MAX_ALLOWED; i++) {
        /* A clock set back makes no slot look quiet. */
        time_t age = now - Last_Use[i];
        if (Live[i] || age < 0 || age < Slot_Quiet_Seconds.load()) continue;
        if (oldest == MAX_ALLOWED || Last_Use[i] < Last_Use[oldest]) oldest = i;
    }
    if (oldest < MAX_ALLOWED) {
        Debug("Slot %d of %o freed for %o", oldest, Allowed[oldest], rip);
        Allowed[oldest] = AliasIP[oldest] = 0;
        Sequence[oldest] = Seq_Err[oldest] = 0;
        Admitted[oldest] = 0;
    }
    return oldest;
}

/* 1 if the request line asks for a media file or playlist. */
static int media_request(const char *req)
{
    for (int k = 0; media[k]; k++)
        if (locate(req, media[k])) return 1;
    for (int k = 0; Movies[k]; k++)
        if (locate(req, Movies[k])) return 1;
    return 0;
}

/* Checks claimed address cip and number tok against slot i, which is in
** use.  Called under table_lock.  Returns 1 accept, 0 refuse. */
static int check_sequence(int i, uint32_t rip, uint32_t cip, int tok, const char *req)
{
    Debug("rip %o  cip %o", rip, cip);
    if (!AliasIP[i]) AliasIP[i] = cip;
    if (cip != rip && cip != AliasIP[i]) return ACCESS_REFUSE;
    int offset = tok - Sequence[i];
    Debug("seq %d  req %d  offset %d", Sequence[i], tok, offset);
    if (offset < -1 || offset > 10) {
        Debug("failed = %d", offset);
        if (Seq_Err[i] < INT_MAX) Seq_Err[i]++;
        /* The first number out of the window is let through and restarts
        ** the window there: a player that lost count recovers at once. */
        if (Seq_Err[i] != 1) return ACCESS_REFUSE;
    }
    /* The same number twice is a player fetching a media file again; any
    ** other target repeated is a replay. */
    if (offset == 0 && !media_request(req)) {
        Debug("Invalid req [%s]", req);
        return ACCESS_REFUSE;
    }
    Seq_Err[i] = 0;
    Sequence[i] = tok;
    Debug("Cookie ok !");
    return ACCESS_ACCEPT;
}

/* Decides on a request by its cookie. */
int Chk_Cookie(uint32_t rip, const char *cookie, const char *req, int *held)
{
    WALK("Chk_Cookie");
    if (!cookie) return ACCESS_START;
    if (!req) req = "";
    Debug("Cookie = [%s]", cookie);
    uint32_t cip;
    int tok;
    if (!decode_cookie(cookie, &cip, &tok)) return ACCESS_REFUSE;
    {
        std::lock_guard<std::mutex> g(table_lock);
        int i = find_slot(rip);
        if (Allowed[i]) {
            int ok = check_sequence(i, rip, cip, tok, req);
            if (ok && i < MAX_ALLOWED) {
                Last_Use[i] = pal_time();
                Admitted[i] = 1;
                if (held && *held < 0) {
                    Live[i]++;
                    *held = i;
                }
            }
            return ok;
        }
        Debug("Unknown IP Rip %o Cip %o Seq %d", rip, cip, tok);
        if (i < MAX_ALLOWED) {
            Allowed[i] = rip;
            AliasIP[i] = cip;
            Last_Use[i] = pal_time();
            return ACCESS_START;
        }
    }
    /* Every slot holds another player and the shared one is still free: the
    ** server cannot tell this player apart and refuses it.  The user hears
    ** of it once; the players already known are served on. */
    Debug("Max Number of Connections Exceeded ! Rip %o", rip);
    if (!table_full_told.exchange(1)) Alert("", "Max Number of Connections Exceeded !", 0);
    return ACCESS_REFUSE;
}

int Known_Player(uint32_t rip)
{
    std::lock_guard<std::mutex> g(table_lock);
    for (int i = 0; i < MAX_ALLOWED; i++)
        if (Allowed[i] == rip) return Admitted[i];
    return 0;
}

/* Gives back the slot a connection held; its quiet time starts now. */
void Release_Slot(int held)
{
    if (held < 0 || held >= MAX_ALLOWED) return;
    std::lock_guard<std::mutex> g(table_lock);
    if (Live[held] > 0) Live[held]--;
    Last_Use[held] = pal_time();
}

/* The C runtime's generator, seeded with seed, drawn once: 0 ... 32767.  Kept
** here so the start numbers do not depend on the platform's rand. */
static int draw(uint32_t seed)
{
    seed = seed * 214013u + 2531011u;
    return (int)((seed >> 16) & 0x7FFFu);
}

/* Gives the peer a fresh start number in a bare redirect. */
int Start_Sequence(pal_socket s, uint32_t rip, Bare_Answer answer)
{
    WALK("Start_Sequence");
    int r = draw(pal_ticks()) % 999999;
    {
        std::lock_guard<std::mutex> g(table_lock);
        int i = find_slot(rip);
        Allowed[i] = rip;
        if (i < MAX_ALLOWED) Last_Use[i] = pal_time();
        AliasIP[i] = 0;
        Seq_Err[i] = 0;
        Sequence[i] = 1000000 - r;
    }
    char ans[100];
    /* The answer adds two more line feeds: the channel reads the Location
    ** and nothing else. */
    sfmt(ans, sizeof ans, "HTTP/ 301 Moved Permanently\nLocation: ?%d\n\n", r);
    int rc = answer(s, ans);
    Debug("Sent start Cookie sequence %d", r);
    wSleep(100);
    pal_shutdown(s);
    return rc;
}

/* Logs, counts and slows down a refused request; answers nothing. */
int Refuse_Access(pal_socket s, const char *req, const char *referer, const char *agent)
{
    WALK("Refuse_Access");
    Debug("cookie failed !");
    /* Refusals are logged even with the access log off, straight to the
    ** file: the log switches, which other threads read, stay as they are. */
    http_log(s, req, 403, 0, referer, agent, 1);
    int n = ++Intruder;
    char msg[1024] = "";
    if (n == 1)
        Param(msg, "Warning %d Intruder Attempt Detected !", n);
    else
        Param(msg, "Warning %d Intruder Attempts Detected !", n);
    Status_Line(STATUS_ACTIVITY, msg);
    /* No answer, and a pause: a prober learns nothing and gets nowhere
    ** fast.  With the thread table more than half full the refused
    ** connection makes way at once, so a storm of them cannot keep the
    ** players out. */
    if (Threads_In_Use() <= MAX_THREADS / 2) wSleep(Refuse_Pause_ms.load());
    return 0;
}

/* ---------------------------------------------------------- access log */

/* Formats one access-log line, cutting long values to fit. */
size_t log_line(char *out, size_t size, uint32_t peer, const char *clock, const char *arg,
                int stat, long long bytes, const char *referer, const char *agent)
{
    WALK("log_line");
    static const char fmt[] = "%i.%i.%i.%i %s/%s/%s %s \"%.*s\" %i %lld \"%.*s\" \"%.*s\"\n";
    /* The clock text "Www Mmm dd hh:mm:ss yyyy" cut into its fields; the
    ** padded copy keeps every field inside the buffer whatever came in. */
    char c[40] = {0};
    scopy(c, sizeof c, clock ? clock : "");
    char day[3] = {c[8] == ' ' ? '0' : c[8], c[9], 0};
    char mon[4] = {c[4], c[5], c[6], 0};
    char tod[9];
    memcpy(tod, c + 11, 8);
    tod[8] = 0;
    const char *year = c + 20;
    int a = (int)(peer >> 24 & 255), b = (int)(peer >> 16 & 255), d = (int)(peer >> 8 & 255),
        e = (int)(peer & 255);

    /* User-Agent before Referer: the order the log's readers expect. */
    const char *v[3] = {arg ? arg : "", agent ? agent : "-", referer ? referer : "-"};
    size_t len[3];
    for (int k = 0; k < 3; k++) len[k] = strnlen(v[k], size);
    char probe[LOG_TXT];
    size_t fixed = sfmt(probe, sizeof probe, fmt, a, b, d, e, day, mon, year, tod, 0, "", stat,
                        bytes, 0, "", 0, "");
    size_t avail = size > fixed + 1 ? size - 1 - fixed : 0;
    /* Values that do not fit are cut, the longest first, to one common
    ** length: the largest cap whose cut values still fit. */
    size_t cap = len[0] > len[1] ? len[0] : len[1];
    if (len[2] > cap) cap = len[2];
    if (len[0] + len[1] + len[2] > avail) {
        size_t lo = 0, hi = avail;
        while (lo < hi) {
            size_t mid = (lo + hi + 1) / 2, sum = 0;
            for (int k = 0; k < 3; k++) sum += len[k] < mid ? len[k] : mid;
            if (sum <= avail) lo = mid;
            else hi = mid - 1;
        }
        cap = lo;
    }
    int w[3];
    for (int k = 0; k < 3; k++) w[k] = (int)(len[k] < cap ? len[k] : cap);
    sfmt(out, size, fmt, a, b, d, e, day, mon, year, tod, w[0], v[0], stat, bytes, w[1], v[1], w[2],
         v[2]);
    return strlen(out);
}

/* Appends one line for the request on s to the access log, when open; with
** always set, also when it is not. */
int http_log(pal_socket s, const char *arg, int stat, long long size, const char *referer,
             const char *agent, int always)
{
    WALK("http_log");
    if (!AUD.load() && !always) return 0;
    char clock[64];
    Clock_Text(pal_time(), clock, sizeof clock);
    Debug("time= [%s]", clock);
    uint32_t peer = Get_Peer(s);
    char line[LOG_TXT];
    size_t n = log_line(line, sizeof line, peer, clock, arg, stat, size, referer, agent);
    long put = Audit_Put(line, n);
    if (put < 0 && always) put = Audit_Append(line, n);
    if (put >= 0 && (size_t)put < n) Debug("Log file write failed");
    return 0;
}
