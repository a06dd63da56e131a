/* Start-up (option letters, the argument list), and the program end to end:
** serves on loopback, ends on SIGTERM, reports a fault signal. */
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include "global.h"
#include "helpers.h"
#include "main.h"
#include "subs/text.h"

namespace {

/* A HOME whose configuration selects a loopback address of its own. */
std::string loopback_home(const std::string &addr)
{
    return home_with_config("[Velmora]\r\nIPadrs=" + addr + "\r\nPort=0\r\n");
}

}  // namespace

/* Mode bits of path, -1 when it is not there. */
static int mode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) ? -1 : (int)(st.st_mode & 0777);
}

/* Serves on loopback and ends on SIGTERM; under umask 022 what it writes
** is its account's alone, and as root it says why that is unwise. */
TEST(Program, ServesOnLoopbackAndClosesOnSigterm)
{
    Program v;
    std::string home = loopback_home("127.0.0.1");
    write_file(home + "/My Roku/options.txt", "at\n");
    mode_t was = umask(022);
    v.start({"-s"}, home);
    umask(was);
    int port = v.wait_port("127.0.0.1");
    ASSERT_GE(port, 12000) << v.output();
    EXPECT_NE(v.output().find("Options = at\n"), std::string::npos);
    bool root = geteuid() == 0;
    EXPECT_EQ(v.output().find("Running as root: ") != std::string::npos, root) << v.output();
    EXPECT_NE(v.output().find("Path = " + v.home + "/My Roku\n"), std::string::npos);
    /* What it serves is the Http tests'. */
    EXPECT_EQ(v.stop(SIGTERM), 0);
    EXPECT_NE(v.trace().find("Options = AST\n"), std::string::npos);
    EXPECT_EQ(v.trace().find("Running as root: ") != std::string::npos, root);
    EXPECT_EQ(mode_of(v.roku), root ? 0711 : 0700);
    for (const char *file : {"Velmora.ini", "trace.txt", "access.txt"}) EXPECT_EQ(mode_of(v.roku + "/" + file), 0600) << file;
    EXPECT_EQ(read_file(v.roku + "/missing.htm"),
              "<TITLE>404 Not Found</TITLE><H3>Not Found</H3>The requested object does not exist "
              "on this server. The link you followed is either outdated, inaccurate, or "
              "the server has been instructed not to let you have it.");
    /* The close path saved the configuration with the port really bound. */
    std::string ini = read_file(v.roku + "/Velmora.ini");
    EXPECT_NE(ini.find("Port=" + std::to_string(port) + "\r\n"), std::string::npos) << ini;
}

/* The headless front end's commands drive the server control: Stop while
** stopped is refused, Start serves, Stop closes the port, Start serves
** again; SIGTERM then ends it through the dialog's close with code 0. */
TEST(Program, HeadlessCommandsStartAndStopAndSigtermEnds)
{
    Program v;
    setenv("VELMORA_IDLE_SECONDS", "3", 1);   /* the accept loop looks at Stop each second */
    v.start({"-t"}, loopback_home("127.0.0.4"));
    unsetenv("VELMORA_IDLE_SECONDS");
    v.press("Stop");
    EXPECT_TRUE(eventually([&] { return read_file(v.home + "/stderr.txt").find("No button \"Stop\"") != std::string::npos; }));
    auto listening = [&](int n) {
        const std::string key = "Http listening on 127.0.0.4  Port ";
        std::string t = v.trace();
        size_t at = std::string::npos;
        for (size_t p = t.find(key); p != std::string::npos; p = t.find(key, p + 1), n--) at = p;
        return n == 0 ? atoi(t.c_str() + at + key.size()) : 0;
    };
    auto answers = [](int port) {
        int s = connect_loopback("127.0.0.4", port);
        if (s >= 0) close(s);
        return s >= 0;
    };
    for (int round = 1; round <= 2; round++) {
        v.press("Start");
        int port = 0;
        ASSERT_TRUE(eventually([&] { return (port = listening(round)) > 0; })) << v.trace();
        EXPECT_TRUE(answers(port));
        v.press("Stop");
        EXPECT_TRUE(eventually([&] { return !answers(port); })) << round;
    }
    EXPECT_EQ(v.stop(SIGTERM), 0);
    /* Through the dialog's close; a connection's thread may still write its
    ** last trace line after that. */
    std::string t = v.trace();
    size_t closed = t.find(" dialog wm_close\n");
    EXPECT_NE(closed, std::string::npos) << t;
    EXPECT_NE(t.find(" dialog wm_destroy\n", closed), std::string::npos) << t;
}

TEST(Program, FaultSignalWritesTheWalkback)
{
    Program v;
    v.start({"-s"}, loopback_home("127.0.0.2"));
    ASSERT_GT(v.wait_port("127.0.0.2"), 0) << v.output();
    EXPECT_EQ(v.stop(SIGSEGV), 1);
    std::string t = v.trace();   /* the report's layout is ThreadTable.StackOverflowOfAWorkerIsReported's */
    EXPECT_NE(t.find(" - Segmentation violation\n"), std::string::npos) << t;
    EXPECT_NE(t.find("Walkback "), std::string::npos);
    EXPECT_NE(read_file(v.home + "/stderr.txt").find("Signal Error: Segmentation violation"), std::string::npos);
}

/* Which letters the arguments give is Startup.OptionLetters'. */
TEST(Program, StartsInTheTrayWithTheServerRunning)
{
    Program v;
    v.start({"-m", "-st"}, loopback_home("127.0.0.3"));
    ASSERT_GT(v.wait_port("127.0.0.3"), 0) << v.output();
    EXPECT_TRUE(v.wait_trace("Minimize"));
    EXPECT_EQ(v.stop(SIGINT), 0);
}

static std::string letters(const char *text, int dash_only)
{
    options = 0;
    Set_Options(text, dash_only);
    char out[32];
    Option_Text(out, sizeof out);
    return out;
}

/* Letters on the command line need a "-"; in options.txt every letter
** counts; other characters have no bit and Z is never listed. */
TEST(Startup, OptionLetters)
{
    for (auto [text, dash_only, want] : {std::tuple{"-ST", 1, "ST"}, {"-s -t", 1, "ST"}, {"st -m", 1, "M"},
                                         {"st -m", 0, "MST"}, {"-a1b?c", 1, "ABC"}, {"-z", 1, ""}})
        EXPECT_EQ(letters(text, dash_only), want) << text;
    options = 0;
}

TEST(Startup, ArgumentListSplitsAtSingleBlanks)
{
    ASSERT_EQ(Split_Args("  -s  -t"), 4);
    EXPECT_EQ(std::vector<std::string>(Args, Args + 4), (std::vector<std::string>{"Velmora", "-s", "", "-t"}));
    EXPECT_EQ(Split_Args(""), 1);
    std::string many;
    for (int i = 0; i < 30; i++) many += "w ";
    EXPECT_EQ(Split_Args(many.c_str()), MAX_ARGS);
}

