/*
** The listener.  The server thread binds the listening socket on the
** selected address (falling back over ports and over the last octet of the
** address), then accepts connections and starts one request thread for
** each.  Between connections it drops temporary files and, after two idle
** minutes, asks whether a library needs importing again.
*/
#include "global.h"
#include "http/server.h"

#include <mutex>
#include <unordered_map>

#include "http/access.h"
#include "http/socket.h"
#include "config/config.h"
#include "subs/files.h"
#include "subs/status.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"
#include "library/itunes.h"
#include "live/transcode.h"
#include "subs/win.h"
#include "http/winerr.h"

std::atomic<int> My_Socket{0};
unsigned char ip[4];

/* The port of every pass's second attempt, and of the first when no port is
** configured. */
#define FIRST_PORT 12000
#define PASSES 257
#define ATTEMPTS 100
/* The library check runs after IDLE_CHECK + 1 waits of WAIT_SECONDS with no
** connection: two minutes. */
#define IDLE_CHECK 19
#define WAIT_SECONDS 6
/* Connections the system completes before the accept loop takes them.  A
** burst -- a player opening several at once while others flood the port --
** then waits in the queue instead of having its handshakes dropped and
** retried a second or more later. */
#define LISTEN_BACKLOG 128

int Idle_Seconds = 0;

pal_socket get_socket(void)
{
    WALK("get_socket");
    pal_socket s = pal_socket_open(PAL_AF_INET, PAL_SOCK_STREAM, 0);
    if (s == PAL_INVALID_SOCKET) {
        char msg[64];
        sfmt(msg, sizeof msg, "Unable to acquire socket %i\n", pal_socket_error());
        ErrorExit(msg);
    }
    Debug("Open socket - %d (get_socket)", s);
    return s;
}

/* One bind attempt on o1.o2.o3.last:port.  Returns the bound socket, or 0. */
static pal_socket try_bind(const unsigned char o[4], int last, int port, char *adrs, size_t size)
{
    pal_socket s = get_socket();
    int on = 1;
    if (pal_setsockopt(s, PAL_SOL_SOCKET, PAL_SO_REUSEADDR, &on, sizeof on) != 0)
        Debug("Set socketopt failure %s\n", getsockerr(pal_socket_error()));
    sfmt(adrs, size, "%d.%d.%d.%d", o[0], o[1], o[2], last);
    Debug("trying %s", adrs);
    uint32_t a = (uint32_t)o[0] << 24 | (uint32_t)o[1] << 16 | (uint32_t)o[2] << 8 | (uint32_t)last;
    if (pal_bind(s, a, port) != 0) {
        char err[200];
        Debug("Http: Unable to acquire network port %s:%i - %s", adrs, port,
              pal_error_text(pal_socket_error(), err, sizeof err));
        pal_closesocket(s);
        return 0;
    }
    return s;
}

pal_socket getmysocket(void)
{
    WALK("getmysocket");
    if (My_Socket) return My_Socket;
    Debug("IP_Select = %d", IP_Select.load());
    Debug("IP_Adrs   = %s", Selected_Adrs());
    unsigned char o[4];
    Split_IP(Selected_Adrs(), o);
    Debug("after split %d %d %d %d", o[0], o[1], o[2], o[3]);
    /* The first pass keeps the configured last octet; the following 256 try
    ** every other host of the same network. */
    for (int pass = 0; pass < PASSES; pass++) {
        int last = pass == 0 ? o[3] : pass - 1;
        memset(ip, 0, sizeof ip);
        int port = 0;
        for (int attempt = 0; attempt < ATTEMPTS; attempt++) {
            if (attempt == 0)
                port = My_Port ? My_Port.load() : FIRST_PORT;
            else if (attempt == 1)
                port = FIRST_PORT;
            else
                port++;
            char adrs[IP_TXT];
            pal_socket s = try_bind(o, last, port, adrs, sizeof adrs);
            if (!s) continue;
            Set_Selected_Adrs(adrs);
            Split_IP(adrs, ip);
            My_Port = port;
            /* Last: discovery waits for the socket, then reads the address
            ** and port it announces. */
            My_Socket = s;
            char line[200];
            sfmt(line, sizeof line, "Server - %s:%d - %s", adrs, port, Mach);
            Status_Line(STATUS_SERVER, line);
            Check_Version();
            return s;
        }
    }
    return 0;
}

/*
** The connections of each peer address.  The accept loop counts a
** connection in (Chk_IP) and its thread counts it out (Release_IP) before it
** closes the socket, so a socket number is never counted twice.  Under
** conn_lock; the request threads read an address's count (Crowded).
*/
static std::mutex conn_lock;
static std::unordered_map<uint32_t, int> per_address;
static std::unordered_map<pal_socket, uint32_t> conn_peer;

int Chk_IP(pal_socket s)
{
    uint32_t peer = 0;
    if (pal_getpeername(s, &peer, nullptr) != 0) return 0;
    /* Known before the lock: the access tables have a lock of their own. */
    int known = Known_Player(peer);
    int room = MAX_THREADS - Threads_In_Use();
    std::lock_guard<std::mutex> g(conn_lock);
    auto at = per_address.find(peer);
    int mine = at == per_address.end() ? 0 : at->second;
    if (mine >= ADDRESS_SHARE) {
        Debug("address %o holds its share of %d connections", peer, ADDRESS_SHARE);
        return 0;
    }
    /* The last slots are kept for players admitted before that are not
    ** already busy: whoever else fills the table, they get in. */
    if (room <= KNOWN_ROOM && !(known && mine < KNOWN_FEW)) {
        Debug("room for known players only, %o refused", peer);
        return 0;
    }
    per_address[peer] = mine + 1;
    conn_peer[s] = peer;
    return 1;
}

