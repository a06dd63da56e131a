/*
** POSIX sockets in the shape of Windows Sockets: IPv4 addresses as host-order
** numbers, the Windows level and option numbers, a per-thread last error that
** holds Windows Sockets numbers (ECONNRESET is 10054), and a gethostbyname
** that answers for the host's own name as Windows does.
*/
#include "pal/pal.h"
#include "pal/posix/posix_internal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "pal/common/sockaddr.h"

/* The calling thread's last socket error, as a Windows Sockets number. */
static thread_local int sock_error = 0;

/* errno values and the Windows Sockets numbers that stand for them.  Read
** top down: the first row for an errno gives its number, and the first row
** for a number gives its errno on the way back. */
static const struct {
    int err;
    int wsa;
} wsa_map[] = {
    {EINTR, 10004},           {EBADF, 10009},           {EACCES, 10013},
    {EFAULT, 10014},          {EINVAL, 10022},          {EMFILE, 10024},
    {EWOULDBLOCK, 10035},     {EAGAIN, 10035},          {EINPROGRESS, 10036},
    {EALREADY, 10037},        {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},        {ENETUNREACH, 10051},
    {ENETRESET, 10052},       {ECONNABORTED, 10053},    {ECONNRESET, 10054},
    {ENOBUFS, 10055},         {EISCONN, 10056},         {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},    {ELOOP, 10062},           {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},
    {EUSERS, 10068},          {EDQUOT, 10069},          {ESTALE, 10070},
    {EREMOTE, 10071},
    /* A send to a peer that has gone is EPIPE here; Windows reports the
    ** reset, and the server's traces should read the same everywhere. */
    {EPIPE, 10054},
};

/* The Windows Sockets number for an errno value (the value itself when the
** table has no row for it). */
static int wsa_from_errno(int err)
{
    for (const auto &m : wsa_map)
        if (m.err == err) return m.wsa;
    return err;
}

int pal_errno_from_wsa(int wsa)
{
    for (const auto &m : wsa_map)
        if (m.wsa == wsa) return m.err;
    return wsa;
}

/* Records errno as the thread's socket error; returns -1 for the caller's
** failure return. */
static int fail(void)
{
    sock_error = wsa_from_errno(errno);
    return -1;
}

static int fail_with(int wsa)
{
    sock_error = wsa;
    return -1;
}

int pal_socket_error(void) { return sock_error; }
void pal_set_socket_error(int err) { sock_error = err; }

/* Nothing to start on POSIX; SIGPIPE is already ignored by pal_init. */
int pal_wsa_startup(void) { return 0; }

/* Descriptors are close-on-exec so that a VLC or batch child never holds a
** listening port or a player's connection after the server let go of it. */
static void no_inherit(int fd)
{
    int fl = fcntl(fd, F_GETFD);
    if (fl >= 0) fcntl(fd, F_SETFD, fl | FD_CLOEXEC);
}

pal_socket pal_socket_open(int af, int type, int proto)
{
    if (af != PAL_AF_INET) {
        sock_error = PAL_WSAEAFNOSUPPORT;
        return PAL_INVALID_SOCKET;
    }
    int t = type == PAL_SOCK_STREAM ? SOCK_STREAM : type == PAL_SOCK_DGRAM ? SOCK_DGRAM : -1;
    if (t < 0) {
        sock_error = PAL_WSAESOCKTNOSUPPORT;
        return PAL_INVALID_SOCKET;
    }
    int fd = socket(AF_INET, t, proto);
    if (fd < 0) return fail();
    no_inherit(fd);
    return fd;
}

int pal_closesocket(pal_socket s)
{
    return close(s) == 0 ? 0 : fail();
}

int pal_shutdown(pal_socket s)
{
    return shutdown(s, SHUT_RDWR) == 0 ? 0 : fail();
}

