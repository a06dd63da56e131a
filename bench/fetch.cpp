/*
** The load of the HTTP benchmark: N clients, each from a loopback address of
** its own, fetch the same file at once and the total throughput is printed.
** With -c the clients follow Velmora's cookie sequence as the channel does;
** without it they send a plain GET (for the peer server); with -0 that GET
** is HTTP/1.0, so a peer sends a generated page whole, not in chunks, and
** ends it by closing.
**
**   velmora-fetch [-c] [-0] -n CLIENTS PORT TARGET
**
** Prints "bytes seconds MB/s"; exits non-zero when a client fell short.
*/
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "roku_channel.h"

/* Sends the request and reads the answer, counting the body's bytes
** without keeping them; an answer without a length ends at the close.
** Returns the body bytes, -1 on a failure. */
static long long fetch_once(int sock, const std::string &req)
{
    if (send(sock, req.data(), req.size(), MSG_NOSIGNAL) != (ssize_t)req.size()) return -1;
    static thread_local std::vector<char> buf(1 << 20);
    std::string head;
    long long body = 0, want = -1;
    bool to_close = false;
    for (;;) {
        ssize_t n = recv(sock, buf.data(), buf.size(), 0);
        if (n <= 0) return to_close ? body : -1;
        if (want < 0) {
            head.append(buf.data(), (size_t)n);
            size_t end = head.find("\n\n");
            size_t crlf = head.find("\r\n\r\n");
            size_t skip = 2;
            if (crlf != std::string::npos && (end == std::string::npos || crlf < end)) end = crlf, skip = 4;
            if (end == std::string::npos) continue;
            /* Only a whole answer counts: 200, or Velmora's 200 OK. */
            if (head.compare(0, 12, "HTTP/1.1 200") != 0) return -1;
            const char *cl = strcasestr(head.c_str(), "Content-length: ");
            to_close = !cl && head.compare(0, 8, "HTTP/1.1") == 0 && !strcasestr(head.c_str(), "chunked");
            want = cl ? atoll(cl + 16) : LLONG_MAX;
            body = (long long)(head.size() - end - skip);
        } else {
            body += n;
        }
        if (want >= 0 && body >= want) break;
    }
    return body;
}

int main(int argc, char **argv)
{
    bool cookies = false, http10 = false;
    int clients = 1, i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (!strcmp(argv[i], "-c")) cookies = true;
        else if (!strcmp(argv[i], "-0")) http10 = true;
        else if (!strcmp(argv[i], "-n") && i + 1 < argc) clients = atoi(argv[++i]);
    }
    if (argc - i != 2 || clients < 1 || clients > 200) {
        fprintf(stderr, "usage: velmora-fetch [-c] [-0] -n CLIENTS PORT TARGET\n");
        return 2;
    }
    int port = atoi(argv[i]);
    std::string target = argv[i + 1];

    std::atomic<long long> total{0};
    std::atomic<int> failed{0}, ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; c++) {
        threads.emplace_back([&, c] {
            Channel ch;
            ch.port = port;
            ch.source = "127.0.1." + std::to_string(10 + c);
            if (cookies && ch.start() < 0) {
                failed++;
                ready++;
                return;
            }
            if (!ch.ensure_connected()) {
                failed++;
                ready++;
                return;
            }
            std::string req = "GET " + target + (http10 ? " HTTP/1.0" : " HTTP/1.1") +
                              "\r\nHost: 127.0.0.1\r\nUser-Agent: bench\r\n";
            if (cookies) req += "Cookie: " + Channel::cookie(ch.local_address(), ch.sequence + 1) + "\r\n";
            req += "\r\n";
            ready++;
            while (!go) std::this_thread::yield();
            long long got = fetch_once(ch.sock, req);
            if (got < 0) failed++;
            else total += got;
        });
    }
    while (ready < clients) usleep(1000);
    auto t0 = std::chrono::steady_clock::now();
    go = true;
    for (auto &t : threads) t.join();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    printf("%lld %.3f %.1f\n", total.load(), secs, total.load() / secs / 1e6);
    return failed ? 1 : 0;
}
