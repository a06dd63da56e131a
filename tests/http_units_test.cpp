/* Request parsing, file responses, the cookie sequence and the access log, below the wire. */
#include "global.h"
#include "http/access.h"
#include "http/client.h"
#include "http/response.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "helpers.h"
#include "roku_channel.h"

namespace {

/* The line table of a request given as text. */
struct Lines {
    char arg[REQ_LINES][REQ_LINE];
    int count;
    explicit Lines(const std::string &req) : count(split_request(req.data(), req.size(), arg)) { fold_headers(arg); }
};

uint32_t addr(int a, int b, int c, int d) { return (uint32_t)a << 24 | b << 16 | c << 8 | d; }

/* A working folder with the trace and access log on, and the run flag set. */
class HttpEnv : public ::testing::Test {
protected:
    std::string dir;
    char buf[CONN_BUF];
    void SetUp() override
    {
        dir = trace_to_temp();
        Audit = Active = 1;
        Set_Diag();
    }
    void TearDown() override { Active = 0, trace_off(); }
    /* The access log's last line from its request line on. */
    std::string last_log_line()
    {
        std::string log = read_file(dir + "/access.txt");
        return log.substr(std::min(log.size(), log.find('"', log.rfind('\n', log.size() - 2) + 1)));
    }
};

}  // namespace

TEST(HttpParse, LinesAndHeaders)
{
    /* Only the first colon folds, with the character after it; CRs go anywhere;
    ** lines are cut at 1023 characters; lines after the 20th are ignored. */
    std::string req = "GET /C:/x HTTP/1.1\r\nA\rB: v\nHost: h:80\nX:\n" + std::string(3000, 'y') + "\nZ: z\n";
    for (int i = 0; i < 30; i++) req += "N: " + std::to_string(i) + "\n";
    Lines b(req);
    EXPECT_EQ(b.count, REQ_LINES);
    EXPECT_EQ(std::vector<std::string>(b.arg, b.arg + 6), (std::vector<std::string>{"GET /C:/x HTTP/1.1", "AB=v",
                                                             "Host=h:80", "X=", std::string(1023, 'y'), "Z=z"}));
    EXPECT_STREQ(b.arg[19], "N=13");
    EXPECT_EQ(Lines("GET / HTTP/1.1\r\nA: b").count, 2);   /* a last line without its line feed */

    /* Only "close" closes; the last Range line wins, whole. */
    auto heads = [](const std::string &text) {
        REQ_HEAD h;
        Lines l("GET / HTTP/1.1\r\n" + text + "\r\n");
        scan_headers(l.arg, &h);
        return std::to_string(h.close) + "|" + h.referer + "|" + h.agent + "|" + (h.cookie ? h.cookie : "null") + "|" +
               std::to_string(h.status) + "|" + std::to_string(h.start) + "|" + std::to_string(h.end);
    };
    EXPECT_EQ(heads("Connection: Close\r\n"), "0|-|-|null|0|0|0");
    EXPECT_EQ(heads("Connection: close\r\nReferer: http://r/\r\nUser-Agent: Roku/DVP-9\r\nCookie: abc\r\n"
                    "Range: bytes=0-99\r\nRange: bytes=500-\r\nReferrer-Policy: x\r\n"),
              "1|http://r/|Roku/DVP-9|abc|206|500|0");
}

TEST(HttpParse, Ranges)
{
    auto range = [](const char *text) {
        long long start = 0, end = 0;
        int n = get_range(text, &start, &end);
        return std::to_string(n) + " " + std::to_string(start) + " " + std::to_string(end);
    };
    /* end is one past the last byte, 0 open; only the first of a list; a suffix
    ** is a negative start; values are held at 10^18. */
    for (auto [text, want] : {std::pair{"0-99", "2 0 100"}, {"500-", "1 500 0"}, {"0-0", "2 0 0"}, {" 7 - 9", "1 7 0"},
                              {"1-2,5-9", "2 1 3"}, {"-500", "1 -500 0"}, {"x", "0 0 0"}, {"-0", "2 0 -1"}, {"--5", "0 0 0"},
                              {"99999999999999999999999-99999999999999999999999",
                               "2 1000000000000000000 1000000000000000001"}})
        EXPECT_EQ(range(text), want) << text;
}