/*
** The Windows option numbers of pal.h mapped to their POSIX twins.  Values
** are ints, the time-outs milliseconds (0 = none), the linger seconds.  The multicast options
** take addresses as host-order numbers like the rest of this layer:
** IP_MULTICAST_IF one (the interface), IP_ADD_MEMBERSHIP two (the group,
** then the interface).
*/
int pal_setsockopt(pal_socket s, int level, int opt, const void *val, int len)
{
    if (!val || len < (int)sizeof(int)) return fail_with(PAL_WSAEFAULT);
    int v;
    memcpy(&v, val, sizeof v);
    int rc;
    if (level == PAL_SOL_SOCKET) {
        if (opt == PAL_SO_REUSEADDR) {
            rc = setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &v, sizeof v);
        } else if (opt == PAL_SO_RCVTIMEO || opt == PAL_SO_SNDTIMEO) {
            if (v < 0) v = 0;
            timeval tv;
            tv.tv_sec = v / 1000;
            tv.tv_usec = (v % 1000) * 1000;
            rc = setsockopt(s, SOL_SOCKET, opt == PAL_SO_RCVTIMEO ? SO_RCVTIMEO : SO_SNDTIMEO,
                            &tv, sizeof tv);
        } else if (opt == PAL_SO_LINGER) {
            linger lg = {v >= 0, v >= 0 ? v : 0};
            rc = setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        } else {
            return fail_with(PAL_WSAENOPROTOOPT);
        }
    } else if (level == PAL_IPPROTO_IP) {
        if (opt == PAL_IP_MULTICAST_IF) {
            in_addr a;
            a.s_addr = htonl((uint32_t)v);
            rc = setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a);
        } else if (opt == PAL_IP_MULTICAST_TTL) {
            rc = setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &v, sizeof v);
        } else if (opt == PAL_IP_MULTICAST_LOOP) {
            rc = setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, &v, sizeof v);
        } else if (opt == PAL_IP_ADD_MEMBERSHIP) {
            uint32_t two[2];
            if (len < (int)sizeof two) return fail_with(PAL_WSAEFAULT);
            memcpy(two, val, sizeof two);
            ip_mreq m;
            m.imr_multiaddr.s_addr = htonl(two[0]);
            m.imr_interface.s_addr = htonl(two[1]);
            rc = setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
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
    return bind(s, (sockaddr *)&sa, sizeof sa) == 0 ? 0 : fail();
}

int pal_listen(pal_socket s, int backlog)
{
    return listen(s, backlog) == 0 ? 0 : fail();
}

