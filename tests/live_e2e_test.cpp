/*
** Live streams end to end: the real program with the distribution's VLC,
** spoken to as the channel speaks (cookies, keep-alive).
*/
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "helpers.h"
#include "roku_channel.h"

namespace {

/* Runs a command; its standard output, or "" when it failed. */
std::string run(const std::string &cmd)
{
    FILE *p = popen(cmd.c_str(), "r");
    std::string out = p ? stream_text(p) : "";
    return p && pclose(p) == 0 ? out : "";
}

/* The VLC processes whose command line holds needle (a server's home). */
std::vector<pid_t> vlc_pids(const std::string &needle)
{
    std::vector<pid_t> pids;
    for (auto &e : std::filesystem::directory_iterator("/proc")) {
        std::string cmd = read_file(e.path().string() + "/cmdline");
        if (!cmd.compare(0, 5, "./vlc") && cmd.find(needle) != std::string::npos)
            pids.push_back(atoi(e.path().filename().c_str()));
    }
    return pids;
}

/* Hides VLC from the server: its folders are empty in a mount namespace
** of the server's own. */
void hide_vlc(void)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(126);
    for (const char *dir : {"/usr/bin", "/usr/local/bin"})
        if (mount("tmpfs", dir, "tmpfs", 0, nullptr) != 0) _exit(126);
}

/* A server with transcoding on and a Movies link; VLC runs as an
** unprivileged account, so the movies are made readable for it. */
struct Live {
    Program v;
    int port = 0;
    std::string home, movies;

    /* The movies are made here, or those of another server are linked. */
    explicit Live(int network, const Live *other = nullptr, bool without_vlc = false)
    {
        movies = other ? other->movies : temp_folder() + "/Movies";
        if (!other) std::filesystem::create_directories(movies), chmod(movies.c_str(), 0755),
                    chmod(std::filesystem::path(movies).parent_path().c_str(), 0755);
        if (without_vlc) write_file(movies + "/clip.mkv", "not really a movie");
        else if (!other) run(std::string(VELMORA_SOURCE_DIR) + "/tests/data/make_live_sources.sh '" + movies + "'");
        home = home_with_config("[Velmora]\r\nIPadrs=127.0.0.1\r\nPort=0\r\nTranscode=1\r\nVLC_Stream=" +
                                std::to_string(network) + "\r\n[Links]\r\nMovies=" + movies + "\r\n");
        chmod(home.c_str(), 0755);
        if (without_vlc) v.in_child = hide_vlc;
        v.start({"-s", "-t"}, home);
        port = v.wait_port("127.0.0.1");
    }
};

Live *file_mode;

class LiveStream : public ::testing::Test {
protected:
    static void SetUpTestSuite() { file_mode = new Live(0); }
    static void TearDownTestSuite() { delete file_mode; }
    Channel ch;
    Live *srv = nullptr;
    void SetUp() override { use(file_mode); }
    void use(Live *l)
    {
        srv = l;
        ASSERT_GT(l->port, 0) << l->v.output();
        ch.port = l->port;
    }
    Channel_Answer ask(const char *method, const std::string &target)
    {
        Channel_Answer a;
        return ch.request(method, target, a), a;
    }

    /* HEAD on a movie: the stream number of the redirect; its target. */
    int start(const std::string &movie, std::string &target)
    {
        Channel_Answer a = ask("HEAD", "/Roku/Movies/" + movie);
        const std::string loc = "Location: http://127.0.0.1:" + std::to_string(srv->port);
        size_t at = a.head.find(loc);
        EXPECT_EQ(a.head.compare(0, 28, "HTTP/ 301 Moved Permanently\n"), 0) << a.head;
        if (at == std::string::npos) return 0;
        target = a.head.substr(at + loc.size(), a.head.find('\n', at) - at - loc.size());
        size_t s = target.rfind("/stream");
        EXPECT_EQ(target.substr(0, s), std::filesystem::path(srv->home).string() + "/My%20Roku/Live%20Stream");
        return atoi(target.c_str() + s + 7);
    }

    /* Follows the stream as the player does, to its end tag: every segment
    ** fetched once listed.  Returns the segments' bytes in order. */
    std::vector<std::string> follow(const std::string &main_target, int n)
    {
        std::vector<std::string> segs;
        Channel_Answer m = ask("GET", main_target);
        std::string files = "stream" + std::to_string(n) + "-Files.m3u8";
        EXPECT_NE(m.body.find("\r\n" + files + "\r\n"), std::string::npos) << m.body;
        std::string dir = main_target.substr(0, main_target.rfind('/') + 1);
        for (int round = 0; round < 300; round++) {
            std::string list = ask("GET", dir + files).body;
            size_t pos = 0;
            int k = 0;
            while ((pos = list.find(".ts\r\n", pos)) != std::string::npos) {
                if (++k > (int)segs.size()) {
                    std::string name = list.substr(list.rfind('\n', pos) + 1, pos + 3 - list.rfind('\n', pos) - 1);
                    segs.push_back(ask("GET", dir + name).body);
                }
                pos += 5;
            }
            if (list.find("#EXT-X-ENDLIST\r\n") != std::string::npos) return segs;
            usleep(100000);
        }
        ADD_FAILURE() << "no end tag";
        return segs;
    }

