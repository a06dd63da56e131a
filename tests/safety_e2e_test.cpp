/*
** The server against a stranger on the network: no byte of a file outside
** the shared places leaves it, ranges promise only what is sent, a request
** in pieces is one request, and floods of connections, addresses and
** refusals neither end nor stall it.
*/
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "helpers.h"
#include "roku_channel.h"

using namespace std::string_literals;

namespace {

const char SECRET[] = "TOPSECRET";

/* A server sharing Media/Movies and Shows, a link to Drive/Shows; a secret
** lies beside Media, and links in Movies lead to it, to / and to /proc. */
struct Guarded {
    Program v;
    int port = 0;
    std::string home, movies;

    explicit Guarded(const std::string &ini_extra = "")
    {
        home = temp_folder();
        movies = home + "/Media/Movies";
        std::filesystem::create_directories(movies);
        write_file(home + "/secret.txt", SECRET);
        write_file(movies + "/clip.txt", "twenty-three bytes long");
        write_file(movies + "/escape.mp3x", home + "/secret.txt\n");   /* an alias out */
        mkfifo((movies + "/pipe").c_str(), 0644);
        symlink("/dev/zero", (movies + "/zero").c_str());
        std::filesystem::create_directories(home + "/Drive/Shows");
        write_file(home + "/Drive/Shows/ep.txt", "episode");
        for (auto [link, to] : {std::pair{"/Media/shows", "/Drive/Shows"}, {"/Media/Movies/shows", "/Drive/Shows"},
                                {"/Media/Movies/shadow_link", "/secret.txt"}})
            symlink((home + to).c_str(), (home + link).c_str());
        symlink("/", (movies + "/rootlink").c_str());
        symlink("/proc", (movies + "/proc_link").c_str());
        mkdir((home + "/My Roku").c_str(), 0755);
        write_file(home + "/My Roku/Velmora.ini", "[Velmora]\r\nIPadrs=127.0.0.1\r\nPort=0\r\n" + ini_extra +
                   "[Links]\r\nMovies=" + movies + "\r\nShows=" + home + "/Media/shows\r\n");
        v.start({"-s"}, home);
        port = v.wait_port("127.0.0.1");
    }
};

std::string strip_date(const std::string &head) { return std::regex_replace(head, std::regex("\nDate: [^\n]*"), ""); }

/* Bytes the server process has written so far (its own count). */
long long written(pid_t pid)
{
    std::string io = read_file("/proc/" + std::to_string(pid) + "/io");
    size_t p = io.find("wchar: ");
    return p == std::string::npos ? -1 : atoll(io.c_str() + p + 7);
}

/* Opens n connections to port from addr without waiting for them. */
std::vector<int> flood(int n, int port)
{
    std::vector<int> socks;
    for (int i = 0; i < n; i++) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons((uint16_t)port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(s, (sockaddr *)&sa, sizeof sa);
        socks.push_back(s);
    }
    return socks;
}

/* True once a channel gets "/" answered, trying for up to sec seconds. */
bool served(int port, int sec = 60, const std::string &source = "")
{
    return eventually([&] {
        Channel ch;
        ch.port = port;
        ch.source = source;
        Channel_Answer a;
        return ch.request("GET", "/", a) && a.status == 200;
    }, sec);
}

/* Raises the descriptor limit for a flood; returns the limit it was. */
rlimit wide_descriptors()
{
    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit wide = saved;
    wide.rlim_cur = std::min<rlim_t>(saved.rlim_max, 4096);
    setrlimit(RLIMIT_NOFILE, &wide);
    return saved;
}

/* A connection to the server's port from the loopback address source, with
** a receive buffer of rcvbuf bytes (0: the system's). */
int connect_from(const std::string &source, int port, int rcvbuf = 0)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (rcvbuf) setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in from = inet_address(source, 0), to = inet_address("127.0.0.1", port);
    bind(s, (sockaddr *)&from, sizeof from);
    connect(s, (sockaddr *)&to, sizeof to);
    return s;
}

