/* The listening socket's port and address fallbacks, each on a loopback network of its own. */
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "global.h"
#include "helpers.h"
#include "http/server.h"
#include "subs/text.h"

namespace {

int count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
    return n;
}

struct Listener : ::testing::Test {
    std::vector<int> held;
    std::string dir;
    void SetUp() override
    {
        dir = trace_to_temp();
        IP_cnt = 1;
        IP_Select = 0;
    }
    void TearDown() override
    {
        for (int s : held) close(s);
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
    held.push_back(bound_socket(SOCK_STREAM, "127.83.17.1", 12000));
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
    held.push_back(bound_socket(SOCK_STREAM, "127.83.18.1", 8765));
    for (int port = 12000; port < 12099; port++) held.push_back(bound_socket(SOCK_STREAM, "127.83.18.1", port));
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
