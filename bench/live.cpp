/*
** The live-stream benchmark's two clocks.
**   velmora-live segment FILE
**     cuts the transport stream FILE with the segmenter thread, as it cuts
**     VLC's output, into a temporary folder; prints the seconds it took.
**   velmora-live head PORT TARGET SECONDS
**     as the channel: HEAD on the movie TARGET, then the main and variant
**     playlists until the end tag; prints the seconds to the redirect (the
**     server redirects once the first segment exists), the seconds to the
**     end tag, and the transcoding speed as a multiple of real time for a
**     movie of SECONDS seconds (after the first segment, about one second).  Then stops the stream with the kill HEAD.
*/
#include "global.h"
#include "live/segmenter.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "roku_channel.h"
#include "subs/text.h"

static double now(void)
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

static int segment(const char *file)
{
    char tmp[] = "/tmp/velmora-live-XXXXXX";
    if (!mkdtemp(tmp)) return 1;
    std::string live = std::string(tmp) + "/Live Stream";
    std::filesystem::create_directory(live);
    std::filesystem::create_symlink(std::filesystem::absolute(file), live + "/stream1");
    scopy(Roku_Path, sizeof Roku_Path, tmp);
    Active = 1;
    double t0 = now();
    VLC_Trans(1);
    double t = now() - t0;
    std::filesystem::remove_all(tmp);
    printf("%.3f\n", t);
    return 0;
}

static int head(int port, const std::string &target, double seconds)
{
    Channel ch;
    ch.port = port;
    Channel_Answer a;
    double t0 = now();
    if (!ch.request("HEAD", target, a) || a.head.compare(0, 10, "HTTP/ 301 ") != 0) {
        fprintf(stderr, "no redirect: %s\n", a.head.c_str());
        return 1;
    }
    double redirect = now() - t0;
    size_t at = a.head.find("Location: http://");
    at = a.head.find('/', at + 17);
    std::string main_target = a.head.substr(at, a.head.find('\n', at) - at);
    std::string dir = main_target.substr(0, main_target.rfind('/') + 1);
    ch.close_connection();
    std::string files = main_target.substr(dir.size());
    files.replace(files.find("-Main"), 5, "-Files");
    double end = 0;
    for (int i = 0; i < 6000 && !end; i++) {
        Channel_Answer l;
        ch.request("GET", dir + files, l);
        if (l.body.find("#EXT-X-ENDLIST") != std::string::npos) end = now() - t0;
        else usleep(100000);
    }
    Channel_Answer k;
    ch.request("HEAD", main_target + ".kill", k);
    printf("%.3f %.3f %.2f\n", redirect, end, end > redirect ? (seconds - 1) / (end - redirect) : 0.0);
    return end ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc == 3 && !strcmp(argv[1], "segment")) return segment(argv[2]);
    if (argc == 5 && !strcmp(argv[1], "head")) return head(atoi(argv[2]), argv[3], atof(argv[4]));
    fprintf(stderr, "usage: velmora-live segment FILE | head PORT TARGET SECONDS\n");
    return 2;
}