TEST(HttpCookie, DecodeWindowAliasAndSharedSlot)
{
    uint32_t cip = 0;
    int tok = 0;
    std::string c = Channel::cookie(addr(192, 168, 1, 20), 123456);
    ASSERT_EQ(decode_cookie(c.c_str(), &cip, &tok), 1);
    EXPECT_EQ(std::make_pair(cip, tok), std::make_pair(addr(192, 168, 1, 20), 123456));
    for (const std::string &bad : {c.substr(1), c + "0"}) EXPECT_EQ(decode_cookie(bad.c_str(), &cip, &tok), 0);

    const uint32_t rip = addr(127, 0, 0, 41);
    auto chk = [&](int n, const char *target = "/a.html", uint32_t claim = addr(127, 0, 0, 41)) {
        std::string line = "GET " + std::string(target) + " HTTP/1.1";
        return Chk_Cookie(rip, Channel::cookie(claim, n).c_str(), line.c_str());
    };
    /* An unknown address claims a slot (2).  A number outside -1 ... +10 of
    ** the last is let through once and moves the window there; the same
    ** number again only for a media or movie target; a foreign address never. */
    const char *html = "/a.html";
    int row = 0;
    for (auto [n, target, claim, want] :
         {std::tuple{5000, html, rip, 2}, {5000, html, rip, 1}, {4999, html, rip, 1}, {5009, html, rip, 1},
          {5020, html, rip, 1}, {5020, html, rip, 0}, {5020, "/a.jpg", rip, 1}, {5020, "/a.JPGx", rip, 0},
          {5020, "/Film.MKV", rip, 1}, {5021, html, addr(10, 0, 0, 9), 0}})
        EXPECT_EQ(chk(n, target, claim), want) << "row " << row++;

    /* A sequence start sends the number r and restarts at 1000000 - r; the
    ** first cookie after it names the one other address allowed. */
    int seq = 1000000 - atoi(sent_by([&](int s) { Start_Sequence(s, rip, reply); }).c_str() + 39);
    const uint32_t alias = addr(10, 0, 0, 9);
    for (auto [n, claim, want] : {std::tuple{1, alias, 1}, {2, rip, 1}, {3, alias, 1}, {4, addr(10, 0, 0, 8), 0}})
        EXPECT_EQ(chk(seq + n, "/a.html", claim), want) << n;

    /* With every slot taken (this test's own is the first) and none quiet,
    ** once a sequence start has taken the shared slot, the addresses beyond
    ** the table share it.  (The refusals before are the Safety tests'.) */
    const uint32_t y = addr(10, 2, 0, 1), z = addr(10, 2, 0, 2);
    auto shared = [&] {
        for (int k = 1; k < MAX_ALLOWED; k++)
            if (Chk_Cookie(addr(10, 1, 0, k), Channel::cookie(addr(10, 1, 0, k), 1).c_str(), "") != 2) _exit(3);
        int start = 1000000 - atoi(sent_by([&](int s) { Start_Sequence(s, y, reply); }).c_str() + 39);
        std::string seen = "shared";
        for (auto [who, n] : {std::pair{y, 1}, {z, 2}, {z, 2}})
            seen += std::to_string(Chk_Cookie(who, Channel::cookie(who, start + n).c_str(), ""));
        fprintf(stderr, "%s\n", seen.c_str());
        _exit(0);
    };
    EXPECT_EXIT(shared(), ::testing::ExitedWithCode(0), "shared110");
}

TEST(HttpLog, LineFormatAndCutting)
{
    char line[LOG_TXT];
    log_line(line, sizeof line, addr(192, 168, 1, 7), "Thu Dec  3 21:07:15 2026", "GET /C:/a.mp3 HTTP/1.1", 206,
             5000000000LL, "-", "Roku/DVP-9");
    /* Day padded with 0, no brackets, User-Agent before Referer. */
    EXPECT_STREQ(line, "192.168.1.7 03/Dec/2026 21:07:15 \"GET /C:/a.mp3 HTTP/1.1\" 206 "
                       "5000000000 \"Roku/DVP-9\" \"-\"\n");

    std::string longreq = "GET /" + std::string(1500, 'a') + " HTTP/1.1", agent(300, 'u');
    size_t n = log_line(line, sizeof line, addr(10, 0, 0, 1), "Mon Jan 12 01:02:03 2026", longreq.c_str(), 200, 1,
                        "r", agent.c_str());
    /* Too long: the longest values are cut to one common length that fills
    ** the 999 characters; shorter values stay whole. */
    EXPECT_EQ(n, (size_t)LOG_TXT - 1);
    EXPECT_EQ(line, "10.0.0.1 12/Jan/2026 01:02:03 \"" + longreq.substr(0, 653) + "\" 200 1 \"" + agent +
                        "\" \"r\"\n");
}

