/* Sockets: errors, the host's addresses, the outbound GET and version check,
** and the listening socket's port and address fallbacks (loopback only). */
#include "global.h"
#include "helpers.h"
#include "http/server.h"
#include "http/socket.h"
#include "http/winerr.h"
#include "subs/text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::string_literals;

static const uint32_t LOOPBACK = 0x7F000001;

/* A listening socket on 127.0.0.1 at a port of the system's choosing. */
static pal_socket listener(int *port)
{
    pal_socket s = pal_socket_open(PAL_AF_INET, PAL_SOCK_STREAM, 0);
    EXPECT_NE(s, PAL_INVALID_SOCKET);
    EXPECT_EQ(pal_bind(s, LOOPBACK, 0), 0);
    EXPECT_EQ(pal_listen(s, 5), 0);
    EXPECT_EQ(pal_getsockname(s, nullptr, port), 0);
    return s;
}

/* A socket listening at addr:port, so that nobody else can have it. */
static pal_socket held_port(uint32_t addr, int port)
{
    pal_socket s = pal_socket_open(PAL_AF_INET, PAL_SOCK_STREAM, 0);
    if (pal_bind(s, addr, port) == 0 && pal_listen(s, 5) == 0) return s;
    pal_closesocket(s);
    return PAL_INVALID_SOCKET;
}

/* A loopback port that nothing listens on (just released). */
static int closed_port(void)
{
    int port = 0;
    pal_socket s = listener(&port);
    pal_closesocket(s);
    return port;
}

/*
** One-shot HTTP server on 127.0.0.1: accepts one connection, reads the
** request up to its closing blank lines, then sends `answer` and closes, or
** (silent) says nothing and waits for the client to hang up.
*/
struct FakeHttp {
    pal_socket ls;
    int port = 0;
    std::string answer, request;
    bool silent;
    std::thread th;

    explicit FakeHttp(std::string ans, bool quiet = false) : answer(std::move(ans)), silent(quiet)
    {
        ls = listener(&port);
        th = std::thread([this] { serve(); });
    }
    ~FakeHttp()
    {
        if (th.joinable()) th.join();
        pal_closesocket(ls);
    }
    void serve()
    {
        if (pal_wait_readable(ls, 15, 0) <= 0) return;
        pal_socket c = pal_accept(ls, nullptr, nullptr);
        if (c == PAL_INVALID_SOCKET) return;
        char b[4096];
        while (request.find("\r\n\r\n\r\n") == std::string::npos && pal_wait_readable(c, 15, 0) > 0) {
            int n = pal_recv(c, b, sizeof b);
            if (n <= 0) break;
            request.append(b, (size_t)n);
        }
        if (silent)
            while (pal_wait_readable(c, 15, 0) > 0 && pal_recv(c, b, sizeof b) > 0) {}
        else
            pal_send(c, answer.data(), (int)answer.size());
        pal_closesocket(c);
    }
    /* The request as the server saw it, once the exchange is over. */
    std::string seen()
    {
        th.join();
        return request;
    }
    std::string base() const { return "127.0.0.1:" + std::to_string(port); }
};

