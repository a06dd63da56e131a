/* The program end to end: serves on loopback, ends on SIGTERM, reports a fault signal. */
#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

#include "helpers.h"

namespace {

/* A HOME whose configuration selects a loopback address of its own. */
std::string loopback_home(const std::string &addr)
{
    return home_with_config("[Velmora]\r\nIPadrs=" + addr + "\r\nPort=0\r\n");
}

}  // namespace

TEST(Program, ServesOnLoopbackAndClosesOnSigterm)
{
    Program v;
    std::string home = loopback_home("127.0.0.1");
    write_file(home + "/My Roku/options.txt", "t\n");
    v.start({"-s"}, home);
    int port = v.wait_port("127.0.0.1");
    ASSERT_GE(port, 12000) << v.output();
    EXPECT_NE(v.output().find("Options = t\n"), std::string::npos);
    EXPECT_NE(v.output().find("Path = " + v.home + "/My Roku\n"), std::string::npos);

    for (int i = 0; i < 3; i++) {
        int s = connect_loopback("127.0.0.1", port);
        ASSERT_GE(s, 0);
        close(s);
    }
    EXPECT_TRUE(v.wait_trace("New connection"));

    EXPECT_EQ(v.stop(SIGTERM), 0);
    std::string t = v.trace();
    EXPECT_NE(t.find("Options = ST\n"), std::string::npos);
    EXPECT_NE(t.find("Http listening on 127.0.0.1  Port " + std::to_string(port)), std::string::npos);
    EXPECT_NE(t.find("dialog wm_close"), std::string::npos);
    EXPECT_NE(t.find("dialog wm_destroy"), std::string::npos);
    EXPECT_EQ(read_file(v.roku + "/missing.htm"),
              "<TITLE>404 Not Found</TITLE><H3>Not Found</H3>The requested object does not exist "
              "on this server. The link you followed is either outdated, inaccurate, or "
              "the server has been instructed not to let you have it.");
    /* The close path saved the configuration with the port really bound. */
    std::string ini = read_file(v.roku + "/Velmora.ini");
    EXPECT_NE(ini.find("Port=" + std::to_string(port) + "\r\n"), std::string::npos) << ini;
}

TEST(Program, FaultSignalWritesTheWalkback)
{
    Program v;
    v.start({"-s"}, loopback_home("127.0.0.2"));
    ASSERT_TRUE(v.wait_output("Server - 127.0.0.2:")) << v.output();
    EXPECT_EQ(v.stop(SIGSEGV), 1);
    std::string t = v.trace();
    EXPECT_NE(t.find(" \n*\nSignal "), std::string::npos) << t;
    EXPECT_NE(t.find(" - Segmentation violation\n"), std::string::npos);
    EXPECT_NE(t.find("Walkback "), std::string::npos);
    EXPECT_NE(t.find("Alert 1 Signal Error - Segmentation violation"), std::string::npos);
    EXPECT_NE(read_file(v.home + "/stderr.txt").find("Signal Error: Segmentation violation"), std::string::npos);
}

TEST(Program, StartsInTheTrayWithTheServerRunning)
{
    Program v;
    v.start({"-m", "-st"}, loopback_home("127.0.0.3"));
    ASSERT_TRUE(v.wait_output("Server - 127.0.0.3:")) << v.output();
    ASSERT_TRUE(v.wait_trace("Minimize"));
    std::string t = v.trace();
    EXPECT_NE(t.find("Startup option S"), std::string::npos);
    EXPECT_NE(t.find("Startup option M"), std::string::npos);
    EXPECT_NE(t.find("Arg 1 - -m\n"), std::string::npos);
    EXPECT_NE(t.find("Arg 2 - -st\n"), std::string::npos);
    EXPECT_EQ(v.stop(SIGINT), 0);
}