pal_socket pal_accept(pal_socket s, uint32_t *peer, int *port)
{
    sockaddr_in sa;
    socklen_t n;
    int fd;
    do {
        n = sizeof sa;
        fd = accept(s, (sockaddr *)&sa, &n);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail();
    no_inherit(fd);
    take_addr(sa, peer, port);
    return fd;
}

/* A blocking connect cut short by a signal goes on in the background; wait
** for it to finish rather than report the interruption.  On a non-blocking
** socket a connect under way fails with WSAEWOULDBLOCK, as on Windows. */
int pal_connect(pal_socket s, uint32_t addr, int port)
{
    if (port < 0 || port > 65535) return fail_with(PAL_WSAEINVAL);
    sockaddr_in sa = make_addr(addr, port);
    if (connect(s, (sockaddr *)&sa, sizeof sa) == 0) return 0;
    if (errno == EINPROGRESS) return fail_with(PAL_WSAEWOULDBLOCK);
    if (errno != EINTR) return fail();
    return pal_connect_wait(s, -1) > 0 ? 0 : -1;
}

int pal_connect_wait(pal_socket s, int ms)
{
    pollfd p = {s, POLLOUT, 0};
    int r;
    do r = poll(&p, 1, ms); while (r < 0 && errno == EINTR);
    if (r < 0) return fail();
    if (r == 0) return 0;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return fail();
    if (err) {
        errno = err;
        return fail();
    }
    return 1;
}

/* Sends the whole buffer as a blocking Windows send does: a signal does not
** cut it short, and a peer that has gone gives an error, never SIGPIPE.
** Returns what was sent when a later piece fails after an earlier one
** went. */
int pal_send(pal_socket s, const void *buf, int len)
{
    if (len < 0) return fail_with(PAL_WSAEINVAL);
    const char *p = (const char *)buf;
    int done = 0;
    while (done < len) {
        ssize_t n = send(s, p + done, (size_t)(len - done), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (done > 0) {
                sock_error = wsa_from_errno(errno);
                return done;
            }
            return fail();
        }
        done += (int)n;
    }
    return done;
}

int pal_recv(pal_socket s, void *buf, int len)
{
    if (len < 0) return fail_with(PAL_WSAEINVAL);
    ssize_t n;
    do n = recv(s, buf, (size_t)len, 0); while (n < 0 && errno == EINTR);
    return n < 0 ? fail() : (int)n;
}

int pal_sendto(pal_socket s, const void *buf, int len, uint32_t addr, int port)
{
    if (len < 0 || port < 0 || port > 65535) return fail_with(PAL_WSAEINVAL);
    sockaddr_in sa = make_addr(addr, port);
    ssize_t n;
    do n = sendto(s, buf, (size_t)len, MSG_NOSIGNAL, (sockaddr *)&sa, sizeof sa);
    while (n < 0 && errno == EINTR);
    return n < 0 ? fail() : (int)n;
}

/* A datagram longer than len fills the buffer, its rest is lost, and the
** call fails with WSAEMSGSIZE, as Windows reports it. */
int pal_recvfrom(pal_socket s, void *buf, int len, uint32_t *addr, int *port)
{
    if (len < 0) return fail_with(PAL_WSAEINVAL);
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    socklen_t n;
    ssize_t r;
    do {
        n = sizeof sa;
        r = recvfrom(s, buf, (size_t)len, MSG_TRUNC, (sockaddr *)&sa, &n);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return fail();
    take_addr(sa, addr, port);
    return r > len ? fail_with(PAL_WSAEMSGSIZE) : (int)r;
}

int pal_getsockname(pal_socket s, uint32_t *addr, int *port)
{
    sockaddr_in sa;
    socklen_t n = sizeof sa;
    if (getsockname(s, (sockaddr *)&sa, &n) < 0) return fail();
    take_addr(sa, addr, port);
    return 0;
}

int pal_getpeername(pal_socket s, uint32_t *addr, int *port)
{
    sockaddr_in sa;
    socklen_t n = sizeof sa;
    if (getpeername(s, (sockaddr *)&sa, &n) < 0) return fail();
    take_addr(sa, addr, port);
    return 0;
}

int pal_set_nonblocking(pal_socket s, int on)
{
    int fl = fcntl(s, F_GETFL);
    if (fl < 0) return fail();
    fl = on ? fl | O_NONBLOCK : fl & ~O_NONBLOCK;
    return fcntl(s, F_SETFL, fl) == 0 ? 0 : fail();
}

/*
** select() on one socket for reading, done with poll so that a descriptor
** above FD_SETSIZE is no hazard.  A negative sec waits without limit.  A
** hang-up or error on the socket counts as readable, as select reports it
** (the following recv then tells what happened); a signal does not end the
** wait early.
*/
int pal_wait_readable(pal_socket s, int sec, int usec)
{
    using clock = std::chrono::steady_clock;
    long long ms = -1;
    if (sec >= 0) ms = (long long)sec * 1000 + (usec > 0 ? (usec + 999) / 1000 : 0);
    clock::time_point end = clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    for (;;) {
        int wait = -1;
        if (ms >= 0) {
            long long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 end - clock::now()).count();
            wait = left < 0 ? 0 : left > 0x7fffffff ? 0x7fffffff : (int)left;
        }
        pollfd p = {s, POLLIN, 0};
        int r = poll(&p, 1, wait);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return fail();
        if (r > 0 && (p.revents & POLLNVAL)) return fail_with(PAL_WSAENOTSOCK);
        return r;
    }
}

int pal_peer_closed(pal_socket s)
{
    pollfd p = {s, POLLIN, 0};
    int r;
    do r = poll(&p, 1, 0); while (r < 0 && errno == EINTR);
    if (r <= 0) return 0;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return 1;
    /* Readable: bytes of a next request, or the end of the stream. */
    char c;
    ssize_t n;
    do n = recv(s, &c, 1, MSG_PEEK | MSG_DONTWAIT); while (n < 0 && errno == EINTR);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

int pal_send_some(pal_socket s, const void *buf, int len, int ms)
{
    if (len < 0) return fail_with(PAL_WSAEINVAL);
    if (len == 0) return 0;
    for (;;) {
        pollfd p = {s, POLLOUT, 0};
        int r = poll(&p, 1, ms < 0 ? 0 : ms);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return fail();
        if (r == 0) return 0;
        ssize_t n = send(s, buf, (size_t)len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return (int)n;
        if (errno == EINTR) continue;
        /* Writable yet full again (another writer, a shrunk window): the
        ** time was spent all the same. */
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return fail();
    }
}

/* The most one sendfile call is asked to move; Linux moves at most about
** 2 GB per call in any case. */
#define SENDFILE_MOST (1LL << 30)

long long pal_send_file(pal_socket s, FILE *f, long long off, long long len, int ms,
                        pal_send_wait_fn keep_waiting, void *ctx)
{
    if (off < 0 || len < 0) return fail_with(PAL_WSAEINVAL);
    int fd = f ? fileno(f) : -1;
    if (fd < 0) return PAL_SEND_FILE_REFUSED;
    /* Non-blocking while the file goes, so that a peer that takes nothing
    ** holds the thread no longer than one wait before keep_waiting is
    ** asked; the socket is blocking again for the rest of the connection. */
    int fl = fcntl(s, F_GETFL);
    if (fl < 0) return fail();
    bool was_blocking = !(fl & O_NONBLOCK);
    if (was_blocking && fcntl(s, F_SETFL, fl | O_NONBLOCK) < 0) return fail();
    long long done = 0, rc = 0;
    int waited = 0;
    for (;;) {
        if (done == len) {
            rc = done;
            break;
        }
        off_t at = (off_t)(off + done);
        long long want = len - done < SENDFILE_MOST ? len - done : SENDFILE_MOST;
        ssize_t n = sendfile(s, fd, &at, (size_t)want);
        if (n > 0) {
            done += n;
            waited = 0;
            continue;
        }
        if (n == 0) {
            rc = done;   /* the file ends here */
            break;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd p = {s, POLLOUT, 0};
            int r = poll(&p, 1, ms < 0 ? 0 : ms);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                rc = fail();
                break;
            }
            if (r == 0 && !keep_waiting(ctx, ++waited)) {
                rc = -1;
                break;
            }
            continue;
        }
        /* A file the system cannot send from (some file systems, a pipe)
        ** is refused before anything went, and is read instead. */
        if (done == 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            rc = PAL_SEND_FILE_REFUSED;
            break;
        }
        rc = fail();
        break;
    }
    if (was_blocking) fcntl(s, F_SETFL, fl);
    return rc;
}

int pal_gethostname(char *buf, int size)
{
    if (!buf || size <= 0) return fail_with(PAL_WSAEFAULT);
    if (gethostname(buf, (size_t)size) < 0) {
        buf[0] = 0;
        /* Windows names a buffer too small for the name a fault. */
        return errno == ENAMETOOLONG ? fail_with(PAL_WSAEFAULT) : fail();
    }
    buf[size - 1] = 0;
    return 0;
}

/* ------------------------------------------------------ name resolution */

static void add_addr(pal_hostent *h, uint32_t a)
{
    for (int i = 0; i < h->h_naddr; i++)
        if (h->h_addrs[i] == a) return;
    if (h->h_naddr < PAL_MAX_HOST_ADDRS) h->h_addrs[h->h_naddr++] = a;
}

static void copy_name(char *dst, const char *src)
{
    size_t n = strlen(src);
    if (n > 255) n = 255;
    memcpy(dst, src, n);
    dst[n] = 0;
}

/* Resolves name with getaddrinfo, IPv4 only, into the official name and the
** addresses.  Returns 0 or the getaddrinfo error. */
static int resolve(const char *name, pal_hostent *h)
{
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(name, nullptr, &hints, &res);
    if (rc != 0) return rc;
    if (res && res->ai_canonname && res->ai_canonname[0]) copy_name(h->h_name, res->ai_canonname);
    for (addrinfo *a = res; a; a = a->ai_next)
        if (a->ai_family == AF_INET && a->ai_addr)
            add_addr(h, ntohl(((sockaddr_in *)a->ai_addr)->sin_addr.s_addr));
    freeaddrinfo(res);
    return 0;
}

/* The host's own name answers, as on Windows, with the addresses of the
** interfaces that are up: the others in interface order, then loopback. */
static void own_addresses(pal_hostent *h)
{
    uint32_t loop[PAL_MAX_HOST_ADDRS];
    int nloop = 0;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs *i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
            if (!(i->ifa_flags & IFF_UP)) continue;
            uint32_t a = ntohl(((sockaddr_in *)i->ifa_addr)->sin_addr.s_addr);
            if (i->ifa_flags & IFF_LOOPBACK) {
                if (nloop < PAL_MAX_HOST_ADDRS) loop[nloop++] = a;
            } else {
                add_addr(h, a);
            }
        }
        freeifaddrs(list);
    }
    for (int i = 0; i < nloop; i++) add_addr(h, loop[i]);
    if (h->h_naddr == 0) add_addr(h, 0x7F000001);
}

