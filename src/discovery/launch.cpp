/*
** The channel launch.  For each player that discovery recorded, in table
** order: ask for its installed channels (GET /query/apps), take the app id
** of the channel whose name holds "Velmora" (the last such line), and post
** /launch/<id>?adrs=<address>-<port> so the channel knows where the server
** is.  A player that cannot be reached is forgotten (discovery finds it
** again if it comes back) and the next one is tried.  Only the trace tells
** how it went.
*/
#include "global.h"
#include "discovery/launch.h"

#include "discovery/ssdp.h"
#include "http/socket.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

const char ECP_Query[] = "GET /query/apps HTTP/1.1\r\n\r\n";

/* A player that accepts and never answers must not hold the launch (and
** with it every later Connect) for ever: each read waits this long. */
static const int ECP_READ_TIMEOUT_MS = 5000;

void ecp_clean(char *text)
{
    for (char *p = text; *p; p++) {
        if (*p == '\r' || (*p == '\n' && p[1] == '\n')) *p = ' ';
    }
}

int ecp_appid(const char *text, char appid[APPID_TXT])
{
    /* The last match: Scan answers 0 at the very start, where a reply never
    ** names the channel. */
    const char *last = nullptr;
    for (int at; (at = Scan(last ? last + 1 : text, "Velmora")) != 0;)
        last = (last ? last + 1 : text) + at;
    if (!last) return 0;
    const char *line = last;
    while (line > text && *line != '\n') line--;
    int id = Scan(line, "id=");
    if (!id) return 0;
    /* Past the opening quote, when there is one: a reply may end right
    ** after "id=", and nothing past its end is ever read. */
    const char *p = line + id + 3;
    if (*p) p++;
    int n = 0;
    while (n < APPID_TXT - 1 && p[n] && p[n] != '"') {
        appid[n] = p[n];
        n++;
    }
    appid[n] = 0;
    return 1;
}

/* One read of a reply into buf, terminated; a failed read or the time-out
** gives the empty text. */
static void read_reply(pal_socket s, char *buf)
{
    int n = pal_recv(s, buf, ECP_BUF - 1);
    buf[n > 0 ? n : 0] = 0;
}

/* Sends len bytes of text; traces the count (and the request line, when
** given) and, on failure, why.  Returns 1 when something went. */
static int send_traced(pal_socket s, const char *text, int len, const char *line)
{
    int sent = pal_send(s, text, len);
    if (line)
        Debug("Send %i bytes - %s", sent, line);
    else
        Debug("Send %i bytes", sent);
    if (sent > 0) return 1;
    char err[200];
    Debug("send failed - %s", pal_error_text(pal_socket_error(), err, sizeof err));
    return 0;
}

/* Asks one player for its channels and launches ours.  Returns 0 when it
** could not be reached. */
static int launch(const char *adrs, char *buf)
{
    int v[5];
    if (!Split_Adrs(adrs, v)) return 1;
    uint32_t host = (uint32_t)(v[0] & 255) << 24 | (uint32_t)(v[1] & 255) << 16 |
                    (uint32_t)(v[2] & 255) << 8 | (uint32_t)(v[3] & 255);
    pal_socket s = getasocket(host, v[4], 0);
    if (!s) {
        Debug("Failed to acquire socket");
        return 0;
    }
    int timeout = ECP_READ_TIMEOUT_MS;
    pal_setsockopt(s, PAL_SOL_SOCKET, PAL_SO_RCVTIMEO, &timeout, sizeof timeout);

    int go_on = send_traced(s, ECP_Query, (int)strlen(ECP_Query), nullptr);
    char appid[APPID_TXT];
    if (go_on) {
        read_reply(s, buf);
        ecp_clean(buf);
        Debug("Query:\n%s", buf);
        if (Scan(buf, "200 OK")) {
            /* The channel list is taken from the next read, after the
            ** status line and headers. */
            read_reply(s, buf);
            ecp_clean(buf);
            Debug("Reply:\n%s", buf);
        }
    }
    if (go_on && ecp_appid(buf, appid)) {
        Debug("appid = %s", appid);
        int len = (int)sfmt(buf, ECP_BUF, "POST /launch/%s?adrs=%s-%d HTTP/1.1\r\n\r\n", appid,
                            Selected_Adrs(), My_Port.load());
        char line[ECP_BUF];
        scopy(line, sizeof line, buf);
        line[strcspn(line, "\r")] = 0;
        go_on = send_traced(s, buf, len, line);
        if (go_on) {
            read_reply(s, buf);
            for (char *p = buf; *p; p++)
                if (*p == '\r') *p = ' ';
            Debug("Launch:\n%s", buf);
            if (Scan(buf, "200 OK")) read_reply(s, buf);
        }
    }
    pal_closesocket(s);
    return 1;
}

int Roku_Connect(void)
{
    WALK("Roku_Connect");
    Debug("Roku Connect");
    char players[MAX_FOUND][FOUND_TXT];
    int count;
    {
        std::lock_guard<std::mutex> g(Found_Lock);
        count = fndcnt.load();
        memcpy(players, found, sizeof players);
    }
    Debug("Roku count = %d", count);
    char buf[ECP_BUF];
    for (int l = 0; l < count; l++) {
        Debug("Roku address = %s", players[l]);
        if (!launch(players[l], buf)) Forget_Player(players[l]);
    }
    return 0;
}

int Roku_Launch(const char *ip)
{
    WALK("Roku_Launch");
    char adrs[FOUND_TXT] = "";
    size_t n = strlen(ip);
    {
        std::lock_guard<std::mutex> g(Found_Lock);
        for (int l = 0; l < fndcnt.load() && !adrs[0]; l++)
            if (n && strncmp(found[l], ip, n) == 0 && found[l][n] == ':') scopy(adrs, sizeof adrs, found[l]);
    }
    if (!adrs[0]) return 0;
    Debug("Roku launch - %s", adrs);
    char buf[ECP_BUF];
    if (launch(adrs, buf)) return 1;
    Forget_Player(adrs);
    return 0;
}
