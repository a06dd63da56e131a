/*
** Windows Sockets 2.2.  The layer's interface already speaks its language
** (level and option numbers, error numbers), so the calls go through with
** IPv4 addresses turned from host-order numbers into the system's records.
** Sockets are kept from being inherited, so that a batch file's children
** never hold a listening port or a player's connection.
*/
#include "pal/pal.h"
#include "pal/win32/win32_internal.h"

#include <cstring>
#include <io.h>
#include <mswsock.h>

#include "pal/common/sockaddr.h"

static SOCKET S(pal_socket s) { return (SOCKET)(uintptr_t)(unsigned)s; }

static int fail(void) { return -1; }

static int fail_with(int wsa)
{
    WSASetLastError(wsa);
    return -1;
}

int pal_socket_error(void) { return WSAGetLastError(); }
void pal_set_socket_error(int err) { WSASetLastError(err); }

int pal_wsa_startup(void)
{
    WSADATA d;
    return WSAStartup(MAKEWORD(2, 2), &d);
}

/* A socket handle as the layer's number; Windows keeps them within 32 bits. */
static pal_socket own(SOCKET s)
{
    if (s == INVALID_SOCKET) return PAL_INVALID_SOCKET;
    SetHandleInformation((HANDLE)s, HANDLE_FLAG_INHERIT, 0);
    return (pal_socket)(unsigned)s;
}

pal_socket pal_socket_open(int af, int type, int proto)
{
    if (af != PAL_AF_INET) {
        WSASetLastError(PAL_WSAEAFNOSUPPORT);
        return PAL_INVALID_SOCKET;
    }
    int t = type == PAL_SOCK_STREAM ? SOCK_STREAM : type == PAL_SOCK_DGRAM ? SOCK_DGRAM : -1;
    if (t < 0) {
        WSASetLastError(PAL_WSAESOCKTNOSUPPORT);
        return PAL_INVALID_SOCKET;
    }
    return own(socket(AF_INET, t, proto));
}

int pal_closesocket(pal_socket s) { return closesocket(S(s)) == 0 ? 0 : fail(); }

int pal_shutdown(pal_socket s) { return shutdown(S(s), SD_BOTH) == 0 ? 0 : fail(); }

/* The socket's type, SOCK_STREAM or SOCK_DGRAM (0 when unknown). */
static int socket_type(pal_socket s)
{
    int t = 0, n = sizeof t;
    return getsockopt(S(s), SOL_SOCKET, SO_TYPE, (char *)&t, &n) == 0 ? t : 0;
}

/*
** Values are ints, the time-outs milliseconds, the linger seconds, the
** multicast addresses host-order numbers (IP_ADD_MEMBERSHIP two: the group,
** then the interface).  SO_REUSEADDR is taken by datagram sockets only (the
** announcements share their port with other programs); on a listening
** socket it would let two servers bind the same port, where the server
** must see the port busy and move on to the next.
*/
int pal_setsockopt(pal_socket s, int level, int opt, const void *val, int len)
{
    if (!val || len < (int)sizeof(int)) return fail_with(PAL_WSAEFAULT);
    int v;
    memcpy(&v, val, sizeof v);
    int rc;
    if (level == PAL_SOL_SOCKET) {
        if (opt == PAL_SO_REUSEADDR) {
            if (socket_type(s) != SOCK_DGRAM) return 0;
            BOOL b = v != 0;
            rc = setsockopt(S(s), SOL_SOCKET, SO_REUSEADDR, (const char *)&b, sizeof b);
        } else if (opt == PAL_SO_RCVTIMEO || opt == PAL_SO_SNDTIMEO) {
            DWORD ms = v < 0 ? 0 : (DWORD)v;
            rc = setsockopt(S(s), SOL_SOCKET, opt == PAL_SO_RCVTIMEO ? SO_RCVTIMEO : SO_SNDTIMEO,
                            (const char *)&ms, sizeof ms);
        } else if (opt == PAL_SO_LINGER) {
            linger lg = {(u_short)(v >= 0), (u_short)(v >= 0 ? v : 0)};
            rc = setsockopt(S(s), SOL_SOCKET, SO_LINGER, (const char *)&lg, sizeof lg);
        } else {
            return fail_with(PAL_WSAENOPROTOOPT);
        }
    } else if (level == PAL_IPPROTO_IP) {
        if (opt == PAL_IP_MULTICAST_IF) {
            in_addr a;
            a.s_addr = htonl((uint32_t)v);
            rc = setsockopt(S(s), IPPROTO_IP, IP_MULTICAST_IF, (const char *)&a, sizeof a);
        } else if (opt == PAL_IP_MULTICAST_TTL || opt == PAL_IP_MULTICAST_LOOP) {
            DWORD d = (DWORD)v;
            rc = setsockopt(S(s), IPPROTO_IP, opt == PAL_IP_MULTICAST_TTL ? IP_MULTICAST_TTL : IP_MULTICAST_LOOP,
                            (const char *)&d, sizeof d);
        } else if (opt == PAL_IP_ADD_MEMBERSHIP) {
            uint32_t two[2];
            if (len < (int)sizeof two) return fail_with(PAL_WSAEFAULT);
            memcpy(two, val, sizeof two);
            ip_mreq m;
            m.imr_multiaddr.s_addr = htonl(two[0]);
            m.imr_interface.s_addr = htonl(two[1]);
            rc = setsockopt(S(s), IPPROTO_IP, IP_ADD_MEMBERSHIP, (const char *)&m, sizeof m);
        } else {
            return fail_with(PAL_WSAENOPROTOOPT);
        }
    } else {
        return fail_with(PAL_WSAENOPROTOOPT);
    }
    return rc == 0 ? 0 : fail();
}