/* n GETs of target from the address of ch, each on a socket of its own
** whose 4 KB receive buffer is never read.  They share one sequence
** number, as a player fetching a song again may.  Returns the sockets. */
std::vector<int> stalled_gets(Channel &ch, const std::string &target, int n)
{
    Channel_Answer a;
    if (!ch.request("GET", "/", a)) return {};
    std::string req = "GET " + target + " HTTP/1.1\r\nCookie: " + Channel::cookie(ch.local_address(), ++ch.sequence) +
                      "\r\n\r\n";
    std::vector<int> socks;
    for (int i = 0; i < n; i++) {
        socks.push_back(connect_from(ch.source, ch.port, 4096));
        send(socks.back(), req.data(), req.size(), MSG_NOSIGNAL);
    }
    return socks;
}

}  // namespace

/* Clients that never read: a thousand stalled GETs from one address
** cannot keep out a player served before, and a send that makes no
** progress ends its connection with a reset. */
TEST(Safety, StalledReadersLockNobodyOut)
{
    rlimit saved = wide_descriptors();
    Guarded g;
    ASSERT_GT(g.port, 0) << g.v.output();
    std::filesystem::resize_file(g.movies + "/clip.txt", 64 << 20);
    std::filesystem::rename(g.movies + "/clip.txt", g.movies + "/big.mp3");
    ASSERT_TRUE(served(g.port, 60, "127.0.0.2"));

    Channel attacker;
    attacker.port = g.port;
    attacker.source = "127.0.0.1";
    std::vector<int> held = stalled_gets(attacker, "/Roku/Movies/big.mp3", 1000);
    EXPECT_TRUE(served(g.port, 60, "127.0.0.2")) << "stalled readers keep a known player out";
    for (int s : held) close(s);
    EXPECT_EQ(g.v.stop(SIGTERM), 0);

    setenv("VELMORA_STALL_SECONDS", "1", 1);
    Guarded quick;
    unsetenv("VELMORA_STALL_SECONDS");
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_GT(quick.port, 0) << quick.v.output();
    std::filesystem::resize_file(quick.movies + "/clip.txt", 64 << 20);
    Channel ch;
    ch.port = quick.port;
    ch.source = "127.0.0.1";
    std::vector<int> one = stalled_gets(ch, "/Roku/Movies/clip.txt", 1);
    ASSERT_EQ(one.size(), 1u);
    pollfd p = {one[0], 0, 0};
    EXPECT_EQ(poll(&p, 1, 60000), 1) << "a stalled send never ends";
    EXPECT_TRUE(p.revents & (POLLERR | POLLHUP)) << p.revents;
    close(one[0]);
    EXPECT_EQ(quick.v.stop(SIGTERM), 0);
}