TEST(SocketErrors, ResetRefusedInUseWouldBlock)
{
    int port = 0;
    pal_socket ls = listener(&port);
    pal_socket c = pal_socket_open(PAL_AF_INET, PAL_SOCK_STREAM, 0);
    ASSERT_EQ(pal_connect(c, LOOPBACK, port), 0);
    uint32_t peer = 0;
    pal_socket a = pal_accept(ls, &peer, nullptr);
    ASSERT_NE(a, PAL_INVALID_SOCKET);
    EXPECT_EQ(peer, LOOPBACK);

    /* Nothing to read yet: a zero wait times out, a non-blocking recv would
    ** block. */
    char b[16];
    EXPECT_EQ(pal_wait_readable(c, 0, 0), 0);
    ASSERT_EQ(pal_set_nonblocking(c, 1), 0);
    EXPECT_EQ(pal_recv(c, b, sizeof b), -1);
    EXPECT_EQ(pal_socket_error(), PAL_WSAEWOULDBLOCK);
    ASSERT_EQ(pal_set_nonblocking(c, 0), 0);

    /* The peer hangs up hard. */
    int reset = 0;           /* no lingering: the close resets the connection */
    ASSERT_EQ(pal_setsockopt(a, PAL_SOL_SOCKET, PAL_SO_LINGER, &reset, sizeof reset), 0);
    pal_closesocket(a);
    EXPECT_GT(pal_wait_readable(c, 5, 0), 0);
    EXPECT_EQ(pal_recv(c, b, sizeof b), -1);
    EXPECT_EQ(pal_socket_error(), PAL_WSAECONNRESET);
    /* A send to the gone peer fails with the same number and raises no
    ** SIGPIPE (which would end this test program). */
    EXPECT_EQ(pal_send(c, "x", 1), -1);
    EXPECT_EQ(pal_socket_error(), PAL_WSAECONNRESET);
    pal_closesocket(c);

    /* A second bind to a port in use. */
    pal_socket d = pal_socket_open(PAL_AF_INET, PAL_SOCK_STREAM, 0);
    EXPECT_EQ(pal_bind(d, LOOPBACK, port), -1);
    EXPECT_EQ(pal_socket_error(), 10048);
    pal_closesocket(d);
    pal_closesocket(ls);

    /* Nobody listening: getasocket gives 0 and the error says refused. */
    EXPECT_EQ(getasocket(LOOPBACK, closed_port(), 0), 0);
    EXPECT_EQ(pal_socket_error(), 10061);

    /* A listener whose queue is full drops new connections, as an unplugged
    ** host would: getasocket gives up on its own rather than after minutes. */
    int full_port = 0;
    pal_socket full = listener(&full_port);
    std::vector<pal_socket> queued(8);
    for (pal_socket &q : queued)
        q = pal_socket_open(PAL_AF_INET, PAL_SOCK_STREAM, 0), pal_set_nonblocking(q, 1), pal_connect(q, LOOPBACK, full_port);
    auto got = std::make_shared<std::atomic<int>>(-1);
    std::thread([got, full_port] { *got = getasocket(LOOPBACK, full_port, 0); }).detach();
    EXPECT_TRUE(eventually([&] { return *got >= 0; }, 30));
    EXPECT_EQ(*got, 0);
    for (pal_socket q : queued) pal_closesocket(q);
    pal_closesocket(full);

    /* Errors are per thread. */
    int other = -2;
    std::thread([&] { other = pal_socket_error(); }).join();
    EXPECT_EQ(other, 0);
}

/* The host's own name and addresses as Get_IP_Adrs lists them (through the
** platform's lookup): loopback ones last, so the first is one a player reaches. */
TEST(HostAddresses, OwnNameListsLoopbackLast)
{
    ASSERT_EQ(Get_IP_Adrs(), 0);
    EXPECT_NE(My_Host[0], 0);
    ASSERT_GE(IP_cnt, 1);
    auto lo = [](int i) { return strncmp(IP_Adrs[i], "127.", 4) == 0; };
    EXPECT_TRUE(lo(IP_cnt - 1)) << IP_Adrs[IP_cnt - 1];
    for (int i = 1; i < IP_cnt; i++) EXPECT_FALSE(lo(i - 1) && !lo(i)) << i;
}

class OutboundHttp : public ::testing::Test {
protected:
    void SetUp() override
    {
        scopy(Version, sizeof Version, "2.0.14.0");
        scopy(IP_Adrs[0], IP_TXT, "127.0.0.1");
        IP_Select = 0;
        My_Port = 8123;
    }
    void TearDown() override { Version_Host[0] = 0; }

