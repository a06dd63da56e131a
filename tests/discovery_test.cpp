/*
** Discovery and the channel launch: the datagram rules on their own, and
** the real program in the test's network namespace among fake Roku players
** (real channel lists), minidlna and gssdp-discover.
*/
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "discovery/launch.h"
#include "discovery/ssdp.h"
#include "helpers.h"
#include "subs/text.h"

namespace {

const std::string data_dir = std::string(VELMORA_SOURCE_DIR) + "/tests/data/real/roku-ecp/";

/* A player's answer to a roku:ecp search, as the protocol's documentation
** gives it, at the player's address. */
std::string roku_reply(const std::string &adrs)
{
    return "HTTP/1.1 200 OK\r\nCache-Control: max-age=300\r\nST: roku:ecp\r\nLocation: http://" + adrs +
           "/\r\nUSN: uuid:roku:ecp:P0A070000007\r\n\r\n";
}

/* A real channel list with one more channel before its end. */
std::string apps_with(const std::string &file, const std::string &lines)
{
    std::string xml = read_file(data_dir + file);
    return xml.insert(xml.rfind("</apps>"), lines);
}

struct Ssdp : ::testing::Test {
    Ssdp_Run r{};
    void SetUp() override
    {
        fndcnt = 0;
        DLNA_Cnt = 0;
        IP_Select = 0;
        IP_cnt = 1;
        scopy(IP_Adrs[0], IP_TXT, "192.168.1.10");
        My_Port = 8123;
    }
    void hear(const std::string &d, time_t tm = 100)
    {
        int n = (int)std::min(d.size(), (size_t)SSDP_BUF - 1);
        memcpy(r.buf, d.data(), (size_t)n);
        UPNP_Datagram(&r, n, tm);
    }
    std::string notify_text(void) { return std::string(r.buf, (size_t)UPNP_Notify_Text(&r)); }
};

}  // namespace

TEST_F(Ssdp, SearchAnswerIsDueAfterTheMxRule)
{
    for (auto [mx, due] : {std::pair{"MX: 3", 102}, {"MX: 10", 105}, {"mx:1", 102}, {"MX:   9", 104},
                          {"MX: x", 102}, {"MX: 99999999999", 100 + 2147483647 / 2}, {"ST: roku:ecp", 0}}) {
        r.respondtime = 0;
        hear(std::string("M-SEARCH * HTTP/1.1\r\nHost: 239.255.255.250:1900\r\n") + mx + "\r\n\r\n");
        EXPECT_EQ(r.respondtime, (time_t)due) << mx;
    }
    /* One answer at most: the later search moves it. */
    hear("M-SEARCH * HTTP/1.1\r\nMX: 10\r\n\r\n", 200);
    hear("M-SEARCH * HTTP/1.1\r\nMX: 3\r\n\r\n", 201);
    EXPECT_EQ(r.respondtime, 203);
    hear("m-search * HTTP/1.1\r\nMX: 3\r\n\r\n", 300);
    EXPECT_EQ(r.respondtime, 203);
}