    /* Codecs and duration of each segment, by ffprobe; the total duration. */
    double check_segments(const std::vector<std::string> &segs)
    {
        std::string tmp = temp_folder() + "/seg.ts";
        double total = 0;
        for (size_t k = 0; k < segs.size(); k++) {
            write_file(tmp, segs[k]);
            std::string probe = run("ffprobe -v quiet -show_entries stream=codec_name:format=duration -of "
                                    "default=nw=1:nk=1 '" + tmp + "'");
            EXPECT_TRUE(probe.find("h264\n") != probe.npos && probe.find("aac\n") != probe.npos) << k + 1 << probe;
            total += atof(probe.c_str() + probe.rfind('\n', probe.size() - 2) + 1);
        }
        return total;
    }
};

}  // namespace

/* H.264/AAC in Matroska and MPEG-2 in AVI both play as live streams with
** consecutive numbers; the Location the server sent is followed as sent;
** a real HLS client then reads the finished stream to its end. */
TEST_F(LiveStream, MoviesPlayAsLiveStreams)
{
    int last = 0;
    std::string target;
    for (auto m : {std::make_pair("clip.mkv", 4.0), std::make_pair("clip.avi", 3.0)}) {
        int n = start(m.first, target);
        ASSERT_TRUE(n > 0 && (!last || n == last + 1)) << m.first << " " << n;
        last = n;
        EXPECT_NEAR(check_segments(follow(target, n)), m.second, 1.0) << m.first;
    }
    /* ffmpeg as the player, with a fixed cookie for every request. */
    ch.close_connection();
    std::string cookie = Channel::cookie(0x7F000001, ch.sequence);
    std::string got = run("ffmpeg -v error -headers 'Cookie: " + cookie + "\r\n' -i 'http://127.0.0.1:" +
                          std::to_string(srv->port) + target + "' -c copy -f null - 2>&1 && echo done");
    EXPECT_EQ(got, "done\n");
    EXPECT_TRUE(eventually([&] { return vlc_pids(srv->home).empty(); }, 10));
}

/* A delivered segment removes the one ten places earlier, not one nine;
** only segments of the live-stream folder go, and a 404 removes nothing. */
TEST_F(LiveStream, DeliveredSegmentsRemoveOlderOnes)
{
    std::string live = srv->home + "/My Roku/Live Stream/";
    std::filesystem::create_directories(live);
    for (int k = 1; k <= 11; k++)
        write_file(live + "stream900-" + std::string(k < 10 ? 5 : 4, '0') + std::to_string(k) + ".ts", "x");
    std::string url = "/Roku/Live%20Stream/stream900-";
    EXPECT_EQ(ask("GET", url + "000010.ts").body, "x");
    EXPECT_TRUE(std::filesystem::exists(live + "stream900-000001.ts"));
    EXPECT_EQ(ask("GET", url + "000011.ts").body, "x");
    EXPECT_FALSE(std::filesystem::exists(live + "stream900-000001.ts"));
    EXPECT_EQ(ask("GET", url + "000012.ts").status, 404);
    EXPECT_TRUE(std::filesystem::exists(live + "stream900-000002.ts"));
    for (auto k : {"01", "11"}) write_file(srv->movies + "/stream1-0000" + k + ".ts", "m");
    EXPECT_EQ(ask("GET", "/Roku/Movies/stream1-000011.ts").body, "m");
    EXPECT_TRUE(std::filesystem::exists(srv->movies + "/stream1-000001.ts"));
}

/* A movie that is not there is missing and starts nothing.  Another
** player's kill and new stream leave a stream that is being fetched alone;
** its own player may start the next, and once it ends that, the other may. */
TEST_F(LiveStream, OnlyItsOwnPlayerEndsAStream)
{
    std::string target;
    int n = start("long.mkv", target);
    ASSERT_GT(n, 0);
    EXPECT_EQ(ask("HEAD", "/Roku/Movies/none.mkv").head.compare(0, 13, "HTTP/1.1 404 "), 0);
    Channel other;
    other.port = srv->port;
    other.source = "127.0.0.2";
    Channel_Answer a;
    other.request("HEAD", target + ".kill", a);
    other.close_connection();
    other.request("HEAD", "/Roku/Movies/clip.mkv", a);
    EXPECT_EQ(a.head.compare(0, 13, "HTTP/1.1 200 "), 0) << a.head;
    EXPECT_TRUE(std::filesystem::exists(srv->home + "/My Roku/Live Stream/stream" + std::to_string(n) + "-Main.m3u8"));
    EXPECT_EQ(start("clip.mkv", target), n + 1);
    ask("HEAD", target + ".kill");
    other.close_connection();
    other.request("HEAD", "/Roku/Movies/clip.mkv", a);
    EXPECT_EQ(a.status, 301) << a.head;
    other.close_connection();
    other.request("HEAD", "/Roku/Movies/clip.mkv.kill", a);
}

