/*
** Tests of the request handler's parsing, the file response's bytes on the
** wire, the cookie sequence and the access log: the parts where a player
** would see a wrong byte or where hostile input meets a fixed buffer.
*/
#include "global.h"
#include "access.h"
#include "client.h"
#include "response.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "helpers.h"

namespace {

/* The line table of a request given as text. */
struct Lines {
    char arg[REQ_LINES][REQ_LINE];
    int count;
    explicit Lines(const std::string &req)
    {
        count = split_request(req.data(), req.size(), arg);
        fold_headers(arg);
    }
};

/* A cookie claiming cip with sequence number tok, as the channel builds it:
** a pad half and the key xor the pad. */
std::string make_cookie(uint32_t cip, int tok, unsigned seed = 7)
{
    unsigned key[10] = {cip >> 24 & 255, cip >> 16 & 255, cip >> 8 & 255, cip & 255,
                        (unsigned)tok / 100000, (unsigned)tok / 10000 % 10, (unsigned)tok / 1000 % 10,
                        (unsigned)tok / 100 % 10, (unsigned)tok / 10 % 10, (unsigned)tok % 10};
    static const char hex[] = "0123456789abcdef";
    std::string pad, mixed;
    for (int k = 0; k < 10; k++) {
        unsigned p = (seed * 31 + (unsigned)k * 77) & 255, m = p ^ key[k];
        pad += hex[p >> 4];
        pad += hex[p & 15];
        mixed += hex[m >> 4];
        mixed += "0123456789ABCDEF"[m & 15];   /* upper case reads the same */
    }
    return pad + mixed;
}

uint32_t addr(int a, int b, int c, int d) { return (uint32_t)a << 24 | b << 16 | c << 8 | d; }

/* The method table, as the server thread sets it before any connection. */
void set_methods(void)
{
    cmd[0] = "GET ";
    cmd[1] = "POST";
    cmd[2] = "PUT ";
    cmd[3] = "HEAD";
}

/* Everything the other end of s sends until it closes or shuts down. */
std::string read_all(int s)
{
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, (size_t)n);
    }
    return out;
}

/* One answer with a Content-length: header block and body. */
std::string read_answer(int s)
{
    std::string out;
    char c;
    while (out.find("\n\n") == std::string::npos && recv(s, &c, 1, 0) == 1) out += c;
    size_t at = out.find("Content-length: ");
    long long len = at == std::string::npos ? 0 : atoll(out.c_str() + at + 16);
    std::string body;
    char buf[65536];
    while ((long long)body.size() < len) {
        ssize_t n = recv(s, buf, (size_t)std::min<long long>(sizeof buf, len - (long long)body.size()), 0);
        if (n <= 0) break;
        body.append(buf, (size_t)n);
    }
    return out + body;
}

/* A working folder with the trace and the access log on, and the run flag
** and method table that the server thread would have set. */
class HttpEnv : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        dir = trace_to_temp();
        Audit = 1;
        Set_Diag();
        Active = 1;
        set_methods();
        scopy(Version, sizeof Version, VELMORA_VERSION);
    }
    void TearDown() override
    {
        Active = 0;
        trace_off();
    }
    std::string access_log() { return read_file(dir + "/access.txt"); }
};

}  // namespace

TEST(HttpHelpers, BuildStripAndReplyStayInBounds)
{
    char out[8];
    size_t n = bld(0, out, sizeof out, "abc");
    n = bld(n, out, sizeof out, "defghij");
    EXPECT_EQ(n, 7u);
    EXPECT_STREQ(out, "abcdefg");
    EXPECT_EQ(bld(n, out, sizeof out, "x"), 7u);        /* full: nothing more */
    EXPECT_EQ(bld(50, out, sizeof out, "x"), 7u);       /* a position past the end is held */
    EXPECT_EQ(bld(0, out, 0, "x"), 0u);

    char item[6];
    EXPECT_EQ(strip(item, "  /a%20b HTTP/1.1", sizeof item), 5);
    EXPECT_STREQ(item, "/a%20");
    EXPECT_EQ(strip(item, "/x\ty", sizeof item), 2);     /* a control character ends it */
    EXPECT_EQ(strip(item, "/\xC3\xA9 ", sizeof item), 3); /* UTF-8 bytes are kept */

    /* reply always ends in its two line feeds, even when ans is cut. */
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    EXPECT_EQ(reply(sv[0], "404 Not Found"), 15);
    std::string big(10000, 'x');
    int sent = reply(sv[0], big.c_str());
    shutdown(sv[0], SHUT_WR);
    std::string got = read_all(sv[1]);
    EXPECT_EQ(got.substr(0, 15), "404 Not Found\n\n");
    EXPECT_EQ((size_t)sent, got.size() - 15);
    EXPECT_LT(sent, 10000);
    EXPECT_EQ(got.substr(got.size() - 3), "x\n\n");
    close(sv[0]);
    close(sv[1]);
}

