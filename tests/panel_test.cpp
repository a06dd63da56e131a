/*
** The web panel's gate and parsers: which requests are refused and with
** what status, before anything reaches a dialog; and the JSON reader on the
** shapes a page sends and the shapes it must refuse.
*/
#include <gtest/gtest.h>

#include <cstring>

#include "pal/front/panel_internal.h"

namespace {

const panel_config loopback = {"00112233445566778899aabbccddeeff", "127.0.0.1", 12180, {"box", "box.local"}};
const panel_config everywhere = {"00112233445566778899aabbccddeeff", "0.0.0.0", 12180, {"box", "box.local"}};
const panel_config lan = {"00112233445566778899aabbccddeeff", "192.168.1.20", 12180, {"box", "box.local"}};
const std::string T = "token=00112233445566778899aabbccddeeff";

int status_of(const panel_config &cfg, const std::string &request)
{
    std::string out;
    panel_next next = panel_handle(cfg, request, out);
    if (next != PANEL_CLOSE) return next == PANEL_EVENTS ? 1 : 2;
    return atoi(out.c_str() + 9);
}

std::string post(const std::string &path, const std::string &body, const std::string &type = "application/json")
{
    return "POST " + path + "?" + T + " HTTP/1.1\r\nHost: 127.0.0.1:12180\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

TEST(Panel, GateRefusesBeforeAnythingRuns)
{
    struct { const panel_config &cfg; std::string request; int status; } cases[] = {
        {loopback, "GET /?" + T + " HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n\r\n", 200},
        {loopback, "GET /?" + T + " HTTP/1.1\r\nHost: LocalHost:12180\r\n\r\n", 200},
        {loopback, "GET /events?" + T + " HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n\r\n", 1},
        {loopback, "GET / HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n\r\n", 403},
        {loopback, "GET /?token=00112233445566778899aabbccddeefe HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n\r\n", 403},
        {loopback, "GET /?" + T + "0 HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n\r\n", 403},
        {loopback, "GET /?" + T + " HTTP/1.1\r\nHost: rebound.example:12180\r\n\r\n", 403},
        {loopback, "GET /?" + T + " HTTP/1.1\r\nHost: 127.0.0.1:80\r\n\r\n", 403},
        {loopback, "GET /?" + T + " HTTP/1.1\r\n\r\n", 403},
        {loopback, "GET /?" + T + " HTTP/1.1\r\nHost: 127.0.0.1:12180\r\nOrigin: http://evil.example\r\n\r\n", 403},
        {loopback, "GET /?" + T + " HTTP/1.1\r\nHost: 127.0.0.1:12180\r\nSec-Fetch-Site: cross-site\r\n\r\n", 403},
        {everywhere, "GET /?" + T + " HTTP/1.1\r\nHost: 192.168.1.20:12180\r\n\r\n", 200},
        {everywhere, "GET /?" + T + " HTTP/1.1\r\nHost: box.lan:12180\r\n\r\n", 403},
        {everywhere, "GET /?" + T + " HTTP/1.1\r\nHost: localhost:12180\r\n\r\n", 403},
        {everywhere, "GET /?" + T + " HTTP/1.1\r\nHost: Box.Local:12180\r\n\r\n", 200},
        {lan, "GET /?" + T + " HTTP/1.1\r\nHost: box:12180\r\n\r\n", 200},
        {lan, "GET /?" + T + " HTTP/1.1\r\nHost: box:80\r\n\r\n", 403},
        {lan, "GET /?" + T + " HTTP/1.1\r\nHost: box.lan:12180\r\n\r\n", 403},
        {lan, "GET /?" + T + " HTTP/1.1\r\nHost: 192.168.1.21:12180\r\n\r\n", 403},
        {loopback, "GET /?" + T + " HTTP/1.1\r\nHost: box:12180\r\n\r\n", 403},
        {loopback, post("/renew", "{}"), 2},
        {loopback, "GET /renew?" + T + " HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n\r\n", 405},
        {loopback, "POST /renew HTTP/1.1\r\nHost: 127.0.0.1:12180\r\nContent-Type: application/json\r\n\r\n", 403},
        {loopback, "GET /nothing?" + T + " HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n\r\n", 404},
        {loopback, "DELETE /input?" + T + " HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n\r\n", 405},
        {loopback, "GET /folder?" + T + " HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n\r\n", 409},
        {loopback, "GET /?" + T + " HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n", 400},
        {loopback, post("/input", "{\"dialog\":100,\"input\":\"click\",\"control\":102}", "text/plain"), 400},
        {loopback, post("/input", "{\"dialog\":100,\"input\":\"click\""), 400},
        {loopback, post("/input", "{\"dialog\":100,\"input\":\"explode\"}"), 400},
        {loopback, post("/input", "{\"dialog\":\"1e9\",\"input\":\"click\"}"), 400},
        {loopback, post("/input", "{\"dialog\":4242,\"control\":1,\"input\":\"click\"}"), 404},
        {loopback, post("/answer", "{\"prompt\":77}"), 404},
    };
    for (const auto &c : cases) EXPECT_EQ(status_of(c.cfg, c.request), c.status) << c.request;

    std::string out;
    panel_handle(loopback, "GET /?" + T + " HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n\r\n", out);
    for (const char *h : {"Content-Security-Policy: default-src 'none';", "X-Frame-Options: DENY",
                          "Referrer-Policy: no-referrer", "new EventSource(", "</html>"})
        EXPECT_NE(out.find(h), std::string::npos) << h;
    /* The style and script were put in where the page's placeholders were. */
    EXPECT_EQ(out.find("/*PANEL_"), std::string::npos);
    EXPECT_EQ(out.find("Access-Control-Allow"), std::string::npos);

    /* An old bookmark gets a page that says where the address is. */
    panel_handle(loopback, "GET /?token=0 HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n\r\n", out);
    EXPECT_NE(out.find("Content-Type: text/html"), std::string::npos);
    EXPECT_NE(out.find("velmora --panel-address"), std::string::npos);
}

/* Launch and Stop reach the program only through the gate, naming one player
** or one stream; the view goes out with its texts escaped. */
TEST(Panel, StatusViewActions)
{
    EXPECT_EQ(status_of(loopback, post("/launch", "{\"player\":\"127.0.0.2\"}")), 409);
    static std::vector<std::string> calls;
    static const pal_status_source source = {
        [](pal_status_view &v) { v.players.push_back({"127.0.0.2", "Kids' </script> \"Room\"", 3}); },
        [](const char *ip) { return calls.push_back(std::string("launch ") + ip), strcmp(ip, "127.0.0.2") == 0 ? 1 : 0; },
        [](int n) { return calls.push_back("stop " + std::to_string(n)), n == 7 ? 1 : 0; }};
    pal_panel_status_source(&source);
    struct { std::string request; int status; } cases[] = {
        {post("/launch", "{\"player\":\"127.0.0.2\"}"), 200},
        {post("/launch", "{\"player\":\"127.0.0.3\"}"), 409},
        {post("/stop", "{\"stream\":7}"), 200},
        {post("/stop", "{\"stream\":8}"), 409},
        {post("/stop", "{\"stream\":\"x\"}"), 409},
        {post("/stop", "{\"stream\":7}", "text/plain"), 400},
        {"POST /stop HTTP/1.1\r\nHost: 127.0.0.1:12180\r\nContent-Type: application/json\r\n\r\n{\"stream\":7}", 403},
        {"GET /launch?" + T + " HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n\r\n", 405},
    };
    for (const auto &c : cases) EXPECT_EQ(status_of(loopback, c.request), c.status) << c.request;
    EXPECT_EQ(calls, (std::vector<std::string>{"launch 127.0.0.2", "launch 127.0.0.3", "stop 7", "stop 8"}));
    EXPECT_NE(panel_status_json().find("\"name\":\"Kids' \\u003c/script> \\\"Room\\\"\""), std::string::npos)
        << panel_status_json();
    pal_panel_status_source(nullptr);
}

TEST(Panel, KeptTokenIsTakenOnlyWhole)
{
    EXPECT_EQ(panel_kept_token("http://127.0.0.1:12180/?token=00112233445566778899aabbccddeeff\n"),
              "00112233445566778899aabbccddeeff");
    for (const char *bad : {"", "http://127.0.0.1:12180/", "http://x/?token=00112233445566778899aabbccddeef",
                            "http://x/?token=00112233445566778899AABBCCDDEEFF", "?token=0011223344556677889zaabbccddeeff"})
        EXPECT_EQ(panel_kept_token(bad), "") << bad;
}

TEST(Panel, JsonReader)
{
    std::map<std::string, std::string> f;
    ASSERT_TRUE(panel_parse_json(" {\"a\" : \"x\\\"\\\\\\/\\n\\u00e9\\ud83d\\ude00\", \"n\":-12,\"t\":true,\"z\":null} ", f));
    EXPECT_EQ(f["a"], "x\"\\/\n\xc3\xa9\xf0\x9f\x98\x80");
    EXPECT_EQ(f["n"], "-12");
    EXPECT_EQ(f["t"], "1");
    EXPECT_EQ(f["z"], "");
    for (const char *bad : {"", "{", "[]", "{\"a\":{}}", "{\"a\":[1]}", "{\"a\":1,}", "{\"a\" 1}", "{a:1}",
                            "{\"a\":\"\\ud83d\"}", "{\"a\":\"\\udc00\"}", "{\"a\":\"\\x\"}", "{\"a\":\"\x01\"}",
                            "{\"a\":1} x", "{\"a\":1.5}", "{\"a\":1234567890123}", "{\"a\":-}"}) {
        std::map<std::string, std::string> g;
        EXPECT_FALSE(panel_parse_json(bad, g)) << bad;
    }
}
