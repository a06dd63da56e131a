/* The AVI, FLV, FLAC and WMV readers: real files against ffprobe, and hand-built headers. */
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "global.h"
#include "helpers.h"
#include "info/info.h"
#include "subs/trace.h"

static const std::string fixtures = std::string(VELMORA_SOURCE_DIR) + "/tests/data/av/";

static std::string le32(uint32_t v)
{
    return {(char)v, (char)(v >> 8), (char)(v >> 16), (char)(v >> 24)};
}

static const struct { const char *file; info_reader reader; const char *lines; } made[] = {
    /* 13000 bytes a second in the main header; 25 frames at 25/1. */
    {"clip.avi", info_avi, "Maxbitrate:104000\nWidth:64\nHeight:48\nFramerate:25\nDuration:1\n"},
    /* Data rates in kbit/s as ffmpeg writes them (39.06 and 31.25). */
    {"clip.flv", info_flv, "Duration:1\nWidth:64\nHeight:48\nVideodatarate:39\nFramerate:25\n"
                           "Videocodecid:Sorenson H.263\nAudiodatarate:31\nAudiocodecid:MP3\n"},
    {"tone.flac", info_flac, "Channels:2\nSamplerate:44100\nSamples:44100\n"
                             "TITLE:Tone\nARTIST:Velmora\nALBUM:Test Signals\nDATE:2024\n"},
    /* The send duration (1.064 s), not the play duration ffprobe reports. */
    {"clip.wmv", info_wmv, "Duration:1\nMaxbitrate:64000\nWidth:64\nHeight:48\n"},
};

using InfoAv = TracedFolderTest;

/* Each fixture's whole text (its values are ffprobe's, in NAME.oracle
** beside it: whole seconds cut toward zero). */
TEST_F(InfoAv, FilesMadeByRealTools)
{
    for (const auto &m : made) EXPECT_EQ(reader_path(m.reader, fixtures + m.file), m.lines) << m.file;
}

/* An AVI head: the main header and a stream header with scale, rate, length. */
static std::string avi(uint32_t scale, uint32_t rate, uint32_t length)
{
    std::string avih = "avih" + le32(56) + le32(40000) + le32(1000) + std::string(24, '\0') +
                       le32(640) + le32(480) + std::string(16, '\0');
    std::string strh = "strh" + le32(56) + "vids" + std::string(16, '\0') + le32(scale) +
                       le32(rate) + le32(0) + le32(length) + std::string(16, '\0');
    return "RIFF" + le32(0) + "AVI LIST" + le32(0) + "hdrl" + avih + "LIST" + le32(0) + "strl" + strh;
}

TEST_F(InfoAv, AviFrameRateAndDuration)
{
    const std::string head = "Maxbitrate:8000\nWidth:640\nHeight:480\n";
    EXPECT_EQ(reader_bytes(info_avi, avi(1001, 30000, 2997)), head + "Framerate:29\nDuration:103\n");
    /* Under one frame a second: no duration; zero scale and rate read as 1. */
    EXPECT_EQ(reader_bytes(info_avi, avi(1001, 1000, 2997)), head + "Framerate:0\n");
    EXPECT_EQ(reader_bytes(info_avi, avi(0, 0, 7)), head + "Framerate:1\nDuration:7\n");
    EXPECT_EQ(reader_bytes(info_avi, avi(1, 0xFFFFFFFF, 0xFFFFFFFF)), head + "Framerate:-1\nDuration:1\n"); /* unsigned */
    /* A field ending at the last byte read is read; the next ends the lines. */
    std::string a = avi(1, 25, 50);
    EXPECT_EQ(reader_bytes(info_avi, a.substr(0, a.find("avih") + 44)), "Maxbitrate:8000\nWidth:640\n");
}

static std::string flv(const std::string &props)
{
    return std::string("FLV\1\5\0\0\0\x09\0\0\0\0\x12", 14) + std::string(10, '\0') +
           std::string("\2\0\x0AonMetaData\x08\0\0\0\0", 18) + props;
}
static std::string prop(const std::string &name, double v)
{
    uint64_t bits;
    memcpy(&bits, &v, sizeof bits);
    std::string s = std::string(1, '\0') + (char)name.size() + name + std::string(1, '\0');
    for (int i = 7; i >= 0; i--) s += (char)(bits >> (8 * i));
    return s;
}

