/*
** The MP4/QuickTime and MPEG program stream readers of the info text: whole
** outputs on files made by ffmpeg (tests/data/make_video_fixtures.sh), the
** readings against what ffprobe found in the same files, atoms and start
** codes built by hand for the cases ffmpeg does not make, and damaged copies
** of every fixture.
*/
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "global.h"
#include "helpers.h"
#include "info.h"

namespace fs = std::filesystem;

static const std::string videos = std::string(VELMORA_SOURCE_DIR) + "/tests/data/video/";

typedef int (*reader_fn)(FILE *in, FILE *out, int64_t sz);

/* What the reader writes for the file in: the whole out text. */
static std::string run(reader_fn reader, FILE *in, int64_t sz)
{
    FILE *out = tmpfile();
    if (!out)
        return "(no temporary file)";
    reader(in, out, sz);
    rewind(out);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, out)) > 0)
        text.append(buf, n);
    fclose(out);
    return text;
}

/* The reader's text for the file at path, sz its real size. */
static std::string read_path(reader_fn reader, const std::string &path)
{
    FILE *in = fopen(path.c_str(), "rb");
    if (!in)
        return "(cannot open " + path + ")";
    std::string text = run(reader, in, (int64_t)fs::file_size(path));
    fclose(in);
    return text;
}

/* The reader's text for bytes held in a temporary file. */
static std::string read_bytes(reader_fn reader, const std::string &bytes)
{
    FILE *in = tmpfile();
    if (!in)
        return "(no temporary file)";
    if (!bytes.empty())
        fwrite(bytes.data(), 1, bytes.size(), in);
    rewind(in);
    std::string text = run(reader, in, (int64_t)bytes.size());
    fclose(in);
    return text;
}

static reader_fn reader_for(const std::string &name)
{
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".mpg") == 0 ? info_mpg : info_mpeg;
}

/* key:value lines as a map (the last value of a repeated key). */
static std::map<std::string, std::string> lines_map(const std::string &text, char sep)
{
    std::map<std::string, std::string> m;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        size_t c = line.find(sep);
        if (c != std::string::npos)
            m[line.substr(0, c)] = line.substr(c + 1);
        if (nl == std::string::npos)
            break;
        at = nl + 1;
    }
    return m;
}

/* Big-endian numbers and atoms for the hand-built files. */
static std::string be(uint64_t v, int n)
{
    std::string s;
    for (int i = n - 1; i >= 0; i--)
        s += (char)(v >> (8 * i));
    return s;
}
static std::string atom(const char *type, const std::string &body)
{
    return be(8 + body.size(), 4) + std::string(type, 4) + body;
}
/* A version 0 movie header with time scale and duration. */
static std::string mvhd(uint32_t scale, uint32_t duration)
{
    return atom("mvhd", std::string(12, '\0') + be(scale, 4) + be(duration, 4) + std::string(80, '\0'));
}
/* A version 0 track header: volume 8.8 and 16.16 width and height. */
static std::string tkhd(int volume, int width, int height)
{
    return atom("tkhd", std::string(36, '\0') + be(volume, 2) + std::string(38, '\0') +
                            be((uint32_t)width << 16, 4) + be((uint32_t)height << 16, 4));
}
static std::string hdlr(const char *kind)
{
    return atom("hdlr", std::string(8, '\0') + kind + std::string(12, '\0') + std::string("\0", 1));
}
/* A sample description with one audio entry. */
static std::string stsd_audio(const char *code, int channels, int bits, int rate)
{
    std::string entry = std::string(code, 4) + std::string(16, '\0') + be(channels, 2) + be(bits, 2) +
                        std::string(4, '\0') + be((uint32_t)rate << 16, 4);
    return atom("stsd", std::string(8, '\0') + be(8 + entry.size(), 4) + entry);
}
/* An iTunes item holding text in its "data" child. */
static std::string item(const char *type, const std::string &text)
{
    return atom(type, atom("data", be(1, 4) + be(0, 4) + text));
}
static std::string ilst_in_meta(const std::string &items)
{
    return atom("udta", atom("meta", std::string(4, '\0') + hdlr("mdir") + atom("ilst", items)));
}

