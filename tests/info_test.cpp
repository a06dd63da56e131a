/* The info text: the MP3 reader, the file lines, the side file and aliases. */
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <utime.h>

#include "global.h"
#include "config/config.h"
#include "helpers.h"
#include "info/info.h"
#include "http/listing.h"
#include "subs/text.h"

namespace fs = std::filesystem;

static const std::string fixtures = std::string(VELMORA_SOURCE_DIR) + "/tests/data/mp3/";

/* The info text of path, or "(null)" when info_data gives no stream. */
static std::string info_of(const std::string &path, const char *query = "?info")
{
    FILE *f = info_data((path + query).c_str());
    if (!f) return "(null)";
    std::string text = stream_text(f);
    fclose(f);
    return text;
}

/* Checks the five file lines of text for path and returns the rest. */
static std::string after_file_lines(const std::string &text, const std::string &path)
{
    static const std::regex head("location:([^\n]*)\naccessed:-?[0-9]+\nmodified:-?[0-9]+\n"
                                 "changed:-?[0-9]+\nsize:(-?[0-9]+)\n");
    std::smatch m;
    if (!std::regex_search(text, m, head, std::regex_constants::match_continuous)) {
        ADD_FAILURE() << "no file lines in [" << text << "]";
        return text;
    }
    EXPECT_EQ(m[1].str(), path);
    EXPECT_EQ(m[2].str(), std::to_string(fs::file_size(path)));
    return m.suffix().str();
}

class Info : public TracedFolderTest {
protected:
    /* A copy of the fixture in the working folder, under name. */
    std::string copy(const std::string &fixture, const std::string &name)
    {
        std::string to = dir + "/" + name;
        write_file(to, read_file(fixtures + fixture));
        return to;
    }
    /* The reader lines of a file holding bytes, named name. */
    std::string lines_of(const std::string &bytes, const std::string &name = "t.mp3")
    {
        std::string p = dir + "/" + name;
        write_file(p, bytes);
        return after_file_lines(info_of(p), p);
    }
};

TEST_F(Info, FixturesMadeByLameGiveTheirTagsRateAndDuration)
{
    struct { const char *file, *lines; } cases[] = {
        /* Latin-1 ID3v2.3 with padding: the scan ends at the padding. */
        {"v23_mpeg1.mp3", "title:Song\nartist:Artist\nalbum:Album\nyear:2024\ntrack:3\n"
                          "genre:Rock\nbitrate:32000\nduration:1\n"},
        /* UTF-16 text arrives as percent-escaped UTF-8. */
        {"v23_utf16_mpeg2.mp3", "title:%53%C3%A5%6E%67\nartist:%C3%84%72%74%69%73%74\n"
                                "bitrate:64000\nduration:1\n"},
        /* ID3v1.1: the track byte after the comment's NUL is not read. */
        {"v1_mpeg2.mp3", "bitrate:64000\nduration:1\ntitle:Song One\nartist:Artist One\n"
                         "album:Album One\nyear:1999\ncomment:A comment\ngenre:Jazz\n"},
        /* ID3v2.4: syncsafe sizes, a picture past the first window, and a
        ** date frame (TDRC) that gives no line. */
        {"v24_picture.mp3", "title:%53%6F%6E%67%20%46%6F%75%72\nartist:Artist Four\n"
                            "album:Album Four\ntrack:4/12\ngenre:(17)\nbitrate:48000\nduration:1\n"},
        {"v22_picture.mp3", "title:Song Two\nartist:Artist Two\nalbum:Album Two\nyear:1998\n"
                            "track:2\ngenre:(8)\nbitrate:32000\nduration:1\n"},
        /* An APE tag is stepped over; the enhanced tag wins over ID3v1. */
        {"ape_tagplus.mp3", "bitrate:32000\nduration:1\ntitle:Enhanced Title\n"
                            "artist:Enhanced Artist\nalbum:Enhanced Album\ngenre:Trip Rock\n"
                            "stime:001:05\netime:003:30\n"},
    };
    for (const auto &c : cases) {
        std::string p = copy(c.file, c.file);
        EXPECT_EQ(after_file_lines(info_of(p), p), c.lines) << c.file;
    }
}