int pal_bind(pal_socket s, uint32_t addr, int port)
{
    if (port < 0 || port > 65535) return fail_with(PAL_WSAEINVAL);
    sockaddr_in sa = make_addr(addr, port);
    return bind(S(s), (sockaddr *)&sa, sizeof sa) == 0 ? 0 : fail();
}

int pal_listen(pal_socket s, int backlog) { return listen(S(s), backlog) == 0 ? 0 : fail(); }

pal_socket pal_accept(pal_socket s, uint32_t *peer, int *port)
{
    sockaddr_in sa;
    int n = sizeof sa;
    SOCKET c = accept(S(s), (sockaddr *)&sa, &n);
    if (c == INVALID_SOCKET) return PAL_INVALID_SOCKET;
    take_addr(sa, peer, port);
    return own(c);
}

int pal_connect(pal_socket s, uint32_t addr, int port)
{
    if (port < 0 || port > 65535) return fail_with(PAL_WSAEINVAL);
    sockaddr_in sa = make_addr(addr, port);
    return connect(S(s), (sockaddr *)&sa, sizeof sa) == 0 ? 0 : fail();
}

int pal_connect_wait(pal_socket s, int ms)
{
    /* A connect that failed shows in the exception set. */
    fd_set w, e;
    FD_ZERO(&w);
    FD_ZERO(&e);
    FD_SET(S(s), &w);
    FD_SET(S(s), &e);
    timeval tv = {ms / 1000, (ms % 1000) * 1000};
    int r = select(0, nullptr, &w, &e, ms < 0 ? nullptr : &tv);
    if (r == SOCKET_ERROR) return fail();
    if (r == 0) return 0;
    if (FD_ISSET(S(s), &e)) {
        int err = 0, len = sizeof err;
        getsockopt(S(s), SOL_SOCKET, SO_ERROR, (char *)&err, &len);
        return fail_with(err ? err : WSAECONNREFUSED);
    }
    return 1;
}

/* Sends the whole buffer; returns what was sent when a later piece fails
** after an earlier one went. */
int pal_send(pal_socket s, const void *buf, int len)
{
    if (len < 0) return fail_with(PAL_WSAEINVAL);
    const char *p = (const char *)buf;
    int done = 0;
    while (done < len) {
        int n = send(S(s), p + done, len - done, 0);
        if (n == SOCKET_ERROR) return done > 0 ? done : fail();
        done += n;
    }
    return done;
}

int pal_recv(pal_socket s, void *buf, int len)
{
    if (len < 0) return fail_with(PAL_WSAEINVAL);
    int n = recv(S(s), (char *)buf, len, 0);
    return n == SOCKET_ERROR ? fail() : n;
}

int pal_sendto(pal_socket s, const void *buf, int len, uint32_t addr, int port)
{
    if (len < 0 || port < 0 || port > 65535) return fail_with(PAL_WSAEINVAL);
    sockaddr_in sa = make_addr(addr, port);
    int n = sendto(S(s), (const char *)buf, len, 0, (sockaddr *)&sa, sizeof sa);
    return n == SOCKET_ERROR ? fail() : n;
}