void Release_IP(pal_socket s)
{
    std::lock_guard<std::mutex> g(conn_lock);
    auto at = conn_peer.find(s);
    if (at == conn_peer.end()) return;
    auto n = per_address.find(at->second);
    if (n != per_address.end() && --n->second <= 0) per_address.erase(n);
    conn_peer.erase(at);
}

int Crowded(pal_socket s)
{
    if (Threads_In_Use() > MAX_THREADS * 3 / 4) return 1;
    std::lock_guard<std::mutex> g(conn_lock);
    auto at = conn_peer.find(s);
    if (at == conn_peer.end()) return 0;
    auto n = per_address.find(at->second);
    return n != per_address.end() && n->second >= ADDRESS_SHARE;
}

int sockwait(pal_socket s, int sec)
{
    return pal_wait_readable(s, sec, 0);
}

/* The page served for every 404 of a folder-style request. */
static void write_missing_page(void)
{
    char path[MAX_PATH_TXT + 16];
    sfmt(path, sizeof path, "%s/missing.htm", Roku_Path);
    My_Stat_Buf st;
    if (My_stat(path, &st) == 0) return;
    FILE *f = My_fopen(path, "w");
    if (!f) return;
    static const char *const pieces[] = {
        "<TITLE>404 Not Found</TITLE>", "<H3>Not Found</H3>",
        "The requested object does not exist ", "on this server. The link you followed ",
        "is either outdated, inaccurate, or ", "the server has been instructed ",
        "not to let you have it.",
    };
    for (const char *p : pieces) fputs(p, f);
    fclose(f);
}

/* Accept failures that mean the listening socket itself is unusable; any
** other failure is a peer that gave up, a pending network error handed on,
** or a resource (descriptors, memory, buffers) that the request threads
** will give back, and the loop goes on after it. */
static int accept_fatal(int err)
{
    return err == PAL_WSAEBADF || err == PAL_WSAENOTSOCK || err == PAL_WSAEINVAL || err == PAL_WSAEFAULT;
}

/* Accept failures that come back at once if retried at once. */
static int accept_transient(int err)
{
    return err == PAL_WSAEINTR || err == PAL_WSAECONNABORTED || err == PAL_WSAECONNRESET ||
           err == PAL_WSAEWOULDBLOCK;
}

/* Closes the listening socket at the end of the server thread. */
static void close_listener(pal_socket s)
{
    pal_closesocket(s);
    My_Socket = 0;
}

int server(void)
{
    WALK("server");
    Debug("Velmora Http Server version %s", Version);
    Debug("Server id = %ld", (long)pal_thread_id());
    write_missing_page();
    if (!Setting_Text(VLC_Path).empty())
        for (int n = 1; n <= 99; n++) Drop_VLC_Files(n, 1);

    pal_socket s = getmysocket();
    if (!s) {
        char msg[200];
        sfmt(msg, sizeof msg, "Unable to acquire socket - %s ports 80, 8000 and 8080", Selected_Adrs());
        Alert("Socket Error", msg, 0);
        /* The server control shows the state when this thread ends. */
        Active = 0;
        return 0;
    }
    Debug("Http listening on %s  Port %i  %s", Selected_Adrs(), My_Port.load(), My_Host);
    if (pal_listen(s, LISTEN_BACKLOG) != 0) {
        Debug("HTTP: Server closing - error %s\n", getsockerr(pal_socket_error()));
        close_listener(s);
        return 0;
    }
    Debug("Listen OK, server active");

    /* A shortened idle period waits one second at a time. */
    int wait = Idle_Seconds > 0 ? 1 : WAIT_SECONDS;
    int idle_check = Idle_Seconds > 0 ? Idle_Seconds - 1 : IDLE_CHECK;
    int idle = 0;
    while (Active) {
        Drop_Temp();
        if (idle > idle_check) {
            int code = Chk_iTunes_iPhoto();
            /* The import runs on the main thread; wait until it is done. */
            if (code) Status_Import_Due();
            idle = 0;
        }
        Debug("sockwait start");
        pal_set_socket_error(0);
        int rc = sockwait(s, wait);
        if (rc > 0) {
            Debug("sockwait new");
            Debug("accept start");
            idle = 0;
            pal_socket c = pal_accept(s, nullptr, nullptr);
            if (c < 1) {
                int err = pal_socket_error();
                if (!accept_fatal(err)) {
                    Debug("accept failed %s", getsockerr(err));
                    /* Out of descriptors, memory or buffers: give the request
                    ** threads a moment to give theirs back rather than spin. */
                    if (!accept_transient(err)) wSleep(100);
                    continue;
                }
                Debug("HTTP: Server failed - error %s\n", getsockerr(err));
                break;
            }
            Debug("New connection = %i", c);
            if (!Chk_IP(c)) {
                Debug("closing socket %i", c);
                pal_closesocket(c);
            } else if (!myfork(JOB_CLIENT, c)) {
                /* No thread for it: this connection is refused, the others
                ** are served on. */
                Debug("closing socket %i", c);
                Release_IP(c);
                pal_closesocket(c);
            }
        } else {
            int err = pal_socket_error();
            if (err == 0 || err == PAL_WSAEINVAL)
                Debug("sockwait timeout");
            else {
                Debug("sockwait error - %s", getsockerr(err));
                /* A wait that fails at once would otherwise spin. */
                wSleep(100);
            }
            idle++;
        }
    }
    Debug("Server closing - active = %i", Active.load());
    close_listener(s);
    Active = 0;
    return 0;
}