TEST(HttpParse, LinesAndHeaderFolding)
{
    Lines a("GET /a HTTP/1.1\r\nRange: bytes=0-99\r\nX:\r\nHost: h:80\r\n\r\n");
    EXPECT_EQ(a.count, 5);
    EXPECT_STREQ(a.arg[0], "GET /a HTTP/1.1");
    EXPECT_STREQ(a.arg[1], "Range=bytes=0-99");
    EXPECT_STREQ(a.arg[2], "X=");                        /* nothing after the colon to remove */
    EXPECT_STREQ(a.arg[3], "Host=h:80");                 /* only the first colon */

    /* The request line keeps its colons; carriage returns go wherever they
    ** stand; a line is cut at 1023 characters, the rest up to its line feed
    ** dropped; lines after the 20th are ignored. */
    std::string req = "GET /C:/x HTTP/1.1\r\nA\rB: v\n" + std::string(3000, 'y') + "\nZ: z\n";
    for (int i = 0; i < 30; i++) req += "N: " + std::to_string(i) + "\n";
    Lines b(req);
    EXPECT_EQ(b.count, REQ_LINES);
    EXPECT_STREQ(b.arg[0], "GET /C:/x HTTP/1.1");
    EXPECT_STREQ(b.arg[1], "AB=v");
    EXPECT_EQ(strlen(b.arg[2]), (size_t)REQ_LINE - 1);
    EXPECT_STREQ(b.arg[3], "Z=z");
    EXPECT_STREQ(b.arg[19], "N=15");
}

TEST(HttpParse, KnownHeaders)
{
    REQ_HEAD h;
    Lines plain("GET / HTTP/1.1\r\nConnection: Close\r\n\r\n");
    scan_headers(plain.arg, &h);
    EXPECT_EQ(h.close, 0);                               /* only "close" closes */
    EXPECT_STREQ(h.referer, "-");
    EXPECT_STREQ(h.agent, "-");
    EXPECT_EQ(h.cookie, nullptr);
    EXPECT_EQ(h.status, 0);

    Lines full("GET / HTTP/1.1\r\nConnection: close\r\nReferer: http://r/\r\n"
               "User-Agent: Roku/DVP-9\r\nCookie: abc\r\nRange: bytes=0-99\r\n"
               "Range: bytes=500-\r\nReferrer-Policy: x\r\n\r\n");
    scan_headers(full.arg, &h);
    EXPECT_EQ(h.close, 1);
    EXPECT_STREQ(h.referer, "http://r/");
    EXPECT_STREQ(h.agent, "Roku/DVP-9");
    EXPECT_STREQ(h.cookie, "abc");
    EXPECT_EQ(h.status, 206);
    EXPECT_EQ(h.start, 500);                             /* the last Range line wins, whole */
    EXPECT_EQ(h.end, 0);

    set_methods();
    EXPECT_EQ(get_method("GET /"), 0);
    EXPECT_EQ(get_method("POST /"), 1);
    EXPECT_EQ(get_method("PUT /"), 2);
    EXPECT_EQ(get_method("HEAD /"), 3);
    EXPECT_EQ(get_method("GET\t/"), 4);
    EXPECT_EQ(get_method("get /"), 4);
    EXPECT_EQ(get_method(""), 4);
}

