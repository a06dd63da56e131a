/* The MP4/QuickTime and program stream readers: ffmpeg files, hand-built atoms. */
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "global.h"
#include "helpers.h"
#include "info/info.h"
#include "subs/trace.h"

namespace fs = std::filesystem;

static const std::string videos = std::string(VELMORA_SOURCE_DIR) + "/tests/data/video/";

static info_reader reader_for(const std::string &name)
{
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".mpg") == 0 ? info_mpg : info_mpeg;
}

static std::string be(uint64_t v, int n)
{
    std::string s;
    for (int i = n - 1; i >= 0; i--) s += (char)(v >> (8 * i));
    return s;
}
static std::string atom(const char *type, const std::string &body)
{
    return be(8 + body.size(), 4) + std::string(type, 4) + body;
}
static std::string mvhd(uint32_t scale, uint32_t duration)
{
    return atom("mvhd", std::string(12, '\0') + be(scale, 4) + be(duration, 4) + std::string(80, '\0'));
}
/* A track header: volume 8.8, width and height 16.16. */
static std::string tkhd(int volume, int width, int height)
{
    return atom("tkhd", std::string(36, '\0') + be(volume, 2) + std::string(38, '\0') +
                            be((uint32_t)width << 16, 4) + be((uint32_t)height << 16, 4));
}
static std::string hdlr(const char *kind)
{
    return atom("hdlr", std::string(8, '\0') + kind + std::string(13, '\0'));
}
static std::string ilst_in_meta(const std::string &items)
{
    return atom("udta", atom("meta", std::string(4, '\0') + hdlr("mdir") + atom("ilst", items)));
}
static std::string item(const char *type, const std::string &text)
{
    return atom(type, atom("data", be(1, 4) + be(0, 4) + text));
}

/* Each fixture's whole text (its values are ffprobe's, in NAME.oracle
** beside it): Duration is whole seconds, the MP4 family's cut down, a
** program stream's (two GOP time codes) within a second below. */
TEST(InfoVideo, FixturesMadeByFfmpegGiveTheirText)
{
    const std::string tagged = "Duration:1\nWidth:64\nHeight:48\nVcodec:avc1\nFramerate:29\n"
                               "Acodec:mp4a\nChannels:2\nBits:16\nRate:44100\n"
                               "Title:Holiday\nArtist:Velmora_Band\nComposer:Nobody\nAlbum:Clips\nDate:2024\n"
                               "Comment:Tiny_test\nGenre:Ambient\nDescription:A_pattern\n";
    const std::string long_head = "Duration:2\nWidth:64\nHeight:48\nVcodec:avc1\nFramerate:2\nTitle:Long\n";
    const std::string program = "Framerate:25\nHeight:48\nWidth:64\nDuration:2\n";
    struct { const char *file; std::string text; } cases[] = {
        /* "moov" after "mdat" and first read alike; 25 chunks in one second
        ** give 29: the table's 4 header words count. */
        {"tagged.mp4", tagged},
        {"faststart.mp4", tagged},
        /* Mono, but the entry's template count 2 is reported as it stands. */
        {"clip.m4v", "Duration:1\nWidth:64\nHeight:48\nVcodec:avc1\nFramerate:26\n"
                     "Acodec:mp4a\nChannels:2\nBits:16\nRate:22050\nTitle:Phone_Clip\nArtist:Someone\n"},
        /* The "minf" handler clears the track flags before "stsd": no codecs. */
        {"clip.mov", "Duration:1\nWidth:64\nHeight:48\n"},
        {"mdat64.mp4", long_head},
        {"freeform.mp4", long_head + "iTunSMPB: 00000000 00000840 000001C0 0000000000000000\n"},
        {"program.mpg", program},
        {"timecode.mpg", program}, /* 0:59:59 to 1:00:01, field by field */
    };
    for (const auto &c : cases) {
        EXPECT_EQ(reader_path(reader_for(c.file), videos + c.file), c.text) << c.file;
    }
}

