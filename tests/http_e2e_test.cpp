/*
** The server on the wire, as the Roku channel sees it: the real program on a
** loopback address, spoken to through the channel stand-in.  What is checked
** here is the bytes the channel depends on.
*/
#include <gtest/gtest.h>

#include <unistd.h>

#include "helpers.h"
#include "roku_channel.h"

#include <filesystem>
#include <regex>

using namespace std::string_literals;

namespace {

std::string kilo_bytes(void)
{
    std::string s;
    for (int i = 0; i < 1000; i++) s += (char)('a' + i % 26);
    return s;
}

/* One server for the whole suite: a home with a Movies link holding a few
** files, the access log on. */
struct Served {
    Program v;
    int port = 0;
    std::string movies;

    Served()
    {
        movies = temp_folder() + "/Media/Movies";
        for (const char *sub : {"/Live Shows", "/Info"}) std::filesystem::create_directories(movies + sub);
        write_file(movies + "/a.mp3", kilo_bytes());
        write_file(movies + "/My Film.mp4", kilo_bytes() + kilo_bytes());
        write_file(movies + "/notes", "no dot");
        write_file(movies + "/Live Shows/x.mp3", "x");
        /* An alias naming a real MP3, which has a picture. */
        write_file(movies + "/Info/v23_mpeg1.mp3", read_file(VELMORA_SOURCE_DIR "/tests/data/mp3/v23_mpeg1.mp3"));
        write_file(movies + "/Info/v23_mpeg1.jpg", "picture");
        write_file(movies + "/Song.mp3x", movies + "/Info/v23_mpeg1.mp3\r\n");
        v.start({"-s"}, home_with_config("[Velmora]\r\nIPadrs=127.0.0.1\r\nPort=0\r\nAudit=1\r\n[Links]\r\nMovies=" +
                                         movies + "\r\n"));
        port = v.wait_port("127.0.0.1");
    }
    std::string access_log(void) { return read_file(v.roku + "/access.txt"); }
};

Served *server;

class Http : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = new Served; }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }
    void SetUp() override
    {
        ASSERT_GT(server->port, 0) << server->v.output();
        ch.port = server->port;
    }
    Channel ch;

    Channel_Answer get(const std::string &target, const std::string &extra = "", const char *method = "GET")
    {
        Channel_Answer a;
        EXPECT_TRUE(ch.request(method, target, a, extra)) << target;
        return a;
    }
};

std::string header(const Channel_Answer &a, const std::string &name)
{
    size_t p = a.head.find("\n" + name + ": ");
    if (p == std::string::npos) return "<none>";
    p += name.size() + 3;
    return a.head.substr(p, a.head.find('\n', p) - p);
}

/* The head without its Date line, which moves with the clock. */
std::string dateless(const std::string &head) { return std::regex_replace(head, std::regex("\nDate: [^\n]*"), ""); }

}  // namespace

TEST_F(Http, SequenceStartIsABareRedirectWithoutLogLine)
{
    size_t log_before = server->access_log().size();
    Channel_Answer a;
    ASSERT_TRUE(ch.raw("GET / HTTP/1.1\r\n\r\n", a));
    ASSERT_EQ(a.head.compare(0, 39, "HTTP/ 301 Moved Permanently\nLocation: ?"), 0) << a.head;
    size_t nl = a.head.find('\n', 39);
    EXPECT_EQ(a.head.substr(nl), "\n\n");
    EXPECT_EQ(a.body, "\n\n");
    EXPECT_TRUE(a.closed);
    EXPECT_EQ(server->access_log().size(), log_before);
}

/* The pages themselves (and Roku_Config.txt) are the RokuTree tests'; here
** their heads, and that they come from this server's links. */
TEST_F(Http, RootAndRokuListings)
{
    Channel_Answer a = get("/");
    EXPECT_EQ(a.head.compare(0, 32, "HTTP/1.1 200 Document follows\nDa"), 0) << a.head;
    EXPECT_EQ(header(a, "Content-length"), std::to_string(a.body.size()));
    EXPECT_NE(a.head.find("\nServer: Velmora 2.0.14.0\nContent-type: text/plain\n"), std::string::npos);
    EXPECT_NE(a.head.find("\nConnection: Keep-Alive\nKeep-Alive: max=5, timeout=5\n\n"), std::string::npos);
    a = get("/Roku/");
    EXPECT_NE(a.body.find("<a href=\"Movies/\">Movies/</a><br>\n"), std::string::npos) << a.body;

    /* A HEAD gets the same head, and no page. */
    Channel_Answer h = get("/Roku/", "", "HEAD");
    EXPECT_EQ(dateless(h.head), dateless(a.head));
    EXPECT_EQ(h.body, "");
}