TEST(HttpParse, Ranges)
{
    struct { const char *text; int n; long long start, end; } cases[] = {
        {"0-99", 2, 0, 100},                  /* end is one past the last byte */
        {"500-", 1, 500, 0},
        {"0-0", 2, 0, 0},                     /* an end of 0 is open */
        {" 7 - 9", 1, 7, 0},                  /* no blank before the dash, as %lld-%lld */
        {"1-2,5-9", 2, 1, 3},                 /* only the first of a list */
        {"-500", 1, -500, 0},                 /* a suffix range reads as a negative start */
        {"x", 0, 0, 0},
        {"99999999999999999999999-99999999999999999999999", 2, 1000000000000000000LL,
         1000000000000000001LL},
    };
    for (auto &c : cases) {
        long long s = 0, e = 0;
        EXPECT_EQ(get_range(c.text, &s, &e), c.n) << c.text;
        EXPECT_EQ(s, c.start) << c.text;
        EXPECT_EQ(e, c.end) << c.text;
    }
}

TEST(HttpMime, TableOrderDecidesTies)
{
    struct { const char *name, *type; } cases[] = {
        {"/m/film.avi", "video/avi"},       {"/m/seg-1.ts", "video/mp2t"},
        {"x.mp2", "audio/x-mpeg"},          {"x.MPA", "audio/x-mpeg"},
        {"x.wav", "audio/wav"},             {"x.doc", "application/doc"},
        {"x.rtf", "application/msword"},    {"x.enc", "application/pre-encrypted"},
        {"x.Z", "text/plain"},              {"dir.htm", "text/html"},
        {"/a.b/readme", "text/plain"},      {"trailing.", "text/plain"},
        {"", "text/plain"},                 {"x.m3u8", "application/x-mpegURL"},
        {"x.wrz", "model/vrml"},            {"x.verylongextension", "text/plain"},
    };
    for (auto &c : cases) EXPECT_STREQ(getmime(c.name, 0), c.type) << c.name;
    EXPECT_STREQ(getmime("My Song.mp3", 2), "MP3 ");   /* trailing blank kept */
    EXPECT_STREQ(getmime("a.jpg", 1), "jpeg,jpg,jpe,jfif,pjpeg,pjp");
    EXPECT_STREQ(getmime("a.css", 2), "  ");
    EXPECT_EQ(getmime("noext", 2), nullptr);
    EXPECT_EQ(getmime("a.xyz", 1), nullptr);
}

TEST(HttpCookie, DecodeAndSequenceWindow)
{
    uint32_t cip = 0;
    int tok = 0;
    std::string c = make_cookie(addr(192, 168, 1, 20), 123456);
    ASSERT_EQ(decode_cookie(c.c_str(), &cip, &tok), 1);
    EXPECT_EQ(cip, addr(192, 168, 1, 20));
    EXPECT_EQ(tok, 123456);
    EXPECT_EQ(decode_cookie(c.substr(1).c_str(), &cip, &tok), 0);
    EXPECT_EQ(decode_cookie((c + "0").c_str(), &cip, &tok), 0);

    const uint32_t rip = addr(127, 0, 0, 41);
    const char *html = "GET /a.html HTTP/1.1", *jpg = "GET /a.jpg HTTP/1.1";
    EXPECT_EQ(Chk_Cookie(rip, nullptr, html), 2);
    EXPECT_EQ(Chk_Cookie(rip, c.substr(1).c_str(), html), 0);      /* 39 characters */
    /* The first cookie of an unknown address claims a slot. */
    EXPECT_EQ(Chk_Cookie(rip, make_cookie(rip, 5000).c_str(), html), 2);
    /* Out of the window once: let through, and the window moves there. */
    EXPECT_EQ(Chk_Cookie(rip, make_cookie(rip, 5000).c_str(), html), 1);
    EXPECT_EQ(Chk_Cookie(rip, make_cookie(rip, 4999).c_str(), html), 1);   /* offset -1 */
    EXPECT_EQ(Chk_Cookie(rip, make_cookie(rip, 5009).c_str(), html), 1);   /* offset 10 */
    EXPECT_EQ(Chk_Cookie(rip, make_cookie(rip, 5020).c_str(), html), 1);   /* 11: forgiven */
    /* The same number again: only a media or movie target. */
    EXPECT_EQ(Chk_Cookie(rip, make_cookie(rip, 5020).c_str(), html), 0);
    EXPECT_EQ(Chk_Cookie(rip, make_cookie(rip, 5020).c_str(), jpg), 1);
    EXPECT_EQ(Chk_Cookie(rip, make_cookie(rip, 5020).c_str(), "GET /a.JPGx HTTP/1.1"), 0);
    EXPECT_EQ(Chk_Cookie(rip, make_cookie(rip, 5020).c_str(), "GET /Film.MKV HTTP/1.1"), 1);
    /* A cookie claiming a third address. */
    EXPECT_EQ(Chk_Cookie(rip, make_cookie(addr(10, 0, 0, 9), 5021).c_str(), html), 0);

    /* A sequence start restarts the slot and answers with the bare redirect. */
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Start_Sequence(sv[0], rip);
    shutdown(sv[0], SHUT_WR);
    std::string got = read_all(sv[1]);
    close(sv[0]);
    close(sv[1]);
    ASSERT_EQ(got.rfind("HTTP/ 301 Moved Permanently\nLocation: ?", 0), 0u) << got;
    int r = atoi(got.c_str() + 39);
    EXPECT_GE(r, 0);
    EXPECT_LE(r, 32767);
    EXPECT_EQ(got, "HTTP/ 301 Moved Permanently\nLocation: ?" + std::to_string(r) + "\n\n\n\n");
    /* The first cookie after the start sets the alias; the next number is in
    ** the window. */
    EXPECT_EQ(Chk_Cookie(rip, make_cookie(rip, 1000000 - r + 1).c_str(), html), 1);
    EXPECT_EQ(Chk_Cookie(rip, make_cookie(rip, 1000000 - r + 2).c_str(), html), 1);
}