TEST(InfoVideo, HandBuiltAtoms)
{
    std::string ftyp = atom("ftyp", "isom" + be(0, 4) + "isom");
    std::string video = atom("trak", tkhd(0, 1920, 1080) +
        atom("mdia", hdlr("vide") + atom("minf", atom("stbl",
            atom("stsd", std::string(12, '\0') + "avc1" + std::string(40, '\0')) +
            atom("stco", be(0, 4) + be(476, 4) + std::string(476 * 4, '\0'))))));
    std::string meta = ilst_in_meta(item("\xA9nam", "Holiday") + item("\xA9" "alb", std::string("Al\0bum", 6)) +
                                    item("ldes", "Long text"));
    EXPECT_EQ(reader_bytes(info_mpeg, ftyp + atom("moov", mvhd(600, 72000) + video + meta)),
              "Duration:120\nWidth:1920\nHeight:1080\nVcodec:avc1\nFramerate:4\nTitle:Holiday\nAlbum:Al\nMore:Long text\n");
    /* A bad time scale: no Duration, and the raw duration divides the rate. */
    EXPECT_EQ(reader_bytes(info_mpeg, ftyp + atom("moov", mvhd(0, 5) + video)),
              "Width:1920\nHeight:1080\nVcodec:avc1\nFramerate:96\n");
    /* An atom ending past the file stops the walk; lines before remain. */
    EXPECT_EQ(reader_bytes(info_mpeg, ftyp + atom("moov", mvhd(1000, 3000) + be(0x7FFF, 4) + "trak" + tkhd(0, 8, 8))),
              "Duration:3\n");
    /* One size of 0 is stepped by 4 (the flags of a "meta"); two in a row, or a
    ** size too small for a header, are no atom and end the walk. */
    EXPECT_EQ(reader_bytes(info_mpeg, std::string(4, '\0') + atom("moov", mvhd(1, 7))), "Duration:7\n");
    for (const std::string &junk : {std::string(8, '\0'), be(7, 4) + "free"})
        EXPECT_EQ(reader_bytes(info_mpeg, junk + atom("moov", mvhd(1, 7))), "");
    /* A movie header straddling the first window's end is read whole. */
    std::string pad = atom("free", std::string(9980 - 8 - ftyp.size(), 'f'));
    EXPECT_EQ(reader_bytes(info_mpeg, ftyp + pad + atom("moov", mvhd(10, 100))), "Duration:10\n");

    /* Free-form items: name after "mean", data without "<"; no "mean", no line. */
    auto ff = [](const std::string &name, const std::string &value) {
        return atom("----", atom("mean", std::string(4, '\0') + "com.apple.iTunes") +
                                atom("name", std::string(4, '\0') + name) + atom("data", be(1, 4) + be(0, 4) + value));
    };
    EXPECT_EQ(reader_bytes(info_mpeg, ftyp + atom("moov", ilst_in_meta(ff("iTunNORM", " 0000 0001") +
        ff("iTunMOVI", "<?xml?>") + atom("----", atom("name", "xxxxNoMean") + atom("data", std::string(8, '\0') + "v"))))),
              "iTunNORM: 0000 0001\n");

    /* A 64-bit "mdat" past 4 GB is stepped over whole in a sparse file; the
    ** same size in a small file, or with the top bit set, gives nothing. */
    std::string dir = temp_folder(), big = dir + "/big.mp4";
    std::string head = ftyp + be(1, 4) + "mdat" + be((uint64_t)5 << 30, 8), moov = atom("moov", mvhd(1, 42));
    write_file(big, head);
    fs::resize_file(big, ftyp.size() + ((uint64_t)5 << 30));
    FILE *f = fopen(big.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    fwrite(moov.data(), 1, moov.size(), f);
    fclose(f);
    EXPECT_EQ(reader_path(info_mpeg, big), "Duration:42\n");
    EXPECT_EQ(reader_bytes(info_mpeg, head + moov), "");
    EXPECT_EQ(reader_bytes(info_mpeg, ftyp + be(1, 4) + "mdat" + be(~0ull, 8) + moov), "");

    /* A movie whose download has not begun (all zeros) costs a few steps and
    ** trace lines, not one per 4 bytes; a file of tiny atoms traces at most
    ** what one request may. */
    std::string dir_trace = trace_to_temp(), zeros = dir + "/zeros.mp4", tiny = dir + "/tiny.mp4";
    write_file(zeros, "");
    fs::resize_file(zeros, 4 << 20);
    EXPECT_EQ(reader_path(info_mpeg, zeros), "");
    EXPECT_LT(fs::file_size(dir_trace + "/trace.txt"), 4096u);
    std::string frees;
    for (int i = 0; i < 20000; i++) frees += atom("free", "");
    write_file(tiny, frees + atom("moov", mvhd(1, 5)));
    Trace_Budget(64 << 10);
    EXPECT_EQ(reader_path(info_mpeg, tiny), "Duration:5\n");
    Trace_Budget(-1);
    EXPECT_LT(fs::file_size(dir_trace + "/trace.txt"), 70u << 10);
    trace_off();
    fs::remove_all(dir);
    fs::remove_all(dir_trace);
}

TEST(InfoVideo, HandBuiltProgramStreams)
{
    auto seq = [](int w, int h, int code) {
        return std::string("\0\0\1\xB3", 4) + be(((uint32_t)w << 20) | ((uint32_t)h << 8) | 0x20 | code, 4);
    };
    auto gop = [](int h, int m, int s) {
        return std::string("\0\0\1\xB8", 4) + be(((uint32_t)h << 26) | ((uint32_t)m << 20) | (1u << 19) | ((uint32_t)s << 13), 4);
    };
    std::string pack = std::string("\0\0\1\xBA", 4) + std::string(10, '\x44'), tail = gop(1, 2, 3);
    auto stream = [&](std::string head, size_t size, size_t tail_back) {
        head += std::string(size - head.size(), '\x11');
        if (tail_back) head.replace(head.size() - tail_back, tail.size(), tail);
        return head;
    };
    /* The end GOP 3 windows back; a time code starting again goes negative. */
    EXPECT_EQ(reader_bytes(info_mpg, stream(pack + seq(352, 288, 3) + gop(2, 0, 0), 60000, 25000)),
              "Framerate:25\nHeight:288\nWidth:352\nDuration:-3477\n");
    /* No GOP near the end within 9 windows; a rate that is no whole number. */
    EXPECT_EQ(reader_bytes(info_mpg, stream(pack + seq(720, 480, 4) + gop(0, 0, 0), 100000, 0)),
              "Framerate:29.97\nHeight:480\nWidth:720\n");
    /* Under one window: no Duration; a rate code outside 1 to 8: no Framerate. */
    EXPECT_EQ(reader_bytes(info_mpg, pack + seq(64, 48, 9) + gop(0, 0, 0) + gop(0, 0, 5)), "Height:48\nWidth:64\n");
    /* A sequence header cut short is not read. */
    EXPECT_EQ(reader_bytes(info_mpg, pack + std::string("\0\0\1\xB3\x10\x20", 6)), "");
}