TEST(InfoVideo, FixturesMadeByFfmpegGiveTheirWholeText)
{
    const std::string tagged_lines =
        "Duration:1\nWidth:64\nHeight:48\nVcodec:avc1\nFramerate:29\n"
        "Acodec:mp4a\nChannels:2\nBits:16\nRate:44100\n"
        "Title:Holiday\nArtist:Velmora_Band\nComposer:Nobody\nAlbum:Clips\nDate:2024\n"
        "Comment:Tiny_test\nGenre:Ambient\nDescription:A_pattern\n";
    struct {
        const char *file;
        std::string text;
    } cases[] = {
        /* "moov" after "mdat" and "moov" first read alike.  25 chunks in one
        ** second give a frame rate of 29: the table's 4 header words count. */
        {"tagged.mp4", tagged_lines},
        {"faststart.mp4", tagged_lines},
        /* ffmpeg writes the template channel count 2 into the sample entry
        ** of an MP4 even for mono; the reader reports the entry as it is. */
        {"clip.m4v", "Duration:1\nWidth:64\nHeight:48\nVcodec:avc1\nFramerate:26\n"
                     "Acodec:mp4a\nChannels:2\nBits:16\nRate:22050\n"
                     "Title:Phone_Clip\nArtist:Someone\n"},
        /* QuickTime: the handler of "minf" clears the track flags before
        ** "stsd", so no codec lines; the user data title has no "data"
        ** child and its length word reads as an atom past the end. */
        {"clip.mov", "Duration:1\nWidth:64\nHeight:48\n"},
        /* One chunk in two seconds: (4 + 1) / 2. */
        {"mdat64.mp4", "Duration:2\nWidth:64\nHeight:48\nVcodec:avc1\nFramerate:2\nTitle:Long\n"},
        /* The property-list item gives no line. */
        {"freeform.mp4", "Duration:2\nWidth:64\nHeight:48\nVcodec:avc1\nFramerate:2\nTitle:Long\n"
                         "iTunSMPB: 00000000 00000840 000001C0 0000000000000000\n"},
        /* GOPs a second apart: the last one near the end is at 0:00:02. */
        {"program.mpg", "Framerate:25\nHeight:48\nWidth:64\nDuration:2\n"},
        /* 0:59:59 to 1:00:01, field by field: 3600 - 59 * 60 - 58. */
        {"timecode.mpg", "Framerate:25\nHeight:48\nWidth:64\nDuration:2\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(read_path(reader_for(c.file), videos + c.file), c.text) << c.file;
}

/* The readings against ffprobe's on the same files.  Units: Duration is
** whole seconds, the movie header's duration cut (MP4 family), so it equals
** ffprobe's duration rounded down; for program streams it is the distance of
** two GOP time codes, one at the start and the last near the end, so it lies
** between ffprobe's duration less a second (one GOP) and rounded down.
** Width and Height are pixels; Rate is Hz (sample_rate); Channels is the
** count (channels) where the file's sample entry carries the real one. */
TEST(InfoVideo, ReadingsAgreeWithFfprobe)
{
    int files = 0;
    for (const auto &e : fs::directory_iterator(videos)) {
        std::string path = e.path().string();
        if (e.path().extension() == ".oracle")
            continue;
        std::string name = e.path().filename().string();
        auto oracle = lines_map(read_file(path + ".oracle"), '=');
        ASSERT_TRUE(oracle.count("duration") && oracle.count("width")) << name;
        auto got = lines_map(read_path(reader_for(name), path), ':');
        files++;

        double d = std::stod(oracle["duration"]);
        ASSERT_TRUE(got.count("Duration")) << name;
        int dur = std::stoi(got["Duration"]);
        if (reader_for(name) == info_mpeg) {
            EXPECT_EQ(dur, (int)std::floor(d)) << name;
        } else {
            EXPECT_LE(dur, (int)std::floor(d)) << name;
            EXPECT_GE(dur, (int)std::floor(d) - 1) << name;
        }
        EXPECT_EQ(got["Width"], oracle["width"]) << name;
        EXPECT_EQ(got["Height"], oracle["height"]) << name;
        if (got.count("Rate")) {
            EXPECT_EQ(got["Rate"], oracle["sample_rate"]) << name;
        }
        /* The M4V is mono, but its entry holds ffmpeg's template 2. */
        if (got.count("Channels") && name != "clip.m4v") {
            EXPECT_EQ(got["Channels"], oracle["channels"]) << name;
        }
    }
    EXPECT_EQ(files, 8);
}

TEST(InfoVideo, HandBuiltAtoms)
{
    std::string ftyp = atom("ftyp", "isom" + be(0, 4) + "isom");

    /* Duration in whole seconds; a video track's size, codec and the
    ** frame-rate estimate; an audio track's entry. */
    std::string video = atom("trak", tkhd(0, 1920, 1080) +
                                         atom("mdia", hdlr("vide") +
                                                          atom("minf", atom("stbl",
                                                                            atom("stsd", std::string(12, '\0') + "avc1" + std::string(40, '\0')) +
                                                                                atom("stco", be(0, 4) + be(476, 4) + std::string(476 * 4, '\0'))))));
    std::string audio = atom("trak", tkhd(0x100, 0, 0) +
                                         atom("mdia", hdlr("soun") + atom("minf", atom("stbl", stsd_audio("mp4a", 2, 16, 44100)))));
    std::string movie = ftyp + atom("moov", mvhd(600, 72000) + video + audio +
                                                ilst_in_meta(item("\xA9nam", "Holiday") + item("\xA9" "alb", std::string("Al\0bum", 6)) +
                                                             item("ldes", "Long text")));
    EXPECT_EQ(read_bytes(info_mpeg, movie),
              "Duration:120\nWidth:1920\nHeight:1080\nVcodec:avc1\nFramerate:4\n"
              "Acodec:mp4a\nChannels:2\nBits:16\nRate:44100\n"
              "Title:Holiday\nAlbum:Al\nMore:Long text\n");

    /* A bad time scale gives no Duration, and the raw duration divides the
    ** frame-rate estimate. */
    std::string bad = ftyp + atom("moov", mvhd(0, 5) + video);
    EXPECT_EQ(read_bytes(info_mpeg, bad),
              "Width:1920\nHeight:1080\nVcodec:avc1\nFramerate:96\n");

    /* An atom that ends past the file stops the walk; lines before remain. */
    std::string cut = ftyp + atom("moov", mvhd(1000, 3000) + be(0x7FFF, 4) + "trak" + tkhd(0, 8, 8));
    EXPECT_EQ(read_bytes(info_mpeg, cut), "Duration:3\n");

    /* Atoms of size 0 are stepped by 4; a window refill past the end of the
    ** file ends the walk quietly. */
    EXPECT_EQ(read_bytes(info_mpeg, std::string(40, '\0') + atom("moov", mvhd(1, 7))), "Duration:7\n");
    EXPECT_EQ(read_bytes(info_mpeg, ""), "");
    EXPECT_EQ(read_bytes(info_mpeg, std::string("\0\0\0", 3)), "");

    /* A movie header that straddles the end of the first window is read
    ** whole: the window moves to it. */
    std::string pad = atom("free", std::string(9980 - 8 - ftyp.size(), 'f'));
    EXPECT_EQ(read_bytes(info_mpeg, ftyp + pad + atom("moov", mvhd(10, 100))), "Duration:10\n");

    /* Free-form items: name after "mean", data without "<"; a data atom
    ** without a "mean" before it gives nothing. */
    auto ff = [](const std::string &name, const std::string &value) {
        return atom("----", atom("mean", std::string(4, '\0') + "com.apple.iTunes") +
                                atom("name", std::string(4, '\0') + name) +
                                atom("data", be(1, 4) + be(0, 4) + value));
    };
    EXPECT_EQ(read_bytes(info_mpeg, ftyp + atom("moov", ilst_in_meta(ff("iTunNORM", " 0000 0001") +
                                                                     ff("iTunMOVI", "<?xml?>") +
                                                                     atom("----", atom("name", "xxxxNoMean") +
                                                                                      atom("data", std::string(8, '\0') + "v"))))),
              "iTunNORM: 0000 0001\n");

    /* A 64-bit "mdat" past 4 GB is stepped over whole: "moov" follows it
    ** in a sparse file. */
    std::string dir = temp_folder();
    std::string big = dir + "/big.mp4";
    int64_t msize = (int64_t)5 << 30;
    std::string head = ftyp + be(1, 4) + "mdat" + be((uint64_t)msize, 8);
    write_file(big, head);
    fs::resize_file(big, ftyp.size() + (uint64_t)msize);
    {
        FILE *f = fopen(big.c_str(), "ab");
        ASSERT_NE(f, nullptr);
        std::string moov = atom("moov", mvhd(1, 42));
        fwrite(moov.data(), 1, moov.size(), f);
        fclose(f);
    }
    EXPECT_EQ(read_path(info_mpeg, big), "Duration:42\n");
    /* The same size in a small file runs past its end. */
    EXPECT_EQ(read_bytes(info_mpeg, head + atom("moov", mvhd(1, 42))), "");
    /* A size with the top bit set is never a step back. */
    EXPECT_EQ(read_bytes(info_mpeg, ftyp + be(1, 4) + "mdat" + be(~0ull, 8) + atom("moov", mvhd(1, 42))), "");
    fs::remove_all(dir);
}

TEST(InfoVideo, HandBuiltProgramStreams)
{
    /* A pack header first, then a sequence header 720 x 480 with code 4. */
    auto seq = [](int w, int h, int code) {
        return std::string("\0\0\1\xB3", 4) + be(((uint32_t)w << 20) | ((uint32_t)h << 8) | 0x20 | code, 4);
    };
    auto gop = [](int h, int m, int s) {
        return std::string("\0\0\1\xB8", 4) + be(((uint32_t)h << 26) | ((uint32_t)m << 20) | (1u << 19) | ((uint32_t)s << 13), 4);
    };
    std::string pack = std::string("\0\0\1\xBA", 4) + std::string(10, '\x44');

    std::string file = pack + seq(720, 480, 4) + gop(0, 0, 0);
    file += std::string(50000 - file.size(), '\x11');
    std::string tail = gop(1, 2, 3);
    file.replace(file.size() - 5000, tail.size(), tail);
    EXPECT_EQ(read_bytes(info_mpg, file), "Framerate:29.97\nHeight:480\nWidth:720\nDuration:3723\n");

    /* The end GOP lies 3 windows back; a time code that starts again gives
    ** a negative difference. */
    std::string back = pack + seq(352, 288, 3) + gop(2, 0, 0);
    back += std::string(60000 - back.size(), '\x11');
    back.replace(back.size() - 25000, tail.size(), tail);
    EXPECT_EQ(read_bytes(info_mpg, back), "Framerate:25\nHeight:288\nWidth:352\nDuration:-3477\n");

    /* A file under one window: no end window, no Duration; a frame-rate
    ** code outside 1 to 8 gives no Framerate line. */
    EXPECT_EQ(read_bytes(info_mpg, pack + seq(64, 48, 9) + gop(0, 0, 0) + gop(0, 0, 5)), "Height:48\nWidth:64\n");
    /* A sequence header at the very first byte is not found. */
    EXPECT_EQ(read_bytes(info_mpg, seq(720, 576, 3) + std::string(100, '\x11')), "");
    /* A code whose word is cut off by the end of the bytes read is none. */
    EXPECT_EQ(read_bytes(info_mpg, pack + std::string("\0\0\1\xB3\x10\x20", 6)), "");
    /* No GOP near the end within 9 windows. */
    std::string none = pack + seq(64, 48, 8) + gop(0, 0, 0);
    none += std::string(100000 - none.size(), '\x11');
    EXPECT_EQ(read_bytes(info_mpg, none), "Framerate:60\nHeight:48\nWidth:64\n");
}

/* Damaged copies of every fixture: cut at many lengths and with bytes
** flipped (many around the atom headers and start codes near the start and
** end).  None may crash, read outside its window or hang. */
TEST(InfoVideo, DamagedCopiesNeverCrash)
{
    std::mt19937 rng(2024);
    int copies = 0;
    for (const auto &e : fs::directory_iterator(videos)) {
        if (e.path().extension() == ".oracle")
            continue;
        std::string name = e.path().filename().string();
        reader_fn reader = reader_for(name);
        std::string good = read_file(e.path().string());
        ASSERT_FALSE(good.empty()) << name;
        for (size_t len = 0; len < good.size(); len += len < 64 ? 1 : 61, copies++)
            read_bytes(reader, good.substr(0, len));
        for (int round = 0; round < 300; round++, copies++) {
            std::string bad = good;
            int flips = 1 + (int)(rng() % 6);
            for (int f = 0; f < flips; f++) {
                size_t at = rng() % bad.size();
                if (rng() % 2)
                    bad[at] = (char)(bad[at] ^ (1 << (rng() % 8)));
                else
                    bad[at] = (char)(rng() % 3 == 0 ? 0xFF : rng() % 3 == 0 ? 0 : rng());
            }
            read_bytes(reader, bad);
        }
    }
    EXPECT_GT(copies, 1000);
}