TEST_F(Info, HandBuiltTagsAndFrames)
{
    auto v23 = [](const std::string &frames) { return std::string("ID3\3\0\0\0\0\0\0", 10) + frames; };
    auto frame = [](const char *id, const std::string &data) {
        std::string f(id);
        uint32_t n = (uint32_t)data.size();
        f += (char)(n >> 24), f += (char)(n >> 16), f += (char)(n >> 8), f += (char)n;
        return f + std::string(2, '\0') + data;
    };
    std::string pad(16, '\0');

    /* Big-endian UTF-16 (lame writes only little-endian). */
    EXPECT_EQ(lines_of(v23(frame("TIT2", std::string("\1\xFE\xFF\0S", 5)) + pad)), "title:%53\n");
    /* A frame of only its encoding byte gives nothing. */
    EXPECT_EQ(lines_of(v23(frame("TALB", std::string("\0", 1)) + pad)), "");

    /* No tag: MPEG-1 Layer III at 128 kbit/s found at offset 4096; the
    ** duration counts only the 31999 bytes from the frame on (1.99 s). */
    std::string untagged(4096 + 31999, '\0');
    untagged.replace(4096, 3, "\xFF\xFB\x90");
    EXPECT_EQ(lines_of(untagged), "bitrate:128000\nduration:1\n");
    /* MPEG-2 Layer III, index 8; and indexes 0 and 15 are no frame. */
    EXPECT_EQ(lines_of(std::string("\xFF\xF3\x00\xFF\xF3\xF0\xFF\xF3\x80", 9) + std::string(991, 'z')),
              "bitrate:64000\nduration:0\n");

    /* ID3v1 fields: trailing spaces are cut (lame pads with zeros); a
    ** genre byte past the table gives no line. */
    auto v1 = [](const std::string &title, int genre) {
        std::string t = "TAG" + title + std::string(30, 'a') + std::string(30, '\0') +
                        std::string("1984", 4) + std::string(30, ' ');
        return std::string(200, 'x') + t + (char)genre;
    };
    EXPECT_EQ(lines_of(v1("A" + std::string(29, ' '), 200)),
              "title:A\nartist:" + std::string(30, 'a') + "\nyear:1984\n");
    /* With an ID3v2 tag the ID3v1 tag is not read. */
    EXPECT_EQ(lines_of(v23(frame("TIT2", std::string("\0V2", 3)) + pad) + v1("V1", 0)), "title:V2\n");
}

TEST_F(Info, TypeSideFileAndTimes)
{
    std::string body = read_file(fixtures + "v23_mpeg1.mp3");
    std::string tags = "title:Song\nartist:Artist\nalbum:Album\nyear:2024\ntrack:3\n"
                       "genre:Rock\nbitrate:32000\nduration:1\n";

    /* The type match ignores case; ".mpeg" holds no "mpg"; a path without
    ** "." is searched whole, past its first character. */
    std::string upper = dir + "/Song.MP3", clip = dir + "/Clip.mpeg", bare = dir + "/songmp3";
    ASSERT_EQ(dir.find('.'), std::string::npos);
    for (const std::string &p : {upper, clip, bare}) write_file(p, body);
    EXPECT_EQ(after_file_lines(info_of(upper), upper), tags);
    EXPECT_EQ(after_file_lines(info_of(clip, "?info&x"), clip), "");
    EXPECT_EQ(after_file_lines(info_of(bare), bare), tags);

    /* The side file follows the reader lines byte for byte, even past the
    ** 1000-byte pieces it is read in. */
    std::string side = "Rating:PG\r\nfree text without a colon\n";
    for (int i = 0; i < 300; i++) side += "line " + std::to_string(i) + "\n";
    side += std::string("\0\xFF end", 6);
    write_file(dir + "/Song.info", side);
    EXPECT_EQ(after_file_lines(info_of(upper), upper), tags + side);
    /* One too large for a text held in memory comes whole all the same. */
    side.assign(1536 * 1024, 's');
    write_file(dir + "/Song.info", side);
    EXPECT_TRUE(after_file_lines(info_of(upper), upper) == tags + side);

    /* Reading for tags leaves the file's times as they were. */
    struct utimbuf old = {1000000000, 1100000000};
    ASSERT_EQ(utime(upper.c_str(), &old), 0);
    EXPECT_NE(info_of(upper).find("accessed:1000000000\nmodified:1100000000\n"), std::string::npos);
    My_Stat_Buf st;
    ASSERT_EQ(My_stat(upper.c_str(), &st), 0);
    EXPECT_EQ(st.atime, 1000000000);
    EXPECT_EQ(st.mtime, 1100000000);

    /* What cannot be examined gives no stream. */
    EXPECT_EQ(info_of(dir + "/missing.mp3"), "(null)");
    EXPECT_EQ(info_of(dir), "(null)");
    EXPECT_EQ(info_of(dir + "/" + std::string(1100, 'n') + ".mp3"), "(null)");
}