TEST_F(Http, FolderListingAndFilesWithRanges)
{
    /* The listing's entries are RokuTree.ListingPageParentLinksAndRefusals'; the range rules the Safety tests'. */
    Channel_Answer a = get("/Roku/Movies/");
    ASSERT_EQ(a.status, 200) << a.head;
    EXPECT_EQ(header(a, "Content-type"), "text/html");
    EXPECT_NE(a.body.find("<A HREF=\"My%20Film.mp4\">My Film.mp4</A>"), std::string::npos) << a.body;
    a = get("/Roku/Movies/a.mp3", "Range: bytes=500-\r\n");
    EXPECT_EQ(a.head.compare(0, 17, "HTTP/1.1 206 OK\nC"), 0) << a.head;
    EXPECT_EQ(header(a, "Content-type") + "|" + header(a, "Content-length") + "|" + header(a, "Content-range") + "|" +
                  header(a, "Connection"), "audio/mpeg|500|bytes 500-999/1000|Close");
    EXPECT_EQ(a.body, kilo_bytes().substr(500));
    EXPECT_NE(header(a, "Last-Modified"), "<none>");

    /* Still the same connection: "Connection: Close" in the answer is only
    ** a word; a client's "Close" is not "close". */
    a = get("/Roku/Movies/notes", "Connection: Close\r\n");
    EXPECT_EQ(header(a, "Content-type"), "text/plain");
    EXPECT_EQ(a.body, "no dot");
    EXPECT_FALSE(a.closed);
    a = get("/Roku/Movies/notes", "Connection: close\r\n");
    EXPECT_EQ(a.body, "no dot");
    Channel_Answer gone;
    EXPECT_FALSE(ch.raw("", gone) && !gone.head.empty());
}

/* How the Recent folder and /Roku/ show the list is RokuTree.RecentFolderAndConfig's. */
TEST_F(Http, VideosEnterTheRecentList)
{
    Channel_Answer a = get("/Roku/Movies/My%20Film.mp4");
    ASSERT_EQ(a.status, 200);
    EXPECT_EQ(header(a, "Content-type"), "video/mp4");
    EXPECT_EQ(a.body.size(), 2000u);
    EXPECT_EQ(get("/Roku/Recent/0.mp4x").body, server->movies + "/My Film.mp4\n");
}

/* An alias's info text describes the file it names (the reader's lines
** included) and links it, and its picture, through the media link that
** holds it.  Which reader runs for which type is the info tests' concern. */
TEST_F(Http, InfoTextOfAnAliasLinksTheRealFile)
{
    std::string alias = server->movies + "/Song.mp3x";
    Channel_Answer a = get("/" + alias.substr(1) + "?info");
    ASSERT_EQ(a.status, 200);
    std::string url = "http://127.0.0.1:" + std::to_string(server->port) + "/Roku/Movies/Info/v23_mpeg1";
    EXPECT_EQ(a.body.find("location:" + server->movies + "/Info/v23_mpeg1.mp3\n"), 0u) << a.body;
    EXPECT_NE(a.body.find("\ntitle:Song\nartist:Artist\n"), std::string::npos) << a.body;
    EXPECT_NE(a.body.find("\npath:" + url + ".mp3\nfile:v23_mpeg1.mp3\nicon:" + url + ".jpg\n"), std::string::npos);
}