TEST_F(HttpEnv, FileResponsesBlocksPaddingAndLogCounts)
{
    std::string data, big(3 * SEND_BLOCK + 12345, 0);
    for (int i = 0; i < 1000; i++) data += (char)('a' + i % 26);
    for (size_t i = 0; i < big.size(); i++) big[i] = (char)(i * 7 % 251);
    write_file(dir + "/f.txt", data);
    write_file(dir + "/big.bin", big);
    const std::string plain = "OK\nContent-type: text/plain\nContent-length: ";
    struct { int req, status; long long start, end; const char *item; std::string head, body; long long logged; }
    cases[] = {
        /* HEAD: the whole header block, no body; its bytes are logged (-1). */
        {3, 0, 0, 0, "f.txt", "200 " + plain + "1000\nLast-Modified: ", "", -1},
        /* A range that starts past the end is refused (the other range
        ** rules, on the wire, are the Safety tests'). */
        {0, 206, 5000, 0, "f.txt", "416 Range Not Satisfiable\nContent-type: text/plain\nContent-length: 0\n"
         "Content-range: bytes */1000\nLast", "", 0},
        /* Bodies over several blocks, and a range across a block's end. */
        {0, 0, 0, 0, "big.bin", "200 OK\nContent-type: application/octet-stream\nContent-length: 312345\nLast",
         big, 312345},
        {0, 206, SEND_BLOCK - 1, 2 * SEND_BLOCK + 2, "big.bin",
         "206 OK\nContent-type: application/octet-stream\nContent-length: 100003\n"
         "Content-range: bytes 99999-200001/312345\nLast", big.substr(SEND_BLOCK - 1, SEND_BLOCK + 3), 100003},
    };
    const std::string server = "\nServer: Velmora " + std::string(Version) + "\n\n";
    for (auto &c : cases) {
        std::string file = dir + (c.item[0] == 'b' ? "/big.bin" : "/f.txt");
        std::string line = c.req ? "HEAD /f HTTP/1.1" : "GET /f HTTP/1.1";
        std::string got = sent_by([&](int s) {
            SEND_FILE f = {c.req, c.status, c.start, c.end, c.item, file.c_str(), 0, line.c_str(), "-", "Roku/DVP"};
            EXPECT_EQ(send_file(s, fopen(file.c_str(), "rb"), &f, buf, sizeof buf), 0);
        });
        size_t head = got.find("\n\n") + 2;
        EXPECT_EQ(got.rfind("HTTP/1.1 " + c.head, 0), 0u) << got.substr(0, head);
        EXPECT_NE(got.find("\nConnection: Close\nDate: "), std::string::npos);
        EXPECT_EQ(got.substr(head - server.size(), server.size()), server);
        EXPECT_TRUE(got.compare(head, std::string::npos, c.body) == 0) << c.head;
        std::string logged = std::to_string(c.logged < 0 ? (long long)got.size() : c.logged);
        std::string status = c.head.substr(0, 3);
        EXPECT_EQ(last_log_line(), "\"" + line + "\" " + status + " " + logged + " \"Roku/DVP\" \"-\"\n");
    }

    /* A stream with no file behind it goes through the buffer, block by
    ** block, from where its range starts. */
    std::string got = sent_by([&](int s) {
        SEND_FILE f = {METHOD_GET, 206, SEND_BLOCK - 1, 0, "big.bin", "/big.bin", 0, "GET /m HTTP/1.1", "-", "-"};
        EXPECT_EQ(send_file(s, fmemopen(&big[0], big.size(), "rb"), &f, buf, sizeof buf), 0);
    });
    EXPECT_EQ(got.substr(got.find("\n\n") + 2), big.substr(SEND_BLOCK - 1));

    /* A player that hangs up: the send fails, the log line is still written. */
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    SEND_FILE f = {METHOD_GET, 0, 0, 0, "big.bin", "/big.bin", 0, "GET /big HTTP/1.1", "-", "-"};
    EXPECT_EQ(send_file(sv[0], fopen((dir + "/big.bin").c_str(), "rb"), &f, buf, sizeof buf), -1);
    close(sv[0]);
    EXPECT_EQ(last_log_line(), "\"GET /big HTTP/1.1\" 200 0 \"-\" \"-\"\n");
}

TEST_F(HttpEnv, RefusalIsLoggedWithTheLogOffAndNotAnswered)
{
    Audit = 0;
    Set_Diag();
    Refuse_Pause_ms = 10;
    EXPECT_EQ(sent_by([](int s) { Refuse_Access(s, "GET /secret HTTP/1.1", "-", "curl"); }), "");
    EXPECT_EQ(AUD.load(), nullptr);                      /* closed again */
    EXPECT_EQ(Audit.load(), 0);
    EXPECT_EQ(last_log_line(), "\"GET /secret HTTP/1.1\" 403 0 \"curl\" \"-\"\n");
}
