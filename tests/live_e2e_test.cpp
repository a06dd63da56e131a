/*
** Live streams end to end: the real program with transcoding on and the
** distribution's VLC, spoken to as the channel speaks (cookies, keep-alive).
** A HEAD on a movie redirects to a main playlist; the segments it leads to
** are H.264 and AAC and add up to the movie; a real HLS client reads the
** stream to its end; stopping, killing and exiting leave no VLC behind.
*/
#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "helpers.h"
#include "roku_channel.h"

namespace {

/* Runs a command; its standard output, or "" when it failed. */
std::string run(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    return pclose(p) == 0 ? out : "";
}

/* The VLC processes working for the server whose home is home. */
std::vector<pid_t> vlc_pids(const std::string &home)
{
    std::vector<pid_t> pids;
    DIR *d = opendir("/proc");
    while (dirent *e = d ? readdir(d) : nullptr) {
        if (!isdigit((unsigned char)e->d_name[0])) continue;
        std::string cmd = read_file(std::string("/proc/") + e->d_name + "/cmdline");
        if (cmd.compare(0, 5, "./vlc") == 0 && cmd.find(home) != std::string::npos) pids.push_back(atoi(e->d_name));
    }
    if (d) closedir(d);
    return pids;
}
size_t vlc_count(const std::string &home) { return vlc_pids(home).size(); }

/* Waits up to sec seconds for pred. */
template <class F> bool wait_for(F pred, int sec)
{
    for (int i = 0; i < sec * 10; i++) {
        if (pred()) return true;
        usleep(100000);
    }
    return pred();
}

struct Live {
    Program v;
    int port = 0;
    std::string home, movies;

    explicit Live(int network)
    {
        home = temp_folder();
        movies = home + "/Movies";
        std::filesystem::create_directories(movies);
        /* VLC runs as an unprivileged account: it must reach the movies. */
        chmod(home.c_str(), 0755);
        chmod(movies.c_str(), 0755);
        run(std::string(VELMORA_SOURCE_DIR) + "/tests/data/make_live_sources.sh '" + movies + "' && echo ok");
        std::string roku = home + "/My Roku";
        mkdir(roku.c_str(), 0755);
        write_file(roku + "/Velmora.ini", "[Velmora]\r\nIPadrs=127.0.0.1\r\nPort=0\r\nTranscode=1\r\nVLC_Stream=" +
                                              std::to_string(network) + "\r\n[Links]\r\nMovies=" + movies + "\r\n");
        v.start({"-s", "-t"}, home);
        if (v.wait_output("Server - 127.0.0.1:")) {
            std::string out = v.output();
            port = atoi(out.c_str() + out.find("Server - 127.0.0.1:") + 19);
        }
    }
};

Live *file_mode;

class LiveStream : public ::testing::Test {
protected:
    static void SetUpTestSuite() { file_mode = new Live(0); }
    static void TearDownTestSuite()
    {
        delete file_mode;
        file_mode = nullptr;
    }
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
        ch.request(method, target, a);
        return a;
    }

    /* HEAD on a movie: the stream number of the redirect, and its target. */
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
            std::string codecs = run("ffprobe -v quiet -show_entries stream=codec_name -of csv=p=0 '" + tmp + "'");
            EXPECT_NE(codecs.find("h264"), std::string::npos) << "segment " << k + 1;
            EXPECT_NE(codecs.find("aac"), std::string::npos) << "segment " << k + 1;
            total += atof(run("ffprobe -v quiet -show_entries format=duration -of csv=p=0 '" + tmp + "'").c_str());
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
    struct {
        const char *movie;
        double seconds;
    } movies[] = {{"clip.mkv", 4}, {"clip.avi", 3}};
    int last = 0;
    std::string target;
    for (auto &m : movies) {
        int n = start(m.movie, target);
        ASSERT_GT(n, last) << m.movie;
        if (last) {
            EXPECT_EQ(n, last + 1);
        }
        last = n;
        std::vector<std::string> segs = follow(target, n);
        ASSERT_FALSE(segs.empty());
        EXPECT_NEAR(check_segments(segs), m.seconds, 1.0) << m.movie;
    }
    /* ffmpeg as the player, with a fixed cookie for every request. */
    ch.close_connection();
    std::string cookie = Channel::cookie(0x7F000001, ch.sequence);
    std::string got = run("ffmpeg -v error -headers 'Cookie: " + cookie + "\r\n' -i 'http://127.0.0.1:" +
                          std::to_string(srv->port) + target + "' -c copy -f null - 2>&1 && echo done");
    EXPECT_EQ(got, "done\n");
    EXPECT_TRUE(wait_for([&] { return vlc_count(srv->home) == 0u; }, 10));
}

/* A delivered segment removes the one ten places earlier, not one nine. */
TEST_F(LiveStream, DeliveredSegmentsRemoveOlderOnes)
{
    std::string live = srv->home + "/My Roku/Live Stream/";
    std::filesystem::create_directories(live);
    for (int k = 1; k <= 11; k++) write_file(live + "stream900-" + std::string(6 - std::to_string(k).size(), '0') + std::to_string(k) + ".ts", "x");
    std::string url = "/Roku/Live%20Stream/stream900-";
    EXPECT_EQ(ask("GET", url + "000010.ts").body, "x");
    EXPECT_TRUE(std::filesystem::exists(live + "stream900-000001.ts"));
    EXPECT_EQ(ask("GET", url + "000011.ts").body, "x");
    EXPECT_FALSE(std::filesystem::exists(live + "stream900-000001.ts"));
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
    EXPECT_TRUE(wait_for([&] { return read_file(list).find("#EXT-X-ENDLIST") != std::string::npos; }, 20));

    int next = start("long.mkv", target);
    EXPECT_EQ(next, n + 1);
    Channel_Answer a = ask("HEAD", target + ".kill");
    EXPECT_TRUE(a.head.empty()) << a.head;
    EXPECT_TRUE(wait_for([&] { return vlc_count(srv->home) == 0u; }, 10));
}

/* Network mode: VLC serves the stream on 127.0.0.1 and the segmenter reads
** it from there; a server that ends takes its VLC with it. */
TEST_F(LiveStream, NetworkModeAndExit)
{
    Live net(1);
    use(&net);
    std::string target;
    int n = start("clip.mkv", target);
    ASSERT_GT(n, 0);
    std::vector<std::string> segs = follow(target, n);
    EXPECT_NEAR(check_segments(segs), 4, 1.0);

    start("long.mkv", target);
    EXPECT_EQ(vlc_count(net.home), 1u);
    EXPECT_EQ(net.v.stop(SIGTERM), 0);
    EXPECT_TRUE(wait_for([&] { return vlc_count(net.home) == 0u; }, 10));
}
