/*
** The HLS segmenter on transport streams built packet by packet and on one
** that ffmpeg makes.
*/
#include "global.h"
#include "live/segmenter.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "helpers.h"

namespace {

/* One packet: PID, unit start, continuity counter, with a PCR or not. */
std::string pkt(int pid, int unit, int cc, int pcr = 0)
{
    std::string p(TS_PACKET, '\xff');
    p[0] = 0x47;
    p[1] = (char)((unit ? 0x40 : 0) | (pid >> 8 & 0x1F));
    p[2] = (char)(pid & 0xFF);
    p[3] = (char)((pcr ? 0x30 : 0x10) | (cc & 15));
    if (pcr) p[5] = 0x10;
    return p;
}

/* n clock ticks: each a PAT, a video unit start with a PCR, one more video
** packet and an audio unit start, counters running. */
struct Maker {
    int vcc = 0, acc = 0;
    std::string ticks(int n)
    {
        std::string s;
        for (int t = 0; t < n; t++) {
            s += pkt(0, 1, 0) + pkt(256, 1, ++vcc, 1);
            s += pkt(256, 0, ++vcc) + pkt(257, 1, ++acc);
        }
        return s;
    }
};

class SegmenterTest : public TracedFolderTest {
protected:
    TS_STATE st = {};
    void SetUp() override
    {
        TracedFolderTest::SetUp();
        restart();
    }
    /* A fresh stream 7 in an empty folder. */
    void restart()
    {
        close_files();
        std::filesystem::remove_all(dir + "/Live Stream");
        std::filesystem::create_directory(dir + "/Live Stream");
        ASSERT_EQ(TS_Begin(&st, 7), 1);
    }
    void close_files()
    {
        for (FILE **f : {&st.TS, &st.IDX})
            if (*f) fclose(*f), *f = nullptr;
    }
    void TearDown() override { close_files(), TracedFolderTest::TearDown(); }
    int walk(const std::string &s) { return TS_Walk(&st, (const unsigned char *)s.data(), (int)s.size()); }
    std::string file(const std::string &name) { return read_file(dir + "/Live Stream/" + name); }
    std::string seg(int k)
    {
        if (st.TS) fflush(st.TS);
        return file(std::string("stream7-") + std::string(6 - std::to_string(k).size(), '0') + std::to_string(k) + ".ts");
    }
};

const std::string head = "#EXTM3U\r\n#EXT-X-TARGETDURATION:10\r\n#EXT-X-MEDIA-SEQUENCE:1\r\n";

std::string entry(int sec, int k)
{
    char e[64];
    snprintf(e, sizeof e, "#EXTINF:%d,\r\nstream7-%06d.ts\r\n", sec, k);
    return e;
}

}  // namespace

/* Cuts at the first unit start after a PAT once 10, then 50, from the tenth
** segment 100 clock ticks have passed; the PAT stays in the old segment;
** the playlists byte for byte. */
TEST_F(SegmenterTest, CutsNumbersAndTimesSegments)
{
    Maker m;
    std::string s = m.ticks(10);
    EXPECT_EQ(walk(s), (int)s.size());
    /* Nine ticks and the tenth's PAT: the first segment, listed at once. */
    EXPECT_EQ(seg(1), s.substr(0, 37 * TS_PACKET));
    EXPECT_EQ(file("stream7-Files.m3u8"), head + entry(1, 1));
    EXPECT_EQ(file("stream7-Main.m3u8"),
              "#EXTM3U\r\n#EXT-X-STREAM-INF:PROGRAM-ID=1, BANDWIDTH=250000\r\nstream7-Files.m3u8\r\n");

    std::string rest = m.ticks(190);
    EXPECT_EQ(walk(rest), (int)rest.size());
    TS_End(&st);
    EXPECT_EQ(file("stream7-Files.m3u8"),
              head + entry(1, 1) + entry(5, 2) + entry(5, 3) + entry(5, 4) + entry(10, 5) + "#EXT-X-ENDLIST\r\n");
    EXPECT_EQ(seg(2).size(), 204u * TS_PACKET);
    EXPECT_EQ(seg(2).substr(0, TS_PACKET), s.substr(37 * TS_PACKET, TS_PACKET));
    EXPECT_EQ(st.seqerr, 0);

    /* Nine segments by tick 418; the tenth needs 100 ticks, so 150 more
    ** ticks hold exactly one more cut. */
    restart();
    walk(m.ticks(10 + 8 * 51 + 150));
    EXPECT_EQ(st.ts, 11);
}