TEST_F(InfoAv, FlvNumbersAndCodecNames)
{
    /* Written in the reader's order, not the file's; cut toward zero, below
    ** zero too; codec ids without a name stay numbers. */
    EXPECT_EQ(reader_bytes(info_flv, flv(prop("audiocodecid", 10) + prop("videocodecid", 7) +
                                     prop("framerate", -2.5) + prop("duration", 125.9))),
              "Duration:125\nFramerate:-2\nVideocodecid:7\nAudiocodecid:10\n");
    /* Numbers int cannot hold read as its lowest value. */
    EXPECT_EQ(reader_bytes(info_flv, flv(prop("width", 1e300) + prop("height", NAN))),
              "Width:-2147483648\nHeight:-2147483648\n");
    /* Without the script tag name nothing is read. */
    std::string no_meta = flv(prop("duration", 5));
    no_meta.replace(no_meta.find("MetaData"), 8, "Metadata");
    EXPECT_EQ(reader_bytes(info_flv, no_meta), "");
    /* A number cut by the end of the bytes read is left out. */
    std::string cut = flv(prop("width", 64) + prop("height", 48));
    EXPECT_EQ(reader_bytes(info_flv, cut.substr(0, cut.size() - 1)), "Width:64\n");
}

static std::string block(int head, const std::string &body)
{
    size_t n = body.size();
    return std::string(1, (char)head) + (char)(n >> 16) + (char)(n >> 8) + (char)n + body;
}
static std::string comments(const std::string &vendor, std::initializer_list<std::string> items)
{
    std::string s = le32((uint32_t)vendor.size()) + vendor + le32((uint32_t)items.size());
    for (const auto &c : items) s += le32((uint32_t)c.size()) + c;
    return s;
}

TEST_F(InfoAv, FlacStreamInfoAndComments)
{
    /* 48000 Hz, 6 channels, 24 bits, 2^32 + 5 samples. */
    std::string info = std::string(10, '\0') + "\x0B\xB8\x0A\xF1" + std::string("\0\0\0\x05", 4) + std::string(16, '\0');
    EXPECT_EQ(reader_bytes(info_flac, "fLaC" + block(0x80, info)), "Channels:6\nSamplerate:48000\nSamples:4294967301\n");
    EXPECT_EQ(reader_bytes(info_flac, "OggS" + block(0x80, info)), "");
    /* The walk passes other blocks and stops at the last-block bit. */
    std::string vc = comments("ref", {"ARTIST=Band", "=lead", "no equals", "a=b=c", "X=1"});
    EXPECT_EQ(reader_bytes(info_flac, "fLaC" + block(0x01, std::string(20, '\0')) + block(0x03, std::string(18, 'x')) +
                                      block(0x84, vc) + block(0x00, info)),
              "ARTIST:Band\na:b=c\nX:1\n");
    /* The walk ends at the body's end; long comments are cut at 199 bytes. */
    std::string two = comments("", {"A=1", "B=2"});
    EXPECT_EQ(reader_bytes(info_flac, "fLaC" + block(0x84, two.substr(0, two.size() - 3)) + "===="), "A:1\n");
    EXPECT_EQ(reader_bytes(info_flac, "fLaC" + block(0x84, comments("", {"L=" + std::string(250, 'v')}))),
              "L:" + std::string(197, 'v') + "\n");
}

TEST_F(InfoAv, WmvPropertiesAndPictureSize)
{
    std::string fp = std::string("\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11", 8) + std::string(64, '\0') +
                     le32(1234567890) + le32(0) + std::string(20, '\0') + le32(3000000);
    std::string sp = std::string(41, '\0') + "\x57\xFB\x20\x55" + std::string(33, '\0') + le32(1280) + le32(720);
    std::string head = std::string("\x30\x26\xB2\x75", 4) + std::string(26, '\0');
    EXPECT_EQ(reader_bytes(info_wmv, head + fp + sp), "Duration:123\nMaxbitrate:3000000\nWidth:1280\nHeight:720\n");
    EXPECT_EQ(reader_bytes(info_wmv, head + sp), "Width:1280\nHeight:720\n");
    /* Fields past the bytes read are left out. */
    EXPECT_EQ(reader_bytes(info_wmv, head + sp.substr(0, sp.size() - 2)), "Width:1280\n");
}