/* A player named by a datagram waits for its check before it is recorded. */
TEST_F(Ssdp, LocationsAndPlayersAreRecordedOnce)
{
    r.rokutime = 50;
    hear(roku_reply("192.168.1.134:8060"));
    hear(roku_reply("192.168.1.134:8060"));
    ASSERT_EQ(r.checks, 1);
    EXPECT_STREQ(r.check[0].adrs, "192.168.1.134:8060");
    EXPECT_EQ(std::make_pair(r.rokutime, r.other), std::make_pair((time_t)0, 2));
    /* A real Roku's root-device answer names "Server: Roku/": a device, not
    ** a player. */
    hear("HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\nExt:\r\nServer: Roku/10.5.0 UPnP/1.0 Roku/10.5.0\r\n"
         "LOCATION: http://192.168.2.185:8060/\r\nWAKEUP: MAC=34:51:80:77:a0:f2;Timeout=10\r\n\r\n");
    hear("NOTIFY * HTTP/1.1\r\nLOCATION:   http://127.0.0.1:2869/desc.xml  \r\nNTS: ssdp:alive\r\n\r\n");
    hear("NOTIFY * HTTP/1.1\r\nLocation: *\r\nNTS: ssdp:byebye\r\n\r\n");
    /* What follows the location line is cut off before the player test. */
    hear("NOTIFY * HTTP/1.1\r\nLOCATION: http://10.0.0.5:8060/\r\nServer: Roku 9.0\r\n\r\n");
    hear("NOTIFY * HTTP/1.1\r\nServer: Roku 9.0\r\nLocation: http://300.1.2.3:70000/\r\n\r\n");
    hear("NOTIFY * HTTP/1.1\r\nNT: roku:ecp\r\nLocation: http://10.0.0.6/\r\n\r\n");
    hear("BYE\r\n\r\n");
    hear("");
    EXPECT_EQ(r.notify, 5);
    EXPECT_EQ(std::make_pair(r.checks, fndcnt.load()), std::make_pair(2, 0));
    EXPECT_STREQ(r.check[1].adrs, "44.1.2.3:70000");
    std::vector<std::string> want = {"http://192.168.1.134:8060/", "http://192.168.2.185:8060/",
                                     "http://192.168.1.10:2869/desc.xml", "http://10.0.0.5:8060/",
                                     "http://300.1.2.3:70000/", "http://10.0.0.6/"};
    ASSERT_EQ(DLNA_Cnt, (int)want.size());
    for (int i = 0; i < DLNA_Cnt; i++) EXPECT_EQ(DLNA[i], want[(size_t)i]);
}

TEST_F(Ssdp, NotifyListsUrlsHeardInTheLastThreeCycles)
{
    r.pass = 5;
    hear(roku_reply("10.1.1.1:8060"));
    const std::string head =
        "NOTIFY * HTTP/1.1\r\nHost: 239.255.255.250:1900\r\nCache-Control: max-age=300\r\nNT: upnp:rootdevice\r\n"
        "NTS: ssdp:alive\r\nSERVER: Velmora Server 2.0.14.0\r\nLocation: http://192.168.1.10:8123/Roku/\r\n"
        "USN: uuid:7F248787-B5DF-4C7B-8C9A-00DDEE3B9242::upnp:rootdevice\r\n\r\nDLNA LOCATIONS:\r\n";
    for (r.pass = 5; r.pass <= 7; r.pass++) EXPECT_EQ(notify_text(), head + "http://10.1.1.1:8060/\r\n\r\n");
    EXPECT_EQ(notify_text(), head + "\r\n");
    /* A full table makes room in a URL no longer listed; a byebye ends one. */
    for (int i = 0; i < MAX_DLNA; i++) hear("NOTIFY * HTTP/1.1\r\nLOCATION: http://10.2.0.1/" + std::to_string(i) + "\r\n");
    r.pass += 3;
    hear(roku_reply("10.1.1.2:8060"));
    EXPECT_EQ(notify_text(), head + "http://10.1.1.2:8060/\r\n\r\n");
    hear("NOTIFY * HTTP/1.1\r\nNTS: ssdp:byebye\r\nUSN: uuid:roku:ecp:P0A070000007\r\n\r\n");
    EXPECT_EQ(notify_text(), head + "\r\n");
}

/* A player is recorded once its ECP port answers the query, and forgotten
** when it is not heard for a minute or says byebye. */
TEST_F(Ssdp, PlayersAreCheckedFirstAndForgottenWhenGone)
{
    int ecp = bound_socket(SOCK_STREAM, "127.0.0.21", 8060);
    std::string asked(100, 0);
    std::thread player([&] {
        int c = accept(ecp, nullptr, nullptr);
        asked.resize((size_t)std::max(recv(c, &asked[0], asked.size(), 0), (ssize_t)0));
        send(c, "HTTP/1.1 200 OK\r\n\r\n", 19, MSG_NOSIGNAL);
        close(c);
    });
    hear(roku_reply("127.0.0.22:8060"));    /* nothing there */
    hear(roku_reply("127.0.0.21:8060"));
    ASSERT_TRUE(eventually([&] { return UPNP_Checks(&r, 100), r.checks == 0; }, 20));
    player.join();
    close(ecp);
    EXPECT_EQ(asked, ECP_Query);
    ASSERT_EQ(fndcnt.load(), 1);
    EXPECT_STREQ(found[0], "127.0.0.21:8060");
    hear(roku_reply("127.0.0.21:8060"), 130);
    UPNP_Age(190);
    EXPECT_EQ(fndcnt.load(), 1);
    UPNP_Age(191);
    EXPECT_EQ(fndcnt.load(), 0);
}