TEST(HttpLog, LineFormatAndCutting)
{
    char line[LOG_TXT];
    log_line(line, sizeof line, addr(192, 168, 1, 7), "Thu Dec  3 21:07:15 2026",
             "GET /C:/a.mp3 HTTP/1.1", 206, 5000000000LL, "-", "Roku/DVP-9");
    /* Day padded with 0, no brackets, User-Agent before Referer. */
    EXPECT_STREQ(line, "192.168.1.7 03/Dec/2026 21:07:15 \"GET /C:/a.mp3 HTTP/1.1\" 206 "
                       "5000000000 \"Roku/DVP-9\" \"-\"\n");

    std::string longreq = "GET /" + std::string(1500, 'a') + " HTTP/1.1";
    std::string agent(300, 'u');
    size_t n = log_line(line, sizeof line, addr(10, 0, 0, 1), "Mon Jan 12 01:02:03 2026",
                        longreq.c_str(), 200, 1, "r", agent.c_str());
    EXPECT_EQ(n, strlen(line));
    EXPECT_LE(n, (size_t)LOG_TXT - 1);
    EXPECT_GT(n, (size_t)LOG_TXT - 10);                  /* the room is used */
    std::string s(line);
    EXPECT_EQ(s.substr(s.size() - 6), "\" \"r\"\n");       /* the short value is whole */
    EXPECT_NE(s.find(" 200 1 \"uuu"), std::string::npos);

    /* A clock text too short still gives a line inside the buffer. */
    log_line(line, sizeof line, 0, "Thu", "x", 400, 0, nullptr, nullptr);
    EXPECT_EQ(std::string(line).substr(0, 8), "0.0.0.0 ");
}

/* Serves the stream of file with send_file on one end of a socket pair and
** returns what the other end received. */
static std::string serve(const std::string &file, int req, int status, long long start,
                         long long end, const char *item, int *rc = nullptr)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return "";
    FILE *in = fopen(file.c_str(), "rb");
    if (!in) return "";
    std::string got;
    std::thread reader([&] { got = read_all(sv[1]); });
    static char buf[CONN_BUF];
    int r = send_file(sv[0], in, req, status, start, end, item, file.c_str(), 86400 * 3,
                      req == 0 ? "GET /f HTTP/1.1" : "HEAD /f HTTP/1.1", "-", "Roku/DVP",
                      buf, sizeof buf);
    if (rc) *rc = r;
    shutdown(sv[0], SHUT_WR);
    reader.join();
    close(sv[0]);
    close(sv[1]);
    return got;
}