TEST_F(Http, MissingThingsAndWildcardSearches)
{
    Channel_Answer a = get("/Roku/Movies/nothing/");
    EXPECT_EQ(a.status, 404);
    EXPECT_EQ(header(a, "Content-type"), "text/html");
    EXPECT_EQ(header(a, "Last-Modified"), "<none>");
    EXPECT_EQ(a.body.compare(0, 28, "<TITLE>404 Not Found</TITLE>"), 0);

    a = get("/Roku/Movies/*.MP3");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, server->movies + "/a.mp3\n");
    a = get("/Roku/Movies/*.MP3&c");
    EXPECT_EQ(a.status, 404);
    a = get("/Roku/Movies/Live*&s");
    EXPECT_EQ(a.body, server->movies + "/Live Shows\n");   /* a match is not searched into */

    /* A file that is not there is answered with the same page. */
    a = get("/no/such/file.mp3");
    EXPECT_EQ(a.head.compare(0, 16, "HTTP/1.1 404 OK\n"), 0) << a.head;
    EXPECT_EQ(a.body.compare(0, 28, "<TITLE>404 Not Found</TITLE>"), 0);
}

TEST_F(Http, MethodsAndRefusals)
{
    Channel_Answer a;
    ASSERT_GE(ch.start(), 0);
    std::string c = Channel::cookie(0x7F000001, ++ch.sequence);
    ASSERT_TRUE(ch.raw("GET\t/ HTTP/1.1\r\nCookie: " + c + "\r\n\r\n", a));
    EXPECT_EQ(a.head, "400 Bad Request\n\n");
    EXPECT_TRUE(a.closed);

    c = Channel::cookie(0x7F000001, ++ch.sequence);
    ASSERT_TRUE(!ch.raw("POST / HTTP/1.1\r\nCookie: " + c + "\r\n\r\n", a) || a.head.empty());

    /* A cookie one digit short: no answer at all, the connection closes after
    ** the pause, and the refusal is logged although nobody asked for it. */
    c = Channel::cookie(0x7F000001, ++ch.sequence).substr(1);
    EXPECT_FALSE(ch.raw("GET /Roku/ HTTP/1.1\r\nCookie: " + c + "\r\n\r\n", a) && !a.head.empty());
    EXPECT_TRUE(server->v.wait_output("Warning 1 Intruder Attempt Detected !"));
    std::string log = server->access_log();
    EXPECT_NE(log.find("\"GET /Roku/ HTTP/1.1\" 403 0 \"-\" \"-\"\n"), std::string::npos) << log;

    /* A cookie that claims another address is refused too. */
    ch.close_connection();
    c = Channel::cookie(0x0A000001, ++ch.sequence);
    EXPECT_FALSE(ch.raw("GET / HTTP/1.1\r\nCookie: " + c + "\r\n\r\n", a) && !a.head.empty());
    EXPECT_TRUE(server->v.wait_output("Warning 2 Intruder Attempts Detected !"));
}

TEST_F(Http, AccessLogLineNamesAgentAndReferer)
{
    ASSERT_EQ(get("/Roku/Movies/a.mp3", "Referer: http://roku/\r\n").status, 200);
    /* Written once the answer has gone out; the layout is HttpLog's. */
    const std::string line = " \"GET /Roku/Movies/a.mp3 HTTP/1.1\" 200 1000 \"Roku/DVP-9.10\" \"http://roku/\"\n";
    EXPECT_TRUE(eventually([&] { return server->access_log().find(line) != std::string::npos; }, 5))
        << server->access_log();
}

TEST_F(Http, BadInputNeverBringsTheServerDown)
{
    std::vector<std::string> bad = {
        std::string(6000, 'A'),
        "GET / HTTP/1.1\r\n" + std::string(30, 'x') + std::string(25 * 10, '\n'),
        "GET /" + std::string(3000, 'y') + " HTTP/1.1\r\nCookie: " + std::string(2000, 'f') + "\r\n\r\n",
        std::string("\0\1\2\3\xff\xfe GET / \r\n\r\n", 16),
        "GET /Roku/?x HTTP/1.1\r\n\r\n",
        "HEAD",
    };
    for (const std::string &b : bad) {
        Channel raw;
        raw.port = server->port;
        Channel_Answer a;
        raw.raw(b, a);
    }
    /* Floods of connections are the Safety tests'. */
    Channel_Answer a = get("/");
    EXPECT_EQ(a.status, 200);
}