    int check(const std::string &body, std::string *request = nullptr, bool silent = false)
    {
        FakeHttp srv("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body, silent);
        scopy(Version_Host, sizeof Version_Host, srv.base().c_str());
        int r = Check_Version();
        std::string seen = srv.seen();
        if (request) *request = seen;
        return r;
    }
};

/* The request line carries our version (a URL without a path asks for
** /Unknown); the answer is kept whole up to max - 1 bytes, and the buffer is
** exactly max bytes, so an overrun shows under AddressSanitizer. */
TEST_F(OutboundHttp, GetSendsVersionAndKeepsTheAnswerUpToMax)
{
    const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    struct { const char *scheme, *path; std::string answer; size_t max; int ret; } cases[] = {
        {"http://", "/dir/a.txt", ok, 3000, (int)ok.size()},
        {"", "", ok, 3000, (int)ok.size()},
        {"", "/big", std::string(2500, 'x'), 200, 199},
    };
    for (auto &c : cases) {
        FakeHttp srv(c.answer);
        std::vector<char> buf(c.max);
        std::string url = c.scheme + srv.base() + c.path;
        EXPECT_EQ(Get_A_File(url.c_str(), buf.data(), (int)c.max), c.ret) << url;
        EXPECT_EQ(std::string(buf.data()), c.answer.substr(0, c.max - 1)) << url;
        EXPECT_EQ(srv.seen(), "GET "s + (*c.path ? c.path : "/Unknown") + " 2.0.14.0\r\nHost: " + srv.base() +
                                  "\r\nUser-Agent: Velmora\r\n\r\n\r\n");
    }
}

TEST_F(OutboundHttp, UnreachableOrMalformedHostGivesZero)
{
    char buf[3000];
    std::string url = "127.0.0.1:" + std::to_string(closed_port()) + "/x";
    EXPECT_EQ(Get_A_File(url.c_str(), buf, sizeof buf), 0);
    EXPECT_EQ(Get_A_File("127.0.0.1:99999/x", buf, sizeof buf), 0);
    EXPECT_EQ(Get_A_File("127.0.0.1:/x", buf, sizeof buf), 0);
}

/* Only a newer major.minor at the very end of the answer is announced; the
** request tells the server the address and port we listen on. */
TEST_F(OutboundHttp, VersionCheckWeighsMajorAndMinorAtTheEnd)
{
    std::string req;
    EXPECT_EQ(check("Version 2.1\r\n", &req), 1);
    EXPECT_EQ(req.rfind("GET /version.cgi?127.0.0.1:8123 2.0.14.0\r\n", 0), 0u) << req;
    for (const char *body : {"Version 2.0.15.0" /* reads as 2.0 */, "Version 1.9", "no announcement",
                             "Version 9.1 -- and then more than twenty characters", "Version garbage"})
        EXPECT_EQ(check(body), 0) << body;
}

TEST_F(OutboundHttp, SilentOrUnsetServerChangesNothing)
{
    EXPECT_EQ(check("", nullptr, true), 0);            /* costs the 5-second wait */
    Version_Host[0] = 0;                                /* off: no traffic at all */
    EXPECT_EQ(Check_Version(), 0);
}

/* The listener, each case on a loopback network of its own. */
namespace {

int count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
    return n;
}

struct Listener : ::testing::Test {
    std::vector<pal_socket> held;
    std::string dir;
    void SetUp() override
    {
        dir = trace_to_temp();
        IP_cnt = 1;
        IP_Select = 0;
    }
    void TearDown() override
    {
        for (pal_socket s : held) pal_closesocket(s);
        if (My_Socket) pal_closesocket(My_Socket);
        My_Socket = 0;
        My_Port = 0;
        trace_off();
    }
};

}  // namespace

TEST_F(Listener, NoPortConfiguredTriesTwelveThousandTwice)
{
    scopy(IP_Adrs[0], IP_TXT, "127.83.17.1");
    My_Port = 0;
    held.push_back(held_port(0x7F531101, 12000));
    ASSERT_GE(held.back(), 0);
    pal_socket s = getmysocket();
    ASSERT_GT(s, 0);
    EXPECT_EQ(My_Port.load(), 12001);
    EXPECT_STREQ(IP_Adrs[0], "127.83.17.1");
    std::string t = read_file(dir + "/trace.txt");
    EXPECT_EQ(count(t, "Unable to acquire network port 127.83.17.1:12000 - "), 2);
    /* A second call hands back the socket already bound. */
    EXPECT_EQ(getmysocket(), s);
}

TEST_F(Listener, UnusableAddressFallsThroughToAnotherHostOfItsNetwork)
{
    scopy(IP_Adrs[0], IP_TXT, "127.83.18.1");
    My_Port = 8765;
    held.push_back(held_port(0x7F531201, 8765));
    for (int port = 12000; port < 12099; port++) held.push_back(held_port(0x7F531201, port));
    pal_socket s = getmysocket();
    ASSERT_GT(s, 0);
    /* The first pass keeps the last octet; the second starts at 0. */
    EXPECT_STREQ(IP_Adrs[0], "127.83.18.0");
    EXPECT_EQ(My_Port.load(), 8765);
    EXPECT_EQ(std::make_pair(ip[0], ip[3]), std::make_pair((unsigned char)127, (unsigned char)0));
    uint32_t addr;
    int port;
    ASSERT_EQ(pal_getsockname(s, &addr, &port), 0);
    EXPECT_EQ(std::make_pair(addr, port), std::make_pair(0x7F531200u, 8765));
}
