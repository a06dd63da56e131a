/* The JPEG reader: tool-made files against exiftool, and hand-built EXIF blocks. */
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "global.h"
#include "helpers.h"
#include "info/info.h"

namespace fs = std::filesystem;

static const std::string fixtures = std::string(VELMORA_SOURCE_DIR) + "/tests/data/jpeg/";

static std::string lines_of(const std::string &bytes) { return reader_bytes(info_jpg, bytes); }

static std::string be16(unsigned v) { return {(char)(v >> 8), (char)v}; }
static std::string be32(unsigned v) { return be16(v >> 16) + be16(v & 0xFFFF); }

/* One directory entry in Motorola order. */
static std::string entry(unsigned tag, unsigned type, unsigned count, unsigned value)
{
    return be16(tag) + be16(type) + be32(count) + be32(value);
}

/* A JPEG start with an APP1 segment right after the start-of-image marker:
** "Exif" at offset 6, the TIFF header at 12, IFD0 at TIFF offset 8 holding
** entries, then tail (which starts at TIFF offset 14 + 12 * entries). */
static std::string exif_file(const std::vector<std::string> &entries, const std::string &tail)
{
    std::string tiff = std::string("MM\0*", 4) + be32(8) + be16((unsigned)entries.size());
    for (const auto &e : entries) tiff += e;
    tiff += be32(0) + tail;
    return std::string("\xFF\xD8\xFF\xE1", 4) + be16((unsigned)tiff.size() + 8) +
           std::string("Exif\0\0", 6) + tiff;
}

/* TIFF offset of the tail of an exif_file with n entries. */
static unsigned tail_at(unsigned n) { return 14 + 12 * n; }

using InfoJpeg = TracedFolderTest;

/* Each fixture's text, holding every key=value exiftool reads (NAME.oracle).
** mm_short reads SHORT sizes as 0; ii_exif is read the wrong way round;
** jfif_exif's "Exif" lies past 19. */
TEST_F(InfoJpeg, FixturesMadeByExiftoolGiveTheirLines)
{
    struct { const char *file, *lines; } cases[] = {
        {"mm_padded", "make:Velmora\nmodel:Test Cam 1\norientation:6\nX_RESOLUTION:?\nY_RESOLUTION:?\n"
                      "RESOLUTION_UNIT:?\ndate:2024:05:06 07:08:09\nYCBCR_POSITIONING:?\n"
                      "VERSION:?\nDATE_TIME_ORIGINAL:?\nCOMPONENTS_CONFIGURATION:?\nPIX_VERSION:?\n"
                      "COLOR_SPACE:?\nwidth:64\nheight:48\ntitle:Garden Path\ncomment:Taken at dusk\n"
                      "INTEROPERABILITY_VERSION:?\n"},
        {"mm_short", "make:Other Maker\nmodel:Model Two\norientation:3\nX_RESOLUTION:?\nY_RESOLUTION:?\n"
                     "RESOLUTION_UNIT:?\nsoftware:Velmora Fixtures\nYCBCR_POSITIONING:?\n"
                     "VERSION:?\nCOMPONENTS_CONFIGURATION:?\nPIX_VERSION:?\nCOLOR_SPACE:?\n"
                     "width:0\nheight:0\nIMAGE_WIDTH:?\nIMAGE_LENGTH:?\nIMAGE_LENGTH:?\n"
                     "INTEROPERABILITY_VERSION:?\n"},
        {"ii_exif", "RELATED_IMAGE_WIDTH:?\ncomment:II*\nIMAGE_WIDTH:?\nJPEG_PROC:?\n"},
        {"jfif_exif", ""},
        {"plain", ""},
    };
    for (const auto &c : cases) EXPECT_EQ(reader_path(info_jpg, fixtures + c.file + ".jpg"), c.lines) << c.file;
}