TEST_F(HttpEnv, FileResponseBytes)
{
    std::string data;
    for (int i = 0; i < 1000; i++) data += (char)('a' + i % 26);
    std::string file = dir + "/f.txt";
    write_file(file, data);
    std::string tail = "Connection: Close\nDate: ";
    std::string server = "Server: Velmora " + std::string(Version) + "\n\n";

    std::string got = serve(file, 0, 206, 0, 100, "f.txt");
    std::string head = got.substr(0, got.find("\n\n") + 2);
    EXPECT_EQ(head.rfind("HTTP/1.1 206 OK\nContent-type: text/plain\nContent-length: 100\n"
                         "Content-range: bytes 0-99/1000\nLast-Modified: ", 0), 0u) << head;
    EXPECT_NE(head.find(tail), std::string::npos);
    EXPECT_EQ(head.substr(head.size() - server.size()), server);
    EXPECT_EQ(got.substr(head.size()), data.substr(0, 100));

    got = serve(file, 0, 206, 500, 0, "f.txt");
    EXPECT_NE(got.find("Content-length: 500\nContent-range: bytes 500-999/1000\n"), std::string::npos);
    EXPECT_EQ(got.substr(got.size() - 500), data.substr(500));

    /* HEAD: the same header block and no body; the log counts its bytes. */
    std::string headonly = serve(file, 3, 0, 0, 0, "f.txt");
    EXPECT_EQ(headonly.rfind("HTTP/1.1 200 OK\nContent-type: text/plain\nContent-length: 1000\n", 0), 0u);
    EXPECT_EQ(headonly.find("\n\n"), headonly.size() - 2);

    /* A short body is padded when under 1000 bytes are missing, else not. */
    got = serve(file, 0, 206, 0, 1100, "f.txt");
    EXPECT_NE(got.find("Content-length: 1100\n"), std::string::npos);
    EXPECT_EQ(got.substr(got.size() - 1100), data + std::string(100, '\0'));
    got = serve(file, 0, 206, 0, 2000, "f.txt");
    EXPECT_EQ(got.substr(got.size() - 1000), data);
    EXPECT_NE(got.find("Content-length: 2000\n"), std::string::npos);

    /* A start past the end sends nothing; a 404 has no Last-Modified. */
    got = serve(file, 0, 206, 5000, 0, "f.txt");
    EXPECT_NE(got.find("Content-length: 0\nContent-range: bytes 5000-999/1000\n"), std::string::npos);
    EXPECT_EQ(got.find("\n\n"), got.size() - 2);
    got = serve(file, 0, 404, 0, 0, "/x/missing.htm");
    EXPECT_EQ(got.rfind("HTTP/1.1 404 OK\nContent-type: text/html\nContent-length: 1000\n"
                        "Connection: Close\n", 0), 0u) << got;

    std::string log = access_log();
    EXPECT_NE(log.find("\"GET /f HTTP/1.1\" 206 100 \"Roku/DVP\" \"-\"\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\"HEAD /f HTTP/1.1\" 200 " + std::to_string(headonly.size()) + " "),
              std::string::npos) << log;
    EXPECT_NE(log.find("\" 206 1000 \""), std::string::npos);   /* padding not counted */
}

TEST_F(HttpEnv, LargeBodyInBlocks)
{
    std::string data(3 * SEND_BLOCK + 12345, 0);
    for (size_t i = 0; i < data.size(); i++) data[i] = (char)(i * 7 % 251);
    std::string file = dir + "/big.bin";
    write_file(file, data);
    std::string got = serve(file, 0, 0, 0, 0, "big.bin");
    size_t body = got.find("\n\n") + 2;
    EXPECT_EQ(got.substr(0, body).find("application/octet-stream"), 30u);
    EXPECT_TRUE(got.compare(body, std::string::npos, data) == 0);
    got = serve(file, 0, 206, SEND_BLOCK - 1, 2 * SEND_BLOCK + 2, "big.bin");
    body = got.find("\n\n") + 2;
    EXPECT_TRUE(got.compare(body, std::string::npos, data, SEND_BLOCK - 1, SEND_BLOCK + 3) == 0);

    /* A player that hangs up mid-body: the send fails, the rest still runs. */
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    static char buf[CONN_BUF];
    FILE *in = fopen(file.c_str(), "rb");
    EXPECT_EQ(send_file(sv[0], in, 0, 0, 0, 0, "big.bin", file.c_str(), 0, "GET /big HTTP/1.1",
                        "-", "-", buf, sizeof buf), -1);
    close(sv[0]);
    EXPECT_NE(access_log().find("\"GET /big HTTP/1.1\" 200 0 "), std::string::npos);
}