/* A datagram longer than len fills the buffer and fails with WSAEMSGSIZE:
** the system's own behaviour. */
int pal_recvfrom(pal_socket s, void *buf, int len, uint32_t *addr, int *port)
{
    if (len < 0) return fail_with(PAL_WSAEINVAL);
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    int n = sizeof sa;
    int r = recvfrom(S(s), (char *)buf, len, 0, (sockaddr *)&sa, &n);
    if (r == SOCKET_ERROR && WSAGetLastError() != WSAEMSGSIZE) return fail();
    take_addr(sa, addr, port);
    return r;
}

int pal_getsockname(pal_socket s, uint32_t *addr, int *port)
{
    sockaddr_in sa;
    int n = sizeof sa;
    if (getsockname(S(s), (sockaddr *)&sa, &n) != 0) return fail();
    take_addr(sa, addr, port);
    return 0;
}

int pal_getpeername(pal_socket s, uint32_t *addr, int *port)
{
    sockaddr_in sa;
    int n = sizeof sa;
    if (getpeername(S(s), (sockaddr *)&sa, &n) != 0) return fail();
    take_addr(sa, addr, port);
    return 0;
}

int pal_set_nonblocking(pal_socket s, int on)
{
    u_long v = on ? 1 : 0;
    return ioctlsocket(S(s), FIONBIO, &v) == 0 ? 0 : fail();
}

/* Windows has no hang-up event on a socket: a readable socket whose peek
** finds the end of the stream, or a reset, has lost its peer.  A peer that
** sent bytes and then closed shows as open until they are read. */
int pal_peer_closed(pal_socket s)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(S(s), &set);
    timeval tv = {0, 0};
    if (select(0, &set, nullptr, nullptr, &tv) <= 0) return 0;
    char c;
    int n = recv(S(s), &c, 1, MSG_PEEK);
    return n == 0 || (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK);
}

/* For the blocking sockets of client connections: waits until the socket
** takes bytes, then sends without blocking what it takes, and leaves the
** socket blocking again. */
int pal_send_some(pal_socket s, const void *buf, int len, int ms)
{
    if (len < 0) return fail_with(PAL_WSAEINVAL);
    if (len == 0) return 0;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(S(s), &set);
    timeval tv = {ms < 0 ? 0 : ms / 1000, ms < 0 ? 0 : (ms % 1000) * 1000};
    int r = select(0, nullptr, &set, nullptr, &tv);
    if (r == SOCKET_ERROR) return fail();
    if (r == 0) return 0;
    u_long on = 1, off = 0;
    if (ioctlsocket(S(s), FIONBIO, &on) != 0) return fail();
    int n = send(S(s), (const char *)buf, len, 0);
    int err = n == SOCKET_ERROR ? WSAGetLastError() : 0;
    ioctlsocket(S(s), FIONBIO, &off);
    if (n != SOCKET_ERROR) return n;
    /* Writable yet full again: the time was spent all the same. */
    return err == WSAEWOULDBLOCK ? 0 : fail_with(err);
}

/* The most one TransmitFile call is asked to move.  Its progress shows only
** when it completes, so a slow peer that takes a piece within a wait keeps
** counting as taking something, as it does for a send. */
#define TRANSMIT_PIECE (64LL << 10)

/* One TransmitFile of n bytes from off, overlapped so that the waits for
** a peer that takes nothing are ms long and keep_waiting is asked after
** each.  Returns the bytes sent or -1; on a refusal before anything went,
** PAL_SEND_FILE_REFUSED. */
static long long transmit(SOCKET s, HANDLE h, long long off, DWORD n, int ms,
                          pal_send_wait_fn keep_waiting, void *ctx)
{
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.Offset = (DWORD)(off & 0xFFFFFFFF);
    ov.OffsetHigh = (DWORD)(off >> 32);
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return PAL_SEND_FILE_REFUSED;
    if (!TransmitFile(s, h, n, 0, &ov, nullptr, 0)) {
        int err = WSAGetLastError();
        if (err != WSA_IO_PENDING && err != ERROR_IO_PENDING) {
            CloseHandle(ov.hEvent);
            return err == WSAENOTSOCK || err == WSAEFAULT ? fail_with(err) : PAL_SEND_FILE_REFUSED;
        }
    }
    int waited = 0;
    DWORD sent = 0, flags = 0;
    while (WaitForSingleObject(ov.hEvent, ms < 0 ? 0 : (DWORD)ms) == WAIT_TIMEOUT) {
        if (keep_waiting(ctx, ++waited)) continue;
        /* Given up: the rest is cancelled and the connection is to end. */
        int err = WSAGetLastError();
        CancelIoEx((HANDLE)s, &ov);
        WSAGetOverlappedResult(s, &ov, &sent, TRUE, &flags);
        CloseHandle(ov.hEvent);
        return fail_with(err);
    }
    BOOL ok = WSAGetOverlappedResult(s, &ov, &sent, FALSE, &flags);
    int err = ok ? 0 : WSAGetLastError();
    CloseHandle(ov.hEvent);
    return ok ? (long long)sent : fail_with(err);
}

