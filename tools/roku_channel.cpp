/*
** The channel stand-in: the cookie sequence, keep-alive requests and the
** reading of Velmora's answers (an LF-only header block with a
** Content-length, or a bare status line followed by a close).
*/
#include "roku_channel.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

/* How long to wait for the server before giving up on an answer. */
static const int ANSWER_MS = 15000;

std::string Channel::cookie(uint32_t addr, long seq)
{
    unsigned char key[10];
    for (int i = 0; i < 4; i++) key[i] = (unsigned char)(addr >> (24 - 8 * i));
    long n = seq % 1000000;
    for (int i = 9; i >= 4; i--) {
        key[i] = (unsigned char)(n % 10);
        n /= 10;
    }
    static thread_local std::mt19937 rng(std::random_device{}());
    unsigned char pad[10];
    for (unsigned char &p : pad) p = (unsigned char)(rng() & 0xFF);
    char out[41];
    for (int i = 0; i < 10; i++) snprintf(out + 2 * i, 3, "%02X", key[i] ^ pad[i]);
    for (int i = 0; i < 10; i++) snprintf(out + 20 + 2 * i, 3, "%02x", pad[i]);
    return std::string(out, 40);
}

void Channel::close_connection(void)
{
    if (sock >= 0) close(sock);
    sock = -1;
}

bool Channel::ensure_connected(void)
{
    if (sock >= 0) return true;
    sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) return false;
    if (!source.empty()) {
        sockaddr_in b{};
        b.sin_family = AF_INET;
        if (inet_pton(AF_INET, source.c_str(), &b.sin_addr) != 1 || bind(sock, (sockaddr *)&b, sizeof b) != 0) {
            close_connection();
            return false;
        }
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1 || connect(sock, (sockaddr *)&a, sizeof a) != 0) {
        close_connection();
        return false;
    }
    return true;
}

uint32_t Channel::local_address(void)
{
    sockaddr_in a{};
    socklen_t n = sizeof a;
    if (sock < 0 || getsockname(sock, (sockaddr *)&a, &n) != 0) return 0;
    return ntohl(a.sin_addr.s_addr);
}

/* Reads until the connection closes, the wait runs out, or want bytes are
** in; false when the server closed the connection. */
static bool fill(int sock, std::string &buf, size_t want)
{
    char chunk[65536];
    while (buf.size() < want) {
        pollfd p = {sock, POLLIN, 0};
        if (poll(&p, 1, ANSWER_MS) <= 0) return true;
        ssize_t n = recv(sock, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buf.append(chunk, (size_t)n);
    }
    return true;
}

bool Channel::read_answer(Channel_Answer &out, bool head_only)
{
    out = Channel_Answer();
    std::string buf;
    size_t end;
    for (;;) {
        end = buf.find("\n\n");
        if (end != std::string::npos) break;
        size_t before = buf.size();
        bool open = fill(sock, buf, before + 1);
        if (!open || buf.size() == before) {
            out.head = buf;
            out.closed = !open;
            if (!open) close_connection();
            return !buf.empty();
        }
    }
    out.head = buf.substr(0, end + 2);
    out.body = buf.substr(end + 2);
    const char *h = out.head.c_str();
    if (!strncmp(h, "HTTP/1.1 ", 9) || !strncmp(h, "HTTP/ ", 6))
        out.status = atoi(strchr(h, ' ') + 1);
    else
        out.status = atoi(h);
    size_t cl = out.head.find("Content-length: ");
    if (cl != std::string::npos && !head_only) {
        size_t want = (size_t)strtoull(out.head.c_str() + cl + 16, nullptr, 10);
        bool open = fill(sock, out.body, want);
        if (!open) {
            out.closed = true;
            close_connection();
        }
    } else if (cl == std::string::npos) {
        /* A bare answer: the server closes the connection after it. */
        out.closed = !fill(sock, out.body, (size_t)-1);
        close_connection();
    }
    return true;
}

bool Channel::raw(const std::string &bytes, Channel_Answer &out, bool head_only)
{
    if (!ensure_connected()) return false;
    if (send(sock, bytes.data(), bytes.size(), MSG_NOSIGNAL) != (ssize_t)bytes.size()) {
        close_connection();
        return false;
    }
    return read_answer(out, head_only);
}

long Channel::start(void)
{
    close_connection();
    Channel_Answer a;
    if (!raw("GET /Roku/ HTTP/1.1\r\nUser-Agent: Roku\r\n\r\n", a)) return -1;
    close_connection();
    size_t q = a.head.find("Location: ?");
    if (a.status != 301 || q == std::string::npos) return -1;
    long r = atol(a.head.c_str() + q + 11);
    /* The server holds 1000000 - r as the last number used. */
    sequence = 1000000 - r;
    return r;
}

bool Channel::request(const std::string &method, const std::string &target, Channel_Answer &out,
                      const std::string &extra)
{
    if (sequence < 0 && start() < 0) return false;
    if (!ensure_connected()) return false;
    sequence++;
    std::string req = method + " " + target + " HTTP/1.1\r\n" + "Host: " + host + "\r\n" +
                      "User-Agent: Roku/DVP-9.10\r\n" + "Cookie: " + cookie(local_address(), sequence) +
                      "\r\n" + extra + "\r\n";
    return raw(req, out, method == "HEAD");
}