int pal_gethostbyname(const char *name, pal_hostent *out)
{
    if (!out) return fail_with(PAL_WSAEFAULT);
    memset(out, 0, sizeof *out);
    out->h_addrtype = PAL_AF_INET;
    out->h_length = 4;

    char self[256];
    if (gethostname(self, sizeof self) < 0) self[0] = 0;
    self[sizeof self - 1] = 0;
    /* A null or empty name stands for the host itself, as on Windows. */
    if (!name || !name[0]) name = self;
    copy_name(out->h_name, name);

    in_addr a;
    if (self[0] && strcasecmp(name, self) == 0) {
        /* No resolver is asked: the answer is the machine's own, and a name
        ** missing from the hosts file must not send a query off the host. */
        own_addresses(out);
    } else if (strcasecmp(name, "localhost") == 0) {
        add_addr(out, 0x7F000001);
    } else if (inet_pton(AF_INET, name, &a) == 1) {
        add_addr(out, ntohl(a.s_addr));
    } else {
        int rc = resolve(name, out);
        if (rc != 0 || out->h_naddr == 0) {
            sock_error = rc == EAI_AGAIN ? PAL_WSATRY_AGAIN : PAL_WSAHOST_NOT_FOUND;
            return 0;
        }
    }
    return 1;
}