/* A reply that ends right after "id=" gives an empty id: nothing past its
** end is read (it could go back to the player in the launch). */
TEST(Launch, AppIdAtTheVeryEndStaysInTheReply)
{
    const char text[] = "<apps>\nVelmora id=\0XYZ\"";
    char appid[APPID_TXT] = "unset";
    EXPECT_EQ(ecp_appid(text, appid), 1);
    EXPECT_STREQ(appid, "");
}

namespace {

/* A fake Roku player: ECP on port 8060, answering the channel list in two
** writes (status and headers, then the list), and the channel's UDP port. */
struct Fake_Roku {
    std::string addr, apps;
    int tcp = -1, udp = -1;
    std::vector<std::string> requests = {}, notifies = {};
};

/* The fake players in a thread of their own, and a listener in the SSDP
** group that answers roku:ecp searches for them and keeps every datagram
** it hears (in heard). */
struct Fake_Net {
    std::vector<Fake_Roku> players;
    int group = -1;
    std::vector<std::string> heard;
    std::mutex mu;
    std::atomic<bool> done{false};
    std::atomic<int> dead{-1};    /* a player to unplug: its ECP port closes */
    std::thread th;

    void start(void)
    {
        for (Fake_Roku &p : players) {
            p.tcp = bound_socket(SOCK_STREAM, p.addr, 8060);
            p.udp = bound_socket(SOCK_DGRAM, p.addr, ROKU_UDP_PORT);
            EXPECT_TRUE(p.tcp >= 0 && p.udp >= 0) << p.addr;
        }
        EXPECT_GE(group = bound_socket(SOCK_DGRAM, "0.0.0.0", SSDP_PORT), 0);
        ip_mreq m{};
        inet_pton(AF_INET, "239.255.255.250", &m.imr_multiaddr);
        setsockopt(group, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
        th = std::thread([this] {
            while (!done) {
                if (dead >= 0) close(players[(size_t)dead].tcp), players[(size_t)dead].tcp = -1, dead = -2;
                std::vector<pollfd> fds = {{group, POLLIN, 0}};
                for (Fake_Roku &p : players)
                    fds.insert(fds.end(), {{p.tcp, POLLIN, 0}, {p.udp, POLLIN, 0}});
                poll(fds.data(), fds.size(), 50);
                if (fds[0].revents & POLLIN) on_group();
                for (size_t i = 0; i < players.size(); i++) {
                    if (fds[1 + 2 * i].revents & POLLIN) serve(players[i]);
                    if (fds[2 + 2 * i].revents & POLLIN) keep(players[i].notifies, take(players[i].udp, nullptr));
                }
            }
        });
    }
    void keep(std::vector<std::string> &into, const std::string &what) { std::lock_guard<std::mutex> g(mu); into.push_back(what); }
    static std::string take(int s, sockaddr_in *from)
    {
        char buf[65536];
        socklen_t n = sizeof *from;
        ssize_t len = recvfrom(s, buf, sizeof buf, 0, (sockaddr *)from, from ? &n : nullptr);
        return std::string(buf, len > 0 ? (size_t)len : 0);
    }
    void on_group(void)
    {
        sockaddr_in from{};
        std::string d = take(group, &from);
        keep(heard, d);
        for (Fake_Roku &p : players)
            if (d.rfind("M-SEARCH", 0) == 0 && d.find("ST: roku:ecp") != std::string::npos) {
                std::string a = roku_reply(p.addr + ":8060");
                sendto(group, a.data(), a.size(), 0, (sockaddr *)&from, sizeof from);
            }
    }
    void serve(Fake_Roku &p)
    {
        int c = accept4(p.tcp, nullptr, nullptr, SOCK_CLOEXEC);
        timeval tv = {10, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[4096];
        for (ssize_t n; (n = recv(c, buf, sizeof buf, 0)) > 0;) {
            keep(p.requests, std::string(buf, (size_t)n));
            bool get = buf[0] == 'G';
            std::string head = "HTTP/1.1 200 OK\r\n" + (get ? "Content-Length: " + std::to_string(p.apps.size()) + "\r\n" : "") + "\r\n";
            send(c, head.data(), head.size(), MSG_NOSIGNAL);
            if (!get) break;
            usleep(200000);    /* long enough for the launch to read the headers alone */
            send(c, p.apps.data(), p.apps.size(), MSG_NOSIGNAL);
        }
        close(c);
    }
    std::vector<std::string> requests(size_t i)
    {
        std::lock_guard<std::mutex> g(mu);
        return players[i].requests;
    }
    ~Fake_Net()
    {
        done = true;
        if (th.joinable()) th.join();
        for (Fake_Roku &p : players) close(p.tcp), close(p.udp);
        close(group);
    }
};

const std::string query = "GET /query/apps HTTP/1.1\r\n\r\n";

/* A child process ended with the test. */
struct Child {
    pid_t pid;
    ~Child() { kill(pid, SIGTERM), waitpid(pid, nullptr, 0); }
};

}  // namespace

/* The program among fake players and two real peers, in this test's network
** namespace; Connect pressed on its standard input. */
TEST(Discovery, ProgramFindsPlayersAnswersPeersAndLaunchesTheChannel)
{
    std::string home = home_with_config("[Velmora]\r\nIPadrs=127.0.0.9\r\nPort=0\r\nTrace=1\r\n");
    const std::string long_id = "1234567890123456789012";
    Fake_Net net;
    net.players = {{"127.0.0.2", apps_with("apps.xml", "<app id=\"111\">Velmora</app>\n<app id=\"222\">Velmora</app>\n")},
                   {"127.0.0.3", apps_with("apps-tv.xml", "<app id=\"" + long_id + "\">Velmora</app>\n")},
                   {"127.0.0.4", apps_with("apps.xml", "")},
                   {"127.0.0.5", apps_with("apps.xml", "")},
                   {"127.0.0.7", apps_with("apps.xml", "    <app id=\"70001\">Velmora</app>\n")}};
    net.start();
    Program v;
    v.start({"-s"}, home);
    const std::string port = std::to_string(v.wait_port("127.0.0.9"));
    ASSERT_NE(port, "0") << v.output();
    auto heard = [&](const std::string &what, size_t from) {
        std::lock_guard<std::mutex> g(net.mu);
        for (size_t i = from; i < net.heard.size(); i++)
            if (net.heard[i].find(what) != std::string::npos) return i + 1;
        return (size_t)0;
    };

    /* A search with MX 10 right after the program's own searches (MX 3)
    ** moves the one pending answer on (when, the Ssdp tests check), and it
    ** goes to the group. */
    size_t searched = 0, answer = 0;
    ASSERT_TRUE(eventually([&] { return (searched = heard("ST: urn:schemas-upnp-org:device:MediaServer:1", 0)) > 0; }, 10));
    std::string search = "M-SEARCH * HTTP/1.1\r\nHost: 239.255.255.250:1900\r\nST: ssdp:all\r\nMX: 10\r\n\r\n";
    sockaddr_in to{AF_INET, htons(SSDP_PORT), {htonl(SSDP_GROUP)}, {}};
    sendto(net.group, search.data(), search.size(), 0, (sockaddr *)&to, sizeof to);
    /* minidlna, started once the program searches (its group socket is open),
    ** so that it hears minidlna's start-up announcements: minidlna's answers
    ** name 0.0.0.0 here, and its next announcements come 15 minutes later. */
    write_file(home + "/dlna.conf", "network_interface=lo\nport=8200\nmedia_dir=" + home + "/My Roku\ndb_dir=" + home +
                                        "\nlog_dir=" + home + "\n");
    Child dlna{fork()};
    if (dlna.pid == 0) {
        freopen((home + "/dlna.out").c_str(), "w", stdout);
        dup2(1, 2);
        execlp("minidlnad", "minidlnad", "-d", "-f", (home + "/dlna.conf").c_str(), "-P", (home + "/pid").c_str(), nullptr);
        _exit(127);
    }
    /* Players made up by NOTIFYs: nothing answers at their ECP port, and
    ** nothing may be sent to their UDP port. */
    std::vector<int> victims;
    for (int i = 1; i <= 20; i++) {
        std::string a = "127.0.1." + std::to_string(i), d = "NOTIFY * HTTP/1.1\r\nNT: roku:ecp\r\nLocation: http://" + a + ":8060/\r\n\r\n";
        victims.push_back(bound_socket(SOCK_DGRAM, a, ROKU_UDP_PORT));
        EXPECT_GE(victims.back(), 0);
        sendto(net.group, d.data(), d.size(), 0, (sockaddr *)&to, sizeof to);
    }
    ASSERT_TRUE(eventually([&] { return (answer = heard("HTTP/1.1 200 OK", searched)) > 0; }, 12));
    std::unique_lock<std::mutex> lock(net.mu);
    EXPECT_EQ(net.heard[answer - 1],
              "HTTP/1.1 200 OK\r\nCache-Control: max-age=300\r\nST: upnp:rootdevice\r\n"
              "USN: uuid:7F248787-B5DF-4C7B-8C9A-00DDEE3B9242::upnp:rootdevice\r\nExt: \r\n"
              "SERVER: Velmora Server 2.0.14.0\r\nLOCATION: http://127.0.0.9:" + port + "/Roku/\r\n\r\n");
    lock.unlock();

    /* Each player gets the announcement, listing every player, the program
    ** itself and minidlna (its 127.0.0.1 made the server's address). */
    const std::string head =
        "NOTIFY * HTTP/1.1\r\nHost: 239.255.255.250:1900\r\nCache-Control: max-age=300\r\nNT: upnp:rootdevice\r\n"
        "NTS: ssdp:alive\r\nSERVER: Velmora Server 2.0.14.0\r\nLocation: http://127.0.0.9:" + port + "/Roku/\r\n"
        "USN: uuid:7F248787-B5DF-4C7B-8C9A-00DDEE3B9242::upnp:rootdevice\r\n\r\nDLNA LOCATIONS:\r\n";
    std::vector<std::string> all = {"127.0.0.9:" + port + "/Roku/", "127.0.0.9:8200/rootDesc.xml"};
    for (Fake_Roku &p : net.players) all.push_back(p.addr + ":8060/");
    for (Fake_Roku &p : net.players) {
        EXPECT_TRUE(eventually([&] {
            std::lock_guard<std::mutex> g(net.mu);
            for (const std::string &n : p.notifies) {
                bool full = n.rfind(head, 0) == 0 && n.substr(n.size() - 4) == "\r\n\r\n";
                for (const std::string &url : all) full = full && n.find("\nhttp://" + url + "\r\n") != std::string::npos;
                if (full) return true;
            }
            return false;
        }, 15)) << p.addr;
    }
    EXPECT_TRUE(v.wait_output("Roku 5 Device "));

    FILE *g = popen("timeout 20 gssdp-discover -i lo -t upnp:rootdevice -n 4 2>&1", "r");
    ASSERT_NE(g, nullptr);
    std::string seen = stream_text(g);
    pclose(g);
    EXPECT_NE(seen.find("Location: http://127.0.0.9:" + port + "/Roku/"), std::string::npos) << seen;

    for (int s : victims) {
        char b;
        EXPECT_LT(recv(s, &b, 1, MSG_DONTWAIT), 0);
        close(s);
    }

    /* Each player was checked once with the query.  The last Velmora line's
    ** id, cut to 19 characters; a list without Velmora gets no launch; an
    ** unplugged player is passed over and forgotten. */
    net.dead = 2;
    ASSERT_TRUE(eventually([&] { return net.dead == -2; }, 20));
    v.press("Connect");
    ASSERT_TRUE(eventually([&] { return net.requests(4).size() > 1 && net.requests(4).back()[0] == 'P'; }, 20));
    const std::string adrs = "?adrs=127.0.0.9-" + port + " HTTP/1.1\r\n\r\n";
    EXPECT_EQ(net.requests(0), (std::vector<std::string>{query, query, "POST /launch/222" + adrs}));
    EXPECT_EQ(net.requests(1), (std::vector<std::string>{query, query, "POST /launch/" + long_id.substr(0, 19) + adrs}));
    EXPECT_EQ(net.requests(3), (std::vector<std::string>{query, query}));
    EXPECT_EQ(net.requests(4), (std::vector<std::string>{query, query, "POST /launch/70001" + adrs}));
    EXPECT_TRUE(v.wait_output("Roku 4 Device ", 60));
    v.press("Exit");
    EXPECT_EQ(v.stop(0), 0);
}