/* Every way out of the shared places is answered exactly as a missing file,
** with none of the secret's bytes. */
TEST(Safety, NoWayOutOfTheSharedPlaces)
{
    Guarded g;
    ASSERT_GT(g.port, 0) << g.v.output();
    Channel ch;
    ch.port = g.port;
    std::string abs = g.home + "/secret.txt";
    for (const std::string &target : std::vector<std::string>{abs, abs + "?info", "/etc/passwd", "/proc/self/environ", "/Roku/Movies/../../secret.txt",
          "/Roku/Movies/%2e%2e/%2e%2e/secret.txt", "/Roku/Movies/..%2f..%2fsecret.txt",
          "/Roku/Movies/%C0%AE%C0%AE/%C0%AE%C0%AE/secret.txt", "/Roku/../secret.txt", "/Roku/velmora.ini",
          "/Roku/Movies/pipe", "/Roku/Movies/zero", "/Roku/Movies/shadow_link", "/Roku/Movies/rootlink" + abs,
          "/Roku/Movies/proc_link/self/environ", "/Roku/Movies/rootlink/", "/Roku/Movies/rootlink" + abs + "?info", "//etc/*&s", "/etc/sha*", g.home + "/secret*",
          g.movies + "/../../secret.txt", g.movies + "/%2e%2e/..%2F..%2Fsecret.txt"}) {
        for (const char *range : {"", "Range: bytes=0-99\r\n"}) {
            Channel_Answer a, missing;
            ASSERT_TRUE(ch.request("GET", "/Roku/Movies/no-such-file", missing, range));
            ASSERT_EQ(missing.status, 404);
            ASSERT_TRUE(ch.request("GET", target, a, range)) << target;
            EXPECT_EQ(strip_date(a.head), strip_date(missing.head)) << target;
            EXPECT_EQ(a.body, missing.body) << target;
        }
    }
    /* Links are followed only into shared places, and listed only then;
    ** a shared folder may itself be a link. */
    Channel_Answer a;
    for (const char *inside : {"/Roku/Shows/ep.txt", "/Roku/Movies/shows/ep.txt"}) {
        ASSERT_TRUE(ch.request("GET", inside, a));
        EXPECT_EQ(a.body, "episode") << inside;
    }
    ASSERT_TRUE(ch.request("GET", "/Roku/Movies/", a));
    EXPECT_NE(a.body.find(">shows/</A>"), std::string::npos) << a.body;
    for (const char *out : {"shadow_link", "rootlink", "proc_link"}) EXPECT_EQ(a.body.find(out), std::string::npos) << a.body;
    /* An alias may not lead out either: its info is its own, not the secret's. */
    ASSERT_TRUE(ch.request("GET", "/Roku/Movies/escape.mp3x?info", a));
    EXPECT_EQ(a.body.find("secret"), std::string::npos) << a.body;
    EXPECT_EQ(a.body.find("location:" + g.movies + "/escape.mp3x\n"), 0u) << a.body;
    EXPECT_EQ(g.v.stop(SIGTERM), 0);
}