TEST_F(HttpEnv, RefusalIsLoggedWithTheLogOff)
{
    Audit = 0;
    Set_Diag();
    ASSERT_EQ(AUD.load(), nullptr);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Refuse_Access(sv[0], "GET /secret HTTP/1.1", "-", "curl");
    EXPECT_EQ(AUD.load(), nullptr);                      /* closed again */
    EXPECT_EQ(Audit.load(), 0);
    EXPECT_NE(access_log().find("\"GET /secret HTTP/1.1\" 403 0 \"curl\" \"-\"\n"), std::string::npos);
    fcntl(sv[1], F_SETFL, O_NONBLOCK);
    char c;
    EXPECT_EQ(recv(sv[1], &c, 1, 0), -1);                /* nothing was answered */
    close(sv[0]);
    close(sv[1]);
}

/* A connection from 127.0.0.<from> to the listener on port. */
static int dial(int port, int from)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(addr(127, 0, 0, from));
    if (bind(s, (sockaddr *)&a, sizeof a) != 0) return -1;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(addr(127, 0, 0, 1));
    if (connect(s, (sockaddr *)&a, sizeof a) != 0) return -1;
    return s;
}

TEST_F(HttpEnv, ConnectionAnswersOverLoopback)
{
    write_file(dir + "/f.txt", "0123456789abcdef");
    int l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(addr(127, 0, 0, 1));
    ASSERT_EQ(bind(l, (sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(listen(l, 4), 0);
    socklen_t al = sizeof a;
    getsockname(l, (sockaddr *)&a, &al);
    int port = ntohs(a.sin_port);
    const int from = 52;
    const uint32_t me = addr(127, 0, 0, from);

    /* Opens a connection and hands its server side to a request thread. */
    auto open_conn = [&] {
        int c = dial(port, from);
        int srv = accept(l, nullptr, nullptr);
        myfork(JOB_CLIENT, srv);
        return c;
    };

    /* No cookie: the start number in a bare redirect, then the close. */
    int c = open_conn();
    std::string req = "GET /f.txt HTTP/1.1\r\nUser-Agent: Roku\r\n\r\n";
    send(c, req.data(), req.size(), 0);
    std::string got = read_all(c);
    close(c);
    ASSERT_EQ(got.rfind("HTTP/ 301 Moved Permanently\nLocation: ?", 0), 0u) << got;
    int seq = 1000000 - atoi(got.c_str() + 39);

    /* With the cookie: a range of a file, then an unknown method on the same
    ** connection gets the bare 400. */
    c = open_conn();
    req = "GET " + dir + "/f.txt HTTP/1.1\r\nCookie: " + make_cookie(me, seq + 1) +
          "\r\nRange: bytes=2-5\r\n\r\n";
    send(c, req.data(), req.size(), 0);
    got = read_answer(c);
    EXPECT_EQ(got.rfind("HTTP/1.1 206 OK\nContent-type: text/plain\nContent-length: 4\n"
                        "Content-range: bytes 2-5/16\n", 0), 0u) << got;
    EXPECT_EQ(got.substr(got.size() - 4), "2345");
    req = "BREW /pot HTTP/1.1\r\nCookie: " + make_cookie(me, seq + 2) + "\r\n\r\n";
    send(c, req.data(), req.size(), 0);
    EXPECT_EQ(read_all(c), "400 Bad Request\n\n");
    close(c);

    /* A target that is nowhere, with no missing.htm either: the bare 404. */
    c = open_conn();
    req = "GET " + dir + "/nothing.txt HTTP/1.1\r\nCookie: " + make_cookie(me, seq + 3) + "\r\n\r\n";
    send(c, req.data(), req.size(), 0);
    EXPECT_EQ(read_all(c), "404 Not Found\n\n");
    close(c);
    close(l);

    std::string log = access_log();
    EXPECT_NE(log.find("127.0.0.52 "), std::string::npos);
    EXPECT_NE(log.find("\"BREW /pot HTTP/1.1\" 400 0 \"-\" \"-\"\n"), std::string::npos) << log;
    EXPECT_NE(log.find("/nothing.txt HTTP/1.1\" 404 0 "), std::string::npos);
    EXPECT_EQ(log.find("\"GET /f.txt HTTP/1.1\""), std::string::npos);   /* the start is not logged */
}
