/* The platform layer's file send, on Linux and under Wine alike. */
#include "pal/pal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

static const uint32_t LOOPBACK = 0x7F000001;

/* Receives exactly n bytes from s (fewer when the connection ends). */
static std::string recv_exactly(pal_socket s, size_t n)
{
    std::string got;
    char b[65536];
    while (got.size() < n) {
        int r = pal_recv(s, b, (int)std::min(sizeof b, n - got.size()));
        if (r <= 0) break;
        got.append(b, (size_t)r);
    }
    return got;
}

/* File bodies go from the file to the socket: from an offset, cut short at
** the file's end, and given up on when the peer takes nothing. */
TEST(SocketFiles, SendsFromOffsetStopsAtEndAndGivesUpOnStall)
{
    ASSERT_EQ(pal_wsa_startup(), 0);
    int port = 0;
    pal_socket ls = pal_socket_open(PAL_AF_INET, PAL_SOCK_STREAM, 0);
    ASSERT_EQ(pal_bind(ls, LOOPBACK, 0), 0);
    ASSERT_EQ(pal_listen(ls, 1), 0);
    ASSERT_EQ(pal_getsockname(ls, nullptr, &port), 0);
    pal_socket c = pal_socket_open(PAL_AF_INET, PAL_SOCK_STREAM, 0);
    ASSERT_EQ(pal_connect(c, LOOPBACK, port), 0);
    pal_socket a = pal_accept(ls, nullptr, nullptr);
    ASSERT_NE(a, PAL_INVALID_SOCKET);

    std::string content(300000, 0);
    for (size_t i = 0; i < content.size(); i++) content[i] = (char)(i * 7 + i / 251);
    FILE *f = tmpfile();
    ASSERT_TRUE(f);
    ASSERT_EQ(fwrite(content.data(), 1, content.size(), f), content.size());
    fflush(f);
    int waits = 0;
    auto never = [](void *ctx, int waited) { *(int *)ctx = waited; return 0; };

    EXPECT_EQ(pal_send_file(a, f, 1000, 150000, 1000, never, &waits), 150000);
    EXPECT_EQ(recv_exactly(c, 150000), content.substr(1000, 150000));
    /* A range past the end: only what the file holds goes. */
    EXPECT_EQ(pal_send_file(a, f, 299900, 1000, 1000, never, &waits), 100);
    EXPECT_EQ(pal_send_file(a, f, 300000, 1000, 1000, never, &waits), 0);
    EXPECT_EQ(recv_exactly(c, 100), content.substr(299900));
    EXPECT_EQ(waits, 0);

    /* The peer reads nothing: once the connection's buffers are full the
    ** send waits, asks, and gives up. */
    fseek(f, 64 << 20, SEEK_SET);
    fputc('x', f);
    fflush(f);
    EXPECT_EQ(pal_send_file(a, f, 0, (64 << 20) + 1, 50, never, &waits), -1);
    EXPECT_EQ(waits, 1);
    fclose(f);
    pal_closesocket(a);
    pal_closesocket(c);
    pal_closesocket(ls);
}