/* Ranges give the answer RFC 9110 gives; a request sent in two pieces is one
** request, not a cookie-less one that restarts the sequence.  (This server
** has "Confine=0": the old plain serving of any path is back.) */
TEST(Safety, RangesRequestsInPiecesAndConfineOff)
{
    Guarded g("Confine=0\r\n");
    ASSERT_GT(g.port, 0) << g.v.output();
    Channel ch;
    ch.port = g.port;
    Channel_Answer a;
    for (std::string way : {"/Roku/Movies/../../secret.txt"s, "/Roku/Movies/rootlink" + g.home + "/secret.txt"}) {
        ASSERT_TRUE(ch.request("GET", way, a));
        EXPECT_EQ(a.body, SECRET) << way;
    }
    const std::string clip = "twenty-three bytes long";
    struct { const char *range; int status; std::string length, content_range, body; } cases[] = {
        {"0-999999999999", 206, "23", "bytes 0-22/23", clip},
        {"-5", 206, "5", "bytes 18-22/23", clip.substr(18)},
        {"-100", 206, "23", "bytes 0-22/23", clip},
        {"23-", 416, "0", "bytes */23", ""},
        {"9-3", 416, "0", "bytes */23", ""},
        {"3-9", 206, "7", "bytes 3-9/23", clip.substr(3, 7)},
        {"-0", 416, "0", "bytes */23", ""},
        {"--5", 200, "23", "", clip},   /* no range at all: ignored */
    };
    for (auto &c : cases) {
        ASSERT_TRUE(ch.request("GET", "/Roku/Movies/clip.txt", a, "Range: bytes="s + c.range + "\r\n"));
        EXPECT_EQ(a.status, c.status) << c.range << "\n" << a.head;
        EXPECT_NE(a.head.find("\nContent-length: " + c.length + "\n"), std::string::npos) << a.head;
        size_t at = a.head.find("\nContent-range: ");
        EXPECT_EQ(at == std::string::npos ? "" : a.head.substr(at + 16, a.head.find('\n', at + 1) - at - 16),
                  c.content_range) << a.head;
        EXPECT_EQ(a.body, c.body) << c.range;
    }

    std::string req = "GET /Roku/Movies/clip.txt HTTP/1.1\r\nCookie: " +
                      Channel::cookie(ch.local_address(), ++ch.sequence) + "\r\n\r\n";
    int one = 1;
    setsockopt(ch.sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ASSERT_EQ(send(ch.sock, req.data(), 20, MSG_NOSIGNAL), 20);
    usleep(200000);   /* lets the first piece arrive alone */
    ASSERT_TRUE(ch.raw(req.substr(20), a));
    EXPECT_EQ(a.status, 200) << a.head;
    EXPECT_EQ(a.body, clip);
}

/* Floods: idle connections past the thread table, more client addresses
** than the access table holds, refusals by the hundred, and a descriptor
** limit of 64 under 200 connections.  The server stays up and serves. */
TEST(Safety, FloodsNeitherEndNorStallTheServer)
{
    rlimit saved = wide_descriptors();
    setenv("VELMORA_SLOT_QUIET_SECONDS", "0", 1);   /* a hung-up player is quiet at once */
    Guarded g;
    unsetenv("VELMORA_SLOT_QUIET_SECONDS");
    ASSERT_GT(g.port, 0) << g.v.output();

    /* A hundred players with connections open fill the address table: a
    ** 101st address is refused, the user told.  Once they hang up, fifty
    ** new addresses are given a start, each in a slot of its own. */
    std::vector<Channel> players(152);
    for (int i = 2; i < 152; i++) players[i].port = g.port, players[i].source = "127.0.0." + std::to_string(i);
    Channel_Answer a;
    for (int i = 2; i < 102; i++) ASSERT_TRUE(players[i].request("GET", "/", a) && a.status == 200) << i;
    const std::string made_up = "GET / HTTP/1.1\r\nCookie: " + Channel::cookie(0x7F000001, 5) + "\r\n\r\n";
    auto knock = [&](Channel &c) { return c.raw(made_up, a) ? a.status : 0; };
    EXPECT_EQ(knock(players[102]), 0);
    EXPECT_NE(read_file(g.home + "/stderr.txt").find("Connections Exceeded !"), std::string::npos);
    for (int i = 2; i < 102; i++) {   /* our end first: the server's close then says the slot is free */
        char b;
        shutdown(players[i].sock, SHUT_WR);
        while (recv(players[i].sock, &b, 1, 0) > 0) {}
        players[i].close_connection();
    }
    for (int i = 102; i < 152; i++) EXPECT_EQ(knock(players[i]), 301) << i;
    EXPECT_TRUE(served(g.port));

    std::vector<int> idle = flood(1200, g.port);
    EXPECT_TRUE(served(g.port)) << "an idle flood keeps the channel out";
    for (int s : idle) close(s);

    /* A storm of refusals writes its log lines and nothing else. */
    int refusals = 0;
    std::smatch m;
    for (std::string out = g.v.output(); std::regex_search(out, m, std::regex("Warning (\\d+) Intruder"));
         out = m.suffix())
        refusals = std::stoi(m[1]);
    long long before = written(g.v.pid);
    std::vector<int> storm;
    for (int i = 0; i < 200; i++) storm.push_back(connect_from("127.0.0." + std::to_string(20 + i % 5), g.port));
    std::string bad = "GET / HTTP/1.1\r\nCookie: " + std::string(39, 'f') + "\r\n\r\n";
    for (int s : storm) send(s, bad.data(), bad.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(g.v.wait_output("Warning " + std::to_string(refusals + 200) + " Intruder Attempts Detected !"));
    EXPECT_LT(written(g.v.pid) - before, 200 * 200) << "bytes written for 200 refusals";
    for (int s : storm) close(s);
    EXPECT_TRUE(served(g.port));
    EXPECT_EQ(g.v.stop(SIGTERM), 0);
    setrlimit(RLIMIT_NOFILE, &saved);

    /* 64 descriptors, 200 connections: some are refused, then all is well. */
    rlimit tight = saved;
    tight.rlim_cur = 64;
    setrlimit(RLIMIT_NOFILE, &tight);
    Guarded small;
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_GT(small.port, 0) << small.v.output();
    std::vector<int> many = flood(200, small.port);
    for (int s : many) send(s, "GET / HTTP/1.1\r\n\r\n", 18, MSG_NOSIGNAL);
    usleep(500000);
    for (int s : many) close(s);
    EXPECT_TRUE(served(small.port));
    EXPECT_EQ(small.v.stop(SIGTERM), 0);
}

/* An import cut short leaves the library due, even where the saved time of
** the library says otherwise.  A full disk is reported and the server serves
** on, Velmora.ini as it was; after a kill with room, the next start imports
** again, whole, and serves it. */
TEST(Safety, ImportCutShortIsDoneAgainAtTheNextStart)
{
    std::string home = temp_folder(), itunes = home + "/iTunes", music = home + "/Music", roku = home + "/My Roku";
    for (const std::string &d : {itunes, music, roku}) std::filesystem::create_directories(d);
    ASSERT_TRUE(mount_small(roku, "1200k"));
    write_file(music + "/song.mp3", "song");
    std::string songs;
    for (int i = 0; i < 20000; i++)
        songs += itunes_song(100 + i, "Song " + std::to_string(i), "Artist " + std::to_string(i % 700),
                             "Album " + std::to_string(i % 2000), music + "/song.mp3");
    write_file(itunes + "/iTunes Music Library.xml", itunes_library(songs));
    std::string ini = "[Velmora]\r\nIPadrs=127.0.0.1\r\nPort=0\r\niTunes_Path=" + itunes +
                      "\r\n[Panel]\r\nAddress=127.0.0.1\r\nPort=0\r\n";
    write_file(roku + "/Velmora.ini", ini);
    {
        Program full;
        full.start({"-s"}, home);
        int port = full.wait_port("127.0.0.1", 120);
        ASSERT_GT(port, 0) << full.output();
        EXPECT_TRUE(served(port));
        EXPECT_NE(read_file(home + "/stderr.txt").find("iTunes tables could not be written: No space left"),
                  std::string::npos);
        EXPECT_EQ(read_file(roku + "/Velmora.ini"), ini);
        std::string cut = read_file(roku + "/iTunes Tables/songs.txt");   /* whole or none */
        EXPECT_TRUE(cut.empty() || std::count(cut.begin(), cut.end(), '\n') == 20000) << cut.size();
        full.stop(SIGTERM);   /* its last save meets the full disk too */
    }
    ASSERT_TRUE(mount_small(roku, "256m", true));
    struct stat st;
    stat((itunes + "/iTunes Music Library.xml").c_str(), &st);
    write_file(roku + "/Velmora.ini", ini += "iTunes_Time=" + std::to_string(st.st_mtime) + "\r\n");
    std::string track = roku + "/iTunes Tables/Track-10100.txt";
    std::filesystem::remove(track);
    {
        Program v;
        v.start({"-s"}, home);
        for (int i = 0; i < 4000 && !std::filesystem::exists(track); i++) usleep(5000);
        EXPECT_EQ(v.stop(SIGKILL), 128 + SIGKILL);
    }
    EXPECT_EQ(read_file(roku + "/Velmora.ini"), ini);
    Program again;
    again.start({"-s"}, home);
    Channel ch;
    ch.port = again.wait_port("127.0.0.1", 120);
    Channel_Answer a;
    ASSERT_TRUE(ch.request("GET", "/iTunes%20Tables/songs.txt", a)) << again.output();
    EXPECT_EQ(std::count(a.body.begin(), a.body.end(), '\n'), 20000);
    EXPECT_EQ(a.body, read_file(roku + "/iTunes Tables/songs.txt"));
    EXPECT_EQ(again.stop(SIGTERM), 0);
    EXPECT_EQ(system(("umount '" + roku + "'").c_str()), 0);
}