/* Readings the tools never produce. */
TEST_F(InfoJpeg, HandBuiltEntriesReadAsDescribed)
{
    /* Orientation is byte 9 alone; a width over 255 is the field's low half. */
    EXPECT_EQ(lines_of(exif_file({entry(0x0112, 3, 1, 0x01060000), entry(0xA002, 4, 1, 3264)}, "")),
              "orientation:6\nwidth:3264\n");

    /* Windows text narrowed over the low byte of its count (0x106: "Tit"),
    ** whole when counted exactly, run on past a part that meets no zero. */
    std::string w = std::string("T\0i\0t\0l\0e\0\0\0", 12) + std::string("S\0u\0b\0\0\0", 8) +
                    std::string("K\0e\0y\0\0\0", 8);
    unsigned t = tail_at(3);
    EXPECT_EQ(lines_of(exif_file({entry(0x9C9B, 1, 0x106, t), entry(0x9C9F, 1, 8, t + 12),
                                  entry(0x9C9E, 1, 2, t + 20)}, w)),
              "title:Tit\nsubject:Sub\nkeywords:K\n");

    /* A user comment prints its 8-byte code field, to its first zero. */
    std::string c = std::string("ASCII\0\0\0Hello\0", 14) + std::string("N\0o\0\0\0", 6) + "note";
    t = tail_at(3);
    EXPECT_EQ(lines_of(exif_file({entry(0x9286, 7, 13, t), entry(0x9C9D, 1, 6, t + 14),
                                  entry(0x927C, 7, 5, t + 20)}, c + std::string("\0", 1))),
              "USER_COMMENT:ASCII\nauthor:No\nMAKER_NOTE:note\n");

    /* Offsets beyond the bytes read write nothing; padding with no pointer
    ** before it is a plain step. */
    EXPECT_EQ(lines_of(exif_file({entry(0x010F, 2, 9, 0xFFF0), entry(0x9C9C, 1, 9, 0x8000),
                                  entry(0xEA1C, 7, 4, 0), entry(0x829A, 5, 1, 0),
                                  entry(0xC4A5, 7, 1, 0)}, "")),
              "EXPOSURE_TIME:?\nPRINT_IMAGE_MATCHING:?\n");
}

/* The EXIF pointer leads into the sub-directory and its padding back to
** IFD0; pointers at themselves or at each other still end the walk. */
TEST_F(InfoJpeg, PointersAndPaddingNeverLoop)
{
    /* IFD0: make, pointer, model; sub-directory: width, padding.  Back in
    ** IFD0 the strides cross the width entry out of step: its count is tag 1. */
    unsigned sub = tail_at(3);
    std::string tail = be16(2) + entry(0xA002, 4, 1, 640) + entry(0xEA1C, 7, 4, 0) +
                       std::string("Mk\0Md\0", 6);
    unsigned strs = sub + 2 + 24;
    EXPECT_EQ(lines_of(exif_file({entry(0x010F, 2, 3, strs), entry(0x8769, 4, 1, sub),
                                  entry(0x0110, 2, 3, strs + 3)}, tail)),
              "make:Mk\nwidth:640\nmodel:Md\nINTEROPERABILITY_INDEX:?\n");

    /* A pointer to its own entry (less the 2-byte count), and a pair
    ** pointing at each other with padding after them. */
    unsigned self = 10 - 2;
    EXPECT_EQ(lines_of(exif_file({entry(0x8769, 4, 1, self), entry(0x0112, 3, 1, 0x00010000)}, "")),
              "orientation:1\n");
    EXPECT_EQ(lines_of(exif_file({entry(0x8769, 4, 1, 22 - 2), entry(0x8769, 4, 1, 10 - 2),
                                  entry(0xEA1C, 7, 4, 0), entry(0x0112, 3, 1, 0x00030000)}, "")),
              "orientation:3\n");
}

/* Only the first 10000 bytes are read: a text running to their end is cut
** there, a value past them is not written, an entry cut by them reads zeros. */
TEST_F(InfoJpeg, TheWindowIsTheFirst10000Bytes)
{
    unsigned t = tail_at(2);
    std::string tail(20000 - 12 - t, 'a');
    std::string file = exif_file({entry(0x0110, 2, 1, t), entry(0x0131, 2, 1, 10000 - 12)}, tail);
    EXPECT_EQ(lines_of(file), "model:" + std::string(10000 - 12 - t, 'a') + "\n");

    /* An entry 6 bytes before the window's end: its offset field reads 0. */
    std::string edge = exif_file({entry(0x0112, 3, 1, 0x00050000)}, "");
    edge += std::string(10000 - 6 - edge.size(), '\xEE');
    edge += entry(0xA002, 4, 1, 77);
    std::string text = lines_of(edge);
    EXPECT_EQ(text.substr(0, 14), "orientation:5\n");
    EXPECT_EQ(text.substr(text.size() - 8), "width:0\n");
}