long long pal_send_file(pal_socket s, FILE *f, long long off, long long len, int ms,
                        pal_send_wait_fn keep_waiting, void *ctx)
{
    if (off < 0 || len < 0) return fail_with(WSAEINVAL);
    int fd = f ? _fileno(f) : -1;
    HANDLE h = fd >= 0 ? (HANDLE)_get_osfhandle(fd) : INVALID_HANDLE_VALUE;
    LARGE_INTEGER size;
    if (h == INVALID_HANDLE_VALUE || !GetFileSizeEx(h, &size)) return PAL_SEND_FILE_REFUSED;
    /* TransmitFile is held to the file's end, where sendfile stops by
    ** itself. */
    if (len > size.QuadPart - off) len = size.QuadPart > off ? size.QuadPart - off : 0;
    long long done = 0;
    while (done < len) {
        long long want = len - done < TRANSMIT_PIECE ? len - done : TRANSMIT_PIECE;
        long long n = transmit(S(s), h, off + done, (DWORD)want, ms, keep_waiting, ctx);
        if (n == PAL_SEND_FILE_REFUSED && done == 0) return n;
        if (n == PAL_SEND_FILE_REFUSED) return fail_with(WSAEOPNOTSUPP);
        if (n < 0) return -1;
        done += n;
        if (n < want) break;   /* the file shrank meanwhile */
    }
    return done;
}

/* select() on one socket; a negative sec waits without limit. */
int pal_wait_readable(pal_socket s, int sec, int usec)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(S(s), &set);
    timeval tv = {sec, usec};
    int r = select(0, &set, nullptr, nullptr, sec < 0 ? nullptr : &tv);
    return r == SOCKET_ERROR ? fail() : r;
}

int pal_gethostname(char *buf, int size)
{
    if (!buf || size <= 0) return fail_with(PAL_WSAEFAULT);
    if (gethostname(buf, size) != 0) {
        buf[0] = 0;
        return fail();
    }
    buf[size - 1] = 0;
    return 0;
}

static void copy_name(char *dst, const char *src)
{
    size_t n = strlen(src);
    if (n > 255) n = 255;
    memcpy(dst, src, n);
    dst[n] = 0;
}

/* The system's gethostbyname, IPv4 only; for the host's own name it answers
** with the addresses of the interfaces.  A host with none but loopback is
** given loopback, so that the server still has an address to serve on. */
int pal_gethostbyname(const char *name, pal_hostent *out)
{
    if (!out) return fail_with(PAL_WSAEFAULT);
    memset(out, 0, sizeof *out);
    out->h_addrtype = PAL_AF_INET;
    out->h_length = 4;
    char self[256] = "";
    if (gethostname(self, sizeof self) != 0) self[0] = 0;
    if (!name || !name[0]) name = self;
    bool own_name = self[0] && _stricmp(name, self) == 0;
    hostent *h = gethostbyname(name);
    if (!h || h->h_addrtype != AF_INET) {
        if (!own_name) return 0;
        copy_name(out->h_name, name);
        out->h_addrs[out->h_naddr++] = 0x7F000001;
        return 1;
    }
    copy_name(out->h_name, h->h_name ? h->h_name : name);
    for (int i = 0; h->h_aliases && h->h_aliases[i] && out->h_nalias < PAL_MAX_ALIASES; i++)
        copy_name(out->h_aliases[out->h_nalias++], h->h_aliases[i]);
    for (int i = 0; h->h_addr_list[i] && out->h_naddr < PAL_MAX_HOST_ADDRS; i++) {
        uint32_t a;
        memcpy(&a, h->h_addr_list[i], 4);
        out->h_addrs[out->h_naddr++] = ntohl(a);
    }
    if (out->h_naddr == 0 && own_name) out->h_addrs[out->h_naddr++] = 0x7F000001;
    return 1;
}