/* A stream that ends before any cut, and one with no bytes at all, get the
** eighteen-variant main playlist and one entry of ten seconds. */
TEST_F(SegmenterTest, EndBeforeAnyCut)
{
    for (int ticks : {5, 0}) {
        restart();
        Maker m;
        walk(m.ticks(ticks));
        TS_End(&st);
        std::string main = "#EXTM3U\r\n";
        for (int b = 1; b <= 18; b++)
            main += "#EXT-X-STREAM-INF:PROGRAM-ID=1, BANDWIDTH=" + std::to_string(b * 100000) +
                    "\r\nstream7-Files.m3u8\r\n";
        EXPECT_EQ(file("stream7-Main.m3u8"), main) << ticks;
        EXPECT_EQ(file("stream7-Files.m3u8"), head + entry(10, 1) + "#EXT-X-ENDLIST\r\n") << ticks;
        EXPECT_EQ(seg(1).size(), (size_t)ticks * 4 * TS_PACKET);
    }
}

/* The count behind the dropped-blocks warning: 15 to 0 is no break, 3 to 5
** and a repeat are one each.  The PID table's bound is the walk fuzz target's. */
TEST_F(SegmenterTest, ContinuityCounters)
{
    int pid = 300;
    for (auto [counters, errors] : {std::pair{std::vector<int>{14, 15, 0, 1}, 0}, {{3, 5}, 1}, {{1, 2, 2, 3}, 1}}) {
        int before = st.seqerr;
        pid++;
        for (int cc : counters) walk(pkt(pid, 0, cc));
        EXPECT_EQ(st.seqerr - before, errors) << "pid " << pid;
    }
}

/* Sync loss: garbage before the first PAT is skipped; after it the stream
** ends at the bad byte.  A partial packet at the end is left for the next
** read. */
TEST_F(SegmenterTest, SyncLossAndPartialPackets)
{
    Maker m;
    std::string good = m.ticks(3);
    std::string junk(77, 'x');
    EXPECT_EQ(walk(junk + good), (int)(junk + good).size());
    EXPECT_EQ(seg(1), good);
    EXPECT_FALSE(st.ended);

    std::string more = m.ticks(1);
    EXPECT_EQ(walk(more + "\x47zz"), (int)more.size());
    EXPECT_EQ(walk(more + junk + more), (int)more.size());
    EXPECT_TRUE(st.ended);
}

/* A transport stream from ffmpeg with ten PCRs a second, through the whole
** thread in file mode, with a partial packet at its end: the clock matches
** the duration, every segment after the first starts with a unit start, the
** one before it ends with the PAT, and no whole packet is lost. */
TEST_F(SegmenterTest, FfmpegStreamThroughTheThread)
{
    std::string src = dir + "/Live Stream/stream7";
    std::string cmd = "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=25 -t 8 "
                      "-c:v mpeg2video -g 12 -f mpegts -pcr_period 100 -pat_period 0.5 '" + src + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    std::string ts = read_file(src);
    ASSERT_EQ(ts.size() % TS_PACKET, 0u);
    write_file(src, ts + ts.substr(0, 100));
    fclose(st.TS);  /* the thread opens its own state */
    st.TS = nullptr;
    Active = 1;
    EXPECT_EQ(VLC_Trans(7), 0);
    Active = 0;

    std::string list = file("stream7-Files.m3u8");
    ASSERT_NE(list.find("#EXT-X-ENDLIST\r\n"), std::string::npos);
    std::string joined;
    int k = 1;
    for (std::string s = seg(k); !s.empty(); s = seg(++k)) {
        ASSERT_EQ(s.size() % TS_PACKET, 0u);
        if (k > 1) {
            EXPECT_TRUE(s[1] & 0x40) << k;
            EXPECT_EQ(joined.substr(joined.size() - TS_PACKET + 1, 2), std::string("\x40\x00", 2)) << k;
        }
        joined += s;
    }
    EXPECT_EQ(joined, ts);
    EXPECT_GE(k - 1, 3);
    std::string trace = read_file(dir + "/trace.txt");
    size_t at = trace.find("Transcode complete - ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_NEAR(atoi(trace.c_str() + at + 21), 8, 1);
}