TEST_F(Info, AliasesGiveTheRealFileAndItsCompanions)
{
    fs::create_directories(dir + "/Films/Rock");
    std::string target = dir + "/Films/Rock/Song \xC3\xA9.mp3";
    write_file(target, read_file(fixtures + "v1_mpeg2.mp3"));
    write_file(dir + "/Films/Rock/Song \xC3\xA9.info", "Rating:G\n");
    for (const char *c : {".jpg", ".png", ".bif", "_sheet.jpg"})
        write_file(dir + "/Films/Rock/Song \xC3\xA9" + c, "x");
    std::string alias = dir + "/Song.mp3x";
    write_file(alias, target + "\r\nsecond line\n");

    struct Restore {   /* the globals set here, back as they were even when a check fails */
        std::string ip = IP_Adrs[0];
        int sel = IP_Select, port = My_Port;
        ~Restore() { links.edit(Clear_Links), IP_Select = sel, My_Port = port, Confine = 1;
                     scopy(IP_Adrs[0], IP_TXT, ip.c_str()); }
    } restore;
    /* The link path differs in case and separator. */
    std::string upper_dir = dir;
    for (char &ch : upper_dir) ch = (char)toupper((unsigned char)ch);
    std::string lp = upper_dir + "\\FILMS";
    links.edit([&](LINK *t) { t[0] = {strdup("Other"), strdup("/nowhere")}, t[1] = {strdup("My Movies"), strdup(lp.c_str())}; });
    scopy(IP_Adrs[0], IP_TXT, "127.0.0.1");
    IP_Select = 0;
    My_Port = 8001;

    /* The links here name no real folder of the target: what is checked is
    ** the matching of paths, not what the server may share. */
    Confine = 0;
    std::string url = "http://127.0.0.1:8001/Roku/My%20Movies/Rock/Song%20%C3%A9";
    std::string rest = after_file_lines(info_of(alias), target);
    EXPECT_EQ(rest, "bitrate:64000\nduration:1\ntitle:Song One\nartist:Artist One\n"
                    "album:Album One\nyear:1999\ncomment:A comment\ngenre:Jazz\n"
                    "Rating:G\n"
                    "path:" + url + ".mp3\nfile:Song \xC3\xA9.mp3\n"
                    "icon:" + url + ".jpg\nicon:" + url + ".png\n"
                    "Bif:" + url + ".bif\nsheet:" + url + "_sheet.jpg\n");

    /* A link's path need not end at a separator. */
    std::string part = dir + "/Fil";
    links.edit([&](LINK *t) { free(t[1].path), t[1].path = strdup(part.c_str()); });
    EXPECT_NE(info_of(alias).find("\npath:http://127.0.0.1:8001/Roku/My%20Moviesms/Rock/Song%20%C3%A9.mp3\n"),
              std::string::npos);

    /* A missing target: the alias is examined as a file of its own. */
    write_file(alias, dir + "/gone.mp3\n");
    EXPECT_EQ(after_file_lines(info_of(alias), alias), "");
}

