/*
** Network addresses and outbound HTTP: the host's own addresses, name
** resolution, a connection's two ends, outbound sockets, one plain HTTP GET
** and the start-up version check.
*/
#include "global.h"
#include "http/socket.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "http/server.h"
#include "subs/status.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"
#include "http/winerr.h"

/* Fills My_Host, IP_Adrs and IP_cnt from the host's name and its addresses.
** A failed lookup leaves the table as it was.  Returns 0. */
int Get_IP_Adrs(void)
{
    WALK("Get_IP_Adrs");
    if (pal_gethostname(My_Host, (int)sizeof My_Host) != 0) My_Host[0] = 0;
    Debug("gethostname %s", My_Host);

    pal_hostent h;
    int ok = pal_gethostbyname(My_Host, &h);
    Debug("gethostbyname %o", (unsigned)ok);
    if (!ok) return 0;

    scopy(My_Host, sizeof My_Host, h.h_name);
    int n = 0;
    for (; n < h.h_naddr && n < MAX_IP; n++) {
        sfmt(IP_Adrs[n], IP_TXT, "%d.%d.%d.%d", OCTETS(h.h_addrs[n]));
        Debug("Available IP - %d.%d.%d.%d", OCTETS(h.h_addrs[n]));
    }
    IP_cnt = n;
    return 0;
}

const char *Selected_Adrs(void)
{
    thread_local char adrs[IP_TXT];
    Selected_Address(adrs, sizeof adrs);
    return adrs;
}

/* The first IPv4 address of name (host order), or 0.  Start-up letter t
** adds the whole answer to the trace. */
uint32_t get_ip(const char *name)
{
    WALK("get_ip");
    pal_hostent h;
    if (!pal_gethostbyname(name, &h) || h.h_naddr < 1) {
        Debug("gethostbyname [%s] failed %i", name ? name : "", pal_socket_error());
        return 0;
    }
    if (OPT('t')) {
        Debug("Host Name      = %s", h.h_name);
        for (int i = 0; i < h.h_nalias; i++) Debug("Alias          = %s", h.h_aliases[i]);
        Debug("Address type   = %i", h.h_addrtype);
        Debug("Address length = %i", h.h_length);
    }
    Debug("IP address for %s = %i.%i.%i.%i", name ? name : "", OCTETS(h.h_addrs[0]));
    return h.h_addrs[0];
}

/*
** Fetches url ("http://host/path") with one GET and keeps the whole answer,
** headers included, in buf (at most max - 1 bytes, NUL-terminated); buf
** first holds the request.  Returns the bytes received, 0 on any failure.
**
** The host connects on port 80, or on the port it names ("host:8099"), so a
** user or a test can point the version check at any server.
*/
int Get_A_File(const char *url, char *buf, int max)
{
    WALK("Get_A_File");
    if (!url || !buf || max < 1) return 0;
    Debug("Get_A_File url = %s", url);

    const char *p = url;
    if (strncmp(p, "http://", 7) == 0) p += 7;
    char domain[256], file[1024];
    const char *slash = strchr(p, '/');
    if (slash) {
        size_t n = (size_t)(slash - p);
        if (n > sizeof domain - 1) n = sizeof domain - 1;
        memcpy(domain, p, n);
        domain[n] = 0;
        scopy(file, sizeof file, slash + 1);
    } else {
        scopy(domain, sizeof domain, p);
        scopy(file, sizeof file, "Unknown");
    }
    Debug("domain = %s", domain);
    Debug("file = %s", file);

    char host[256];
    scopy(host, sizeof host, domain);
    int port = 80;
    char *colon = strchr(host, ':');
    if (colon) {
        *colon = 0;
        long long v;
        const char *end = read_decimal(colon + 1, LLONG_MIN, LLONG_MAX, &v);
        if (!end || *end || v < 1 || v > 65535) {
            Debug("bad port in %s", domain);
            return 0;
        }
        port = (int)v;
    }

    uint32_t ip_adr = get_ip(host);
    if (!ip_adr) return 0;
    pal_socket s = getasocket(ip_adr, port, 0);
    if (!s) return 0;

    int total = 0;
    /* The protocol-version slot of the request line carries the program's
    ** version ("GET /version.cgi 2.0.14.0"): that is how the version server
    ** has always learnt which release is asking, and it answers nothing else
    ** of HTTP anyway. */
    size_t full = sfmt(buf, (size_t)max, "GET /%s %s\r\nHost: %s\r\nUser-Agent: %s\r\n\r\n\r\n",
                       file, Version, domain, "Velmora");
    int len = (int)full;
    if (full >= (size_t)max) {  /* a request cut to fit would be garbage */
        Debug("send failed - %s", "request too long");
        goto done;
    }
    Debug("Send %i bytes", len);
    if (pal_send(s, buf, len) != len) {
        Debug("send failed - %s", getsockerr(pal_socket_error()));
        goto done;
    }

    /* Only what is there at once after the first bytes counts: the answer
    ** is a few hundred bytes that arrive together. */
    sockwait(s, 5);
    while (total < max - 1 && sockwait(s, 0) > 0) {
        int want = max - 1 - total;
        if (want > 1000) want = 1000;
        int n = pal_recv(s, buf + total, want);
        Debug("Recv %i", n);
        if (n <= 0) break;
        total += n;
    }
    buf[total] = 0;
    Debug("Recv total %i bytes\n%s\n", total, buf);

done:
    if (total == 0) buf[0] = 0;
    pal_closesocket(s);
    return total;
}

/*
** Asks the version-check host (Version_Host; empty = no check, no traffic)
** for the current release, telling it the address and port this server
** listens on.  A newer release is shown in the main dialog's status line
** (control 111) and gives 1; anything else gives 0.
*/
int Check_Version(void)
{
    WALK("Check_Version");
    std::string host = Setting_Text(Version_Host);
    if (host.empty()) {
        Debug("Version check off - no version host configured");
        return 0;
    }

    char url[700];
    sfmt(url, sizeof url, "%s/version.cgi?%s:%d", host.c_str(), Selected_Adrs(), My_Port.load());
    char buf[3000];
    int n = Get_A_File(url, buf, (int)sizeof buf);
    if (n <= 0) return 0;

    /* The announcement ends the answer: only a "Version " that starts within
    ** its last 20 characters is taken. */
    const char *v = strstr(buf + (n > 20 ? n - 20 : 0), "Version ");
    if (!v) return 0;
    char avail[32];
    int k = 0;
    for (v += 8; k < (int)sizeof avail - 1 && (unsigned char)v[k] >= 32 && v[k] != 127; k++)
        avail[k] = v[k];
    avail[k] = 0;

    /* Read as "%f", "2.0.15.0" is 2.0: only major and minor releases are
    ** announced. */
    float a = 0, t = 0;
    sscanf(avail, "%f", &a);
    sscanf(Version, "%f", &t);
    Debug("Version check - avail %f  this %f", a, t);
    if (!(t < a)) return 0;

    /* The web host is the configured version host: the server that made the
    ** announcement is the one to fetch the release from. */
    char msg[400];
    sfmt(msg, sizeof msg, "Version %s is available at %s", avail, host.c_str());
    Status_Line(STATUS_ACTIVITY, msg);
    return 1;
}