/* The server as root keeps the live-stream folder its own: VLC's account
** can plant no name in it, links put there (by root, for the proof) are
** replaced rather than written through, and a folder handed to that account
** before (as older versions did) is refused and then taken back, empty. */
TEST_F(LiveStream, NoNameInTheLiveFolderIsAnotherAccounts)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root and the nobody account";
    auto as_nobody = [](const std::string &cmd) {
        return system(("setpriv --reuid=nobody --regid=nogroup --clear-groups " + cmd + " 2>/dev/null").c_str());
    };
    std::string live = srv->home + "/My Roku/Live Stream", victim = temp_folder() + "/victim", target;
    write_file(victim, "mine");
    int n = start("long.mkv", target);
    ASSERT_GT(n, 0);
    for (int k = 2; k <= 40; k++) {
        char seg[64];
        snprintf(seg, sizeof seg, "/stream%d-%06d.ts", n, k);
        symlink(victim.c_str(), (live + seg).c_str());
    }
    EXPECT_GT(follow(target, n).size(), 2u);
    EXPECT_TRUE(read_file(victim) == "mine");
    EXPECT_NE(as_nobody("ln -s / '" + live + "/rootfs'"), 0);

    chown(live.c_str(), 65534, 65534);
    EXPECT_EQ(as_nobody("ln -s / '" + live + "/rootfs'"), 0);
    std::string dir = target.substr(0, target.rfind('/') + 1);
    EXPECT_EQ(ask("GET", dir + "rootfs/etc/shadow").body.find("root:"), std::string::npos);
    EXPECT_EQ(start("clip.mkv", target), n + 1);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(live + "/rootfs")));
}

/* VLC killed half way: the stream still gets its end tag, and the next HEAD
** starts a new stream.  The kill HEAD then stops VLC and answers nothing. */
TEST_F(LiveStream, KilledVlcAndTheKillRequest)
{
    std::string target;
    int n = start("long.mkv", target);
    ASSERT_GT(n, 0);
    for (pid_t p : vlc_pids(srv->home)) kill(p, SIGKILL);
    std::string list = srv->home + "/My Roku/Live Stream/stream" + std::to_string(n) + "-Files.m3u8";
    EXPECT_TRUE(eventually([&] { return read_file(list).find("#EXT-X-ENDLIST") != std::string::npos; }, 20));

    int next = start("long.mkv", target);
    EXPECT_EQ(next, n + 1);
    Channel_Answer a = ask("HEAD", target + ".kill");
    EXPECT_TRUE(a.head.empty()) << a.head;
    EXPECT_TRUE(eventually([&] { return vlc_pids(srv->home).empty(); }, 10));
}

/* Network mode: VLC serves the stream on 127.0.0.1 and the segmenter reads
** it from there; a server that ends takes its VLC with it. */
TEST_F(LiveStream, NetworkModeAndExit)
{
    Live net(1, file_mode);
    use(&net);
    std::string target;
    int n = start("clip.mkv", target);
    ASSERT_GT(n, 0);
    std::vector<std::string> segs = follow(target, n);
    /* VLC's HTTP output starts a client at the current point, so what VLC
    ** served before the segmenter connected is not in the stream. */
    double total = check_segments(segs);
    EXPECT_GT(total, 1.0);
    EXPECT_LT(total, 5.0);

    std::string port = "dst=127.0.0.1:" + std::to_string(5000 + start("long.mkv", target));
    EXPECT_EQ(vlc_pids(port).size(), 1u);
    EXPECT_EQ(net.v.stop(SIGTERM), 0);
    EXPECT_TRUE(eventually([&] { return vlc_pids(port).empty(); }, 10));
}

/* Without VLC (hidden from the server) the HEAD gets the movie's own
** headers, the alert says so, and the folder stays unset so that the next
** request searches again. */
TEST_F(LiveStream, MissingVlcGivesTheAlertAndTheMoviesHeaders)
{
    if (geteuid() != 0) GTEST_SKIP() << "hiding VLC needs a mount namespace";
    Live bare(0, nullptr, true);
    use(&bare);
    Channel_Answer a = ask("HEAD", "/Roku/Movies/clip.mkv");
    EXPECT_EQ(a.head.compare(0, 13, "HTTP/1.1 200 "), 0) << a.head;
    EXPECT_NE(a.head.find("Content-length: 18\n"), std::string::npos) << a.head;
    EXPECT_NE(read_file(bare.home + "/stderr.txt").find("Unable to access VLC"), std::string::npos);
    EXPECT_EQ(bare.v.stop(SIGTERM), 0);
    EXPECT_NE(read_file(bare.v.roku + "/Velmora.ini").find("VLC_Path=\r\n"), std::string::npos);
}
