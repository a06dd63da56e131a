/* The photo library import: made, real, missing and damaged libraries; the line reader. */
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "global.h"
#include "helpers.h"
#include "library/iphoto.h"
#include "subs/text.h"

using Lines = std::vector<std::string>;

static const std::string data = std::string(VELMORA_SOURCE_DIR) + "/tests/data/";

/* Index.txt for an index of `entries` entries with the given positions. */
static std::string index_text(int entries, const std::map<int, int> &pos)
{
    std::string s;
    for (int i = 0; i < entries; i++) s += std::to_string(pos.count(i) ? pos.at(i) : 0) + ",";
    return s + "\n";
}

/* The entries of Index.txt. */
static std::vector<int> entries(const std::string &index)
{
    std::vector<int> out;
    for (size_t at = 0, comma; (comma = index.find(',', at)) != std::string::npos; at = comma + 1)
        out.push_back(atoi(index.c_str() + at));
    return out;
}

/* A working and a library folder per test; dates in UTC. */
class IPhotoImport : public TracedFolderTest {
protected:
    std::string lib, tz;
    bool had_tz = false;
    void SetUp() override
    {
        TracedFolderTest::SetUp();
        if (const char *old = getenv("TZ")) tz = old, had_tz = true;
        setenv("TZ", "UTC", 1);
        tzset();
        lib = dir + "/library";
        mkdir(lib.c_str(), 0755);
        scopy(iPhoto_Path, sizeof iPhoto_Path, lib.c_str());
        Active = 1;
    }
    void TearDown() override
    {
        Active = 0;
        iPhoto_Path[0] = 0;
        if (had_tz) setenv("TZ", tz.c_str(), 1);
        else unsetenv("TZ");
        tzset();
        TracedFolderTest::TearDown();
    }
    std::string table(const char *name) { return read_file(dir + "/iPhoto Tables/" + name); }
    void import(const std::string &xml)
    {
        write_file(lib + "/AlbumData.xml", xml);
        EXPECT_EQ(Bld_iPhoto(), 0);
    }
};

TEST_F(IPhotoImport, HandMadeLibraryGivesTheFiveTables)
{
    import(read_file(data + "iphoto/library.xml"));
    /* A key photo wins over the first item; without one the first item is
    ** the thumb; an album whose name does not follow its number is skipped. */
    EXPECT_EQ(table("Albums.txt"),
              "Name:Beach &amp; Sun\tComment:Summer 2006\tThumb:250\tSong:/Users/ann/Music/iTunes/Surf.mp3"
              "\tPhotos:3\tItems:3,250,12,\n"
              "Name:Garden\tComment:\tThumb:12\tSong:\tPhotos:2\tItems:12,3,\n"
              "Name:Empty\tComment:\tThumb:0\tSong:\tPhotos:0\tItems:\n");
    /* 172800.75 s after 2001 and no date at all, and a date of 0. */
    EXPECT_EQ(table("Events.txt"),
              "Name:Trip\tDate:Wed Jan  3 00:00:00 2001\tComment:first day\tThumb:12\tPhotos:2\tItems:3,12,\n"
              "Name:Undated\tDate:Thu Jan  1 00:00:00 1970\tComment:\tThumb:250\tPhotos:1\tItems:250,\n"
              "Name:Epoch\tDate:Mon Jan  1 00:00:00 2001\tComment:\tThumb:0\tPhotos:0\tItems:\n");
    /* Photo 7 has none of the written keys: no line, no index entry. */
    std::string first = "caption:Sand castle\nat noon\tcomment:a comment\tdate:1136648589\tpath:0/IMG_1.JPG\t"
                        "thumb:1/IMG_1.jpg\tflag:on\t\n";
    std::string second = "path:2/IMG_2.JPG\t\n";
    EXPECT_EQ(table("Photos.txt"), first + second + "caption:Tom&apos;s\tpath:0/IMG_3.JPG\t\n");
    EXPECT_EQ(first.size(), 106u);
    EXPECT_EQ(table("Paths.txt"), "/P/Masters/2011\n/P/Thumbs/2011\n/P/Masters/2012\n");
    /* 103 entries after photo 3, 350 after photo 250. */
    EXPECT_EQ(table("Index.txt"), index_text(350, {{3, 1}, {250, 107}, {12, 125}}));
    EXPECT_GT(iPhoto_Time, 0);

    /* A second build reads the file from its start again. */
    std::map<std::string, std::string> before;
    for (const char *t : {"Albums.txt", "Events.txt", "Photos.txt", "Paths.txt", "Index.txt"})
        before[t] = table(t);
    EXPECT_EQ(Bld_iPhoto(), 0);
    for (const auto &[t, text] : before) EXPECT_EQ(table(t.c_str()), text) << t;

    /* On a disk too small for them the tables go as a set, the user is told,
    ** and the library is due again. */
    std::string tables = dir + "/iPhoto Tables";
    ASSERT_TRUE(mount_small(tables, "8k"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(Bld_iPhoto(), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("iPhoto tables could not be written: No space left"),
              std::string::npos);
    EXPECT_TRUE(iPhoto_Time == 0 && std::filesystem::is_empty(tables));
    EXPECT_EQ(system(("umount '" + tables + "'").c_str()), 0);
}

/* Libraries written by iPhoto, checked against the XML: 9.4's two event albums
** are not kept; 5.0.4 numbers its roll as an album, so there are no events. */
TEST_F(IPhotoImport, RealLibraries)
{
    struct Case {
        const char *folder;
        std::string album, events, photo, paths;
        int entries, id, albums;
    } cases[] = {
        {"iphoto-9.4",
         /* Faces arrays come after the keys read: photo 13's line is whole. */
         "Name:Test Album\tComment:\tThumb:13\tSong:/Applications/iPhoto.app/Contents/Resources/Music/"
         "Minuet in G.mp3\tPhotos:1\tItems:13,\n",
         "Name:Elder Park\tDate:Wed Jun 21 00:18:56 2017\tComment:\tThumb:29\tPhotos:1\tItems:29,\n"
         "Name:Import\tDate:Fri Sep 28 22:35:49 2018\tComment:\tThumb:13\tPhotos:12\tItems:"
         "13,15,17,21,25,23,1,3,5,7,9,11,\n",
         "caption:Can we carry this?\tcomment:Girls with pumpkins\tpath:2/Pumkins1.jpg\tdate:1538174149\t"
         "thumb:3/Pumkins1.jpg\t\n",
         "/Users/rhet/Dropbox/Code/osxphotos/iPhoto Library.photolibrary/Masters/2023/09/27/20230927-064945\n",
         129, 13, 11},
        {"iphoto-5.0.4", "Name:Roll 1\tComment:\tThumb:7\tSong:\tPhotos:1\tItems:7,\n", "",
         "caption:fallow_keep.png.450x450.2005-12-04\tcomment:a comment\tdate:1136648589\t"
         "path:0/fallow_keep.png.450x450.2005-12-04.jpg\tthumb:1/7.jpg\t\n",
         "/Users/username/Pictures/iPhoto Library/2006/01/07\n"
         "/Users/username/Pictures/iPhoto Library/2006/01/07/Thumbs\n",
         107, 7, 5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.folder);
        import(read_file(data + "real/" + c.folder + "/AlbumData.xml"));
        EXPECT_NE(table("Albums.txt").find(c.album), std::string::npos) << table("Albums.txt");
        EXPECT_EQ(table("Events.txt"), c.events);
        std::string photos = table("Photos.txt");
        size_t at = photos.find(c.photo);
        ASSERT_NE(at, std::string::npos) << photos;
        EXPECT_EQ(table("Paths.txt").compare(0, c.paths.size(), c.paths), 0) << table("Paths.txt");
        /* The index has the highest photo number + 100 entries. */
        std::vector<int> index = entries(table("Index.txt"));
        ASSERT_EQ(index.size(), (size_t)c.entries);
        EXPECT_EQ(index[c.id], (int)at + 1);
        std::string albums = table("Albums.txt");
        EXPECT_EQ(std::count(albums.begin(), albums.end(), '\n'), c.albums);
    }
}

TEST_F(IPhotoImport, MissingLibraryWritesNothingAndAStopStillEndsTheTables)
{
    EXPECT_EQ(Bld_iPhoto(), 0);
    EXPECT_NE(read_file(dir + "/trace.txt").find("Alert 0 iPhoto - Failed to open iPhoto AlbumData.xml !"),
              std::string::npos);
    struct stat st;
    EXPECT_NE(stat((dir + "/iPhoto Tables").c_str(), &st), 0);

    /* Stopped before the first line: empty tables, the index a line end. */
    Active = 0;
    import(read_file(data + "iphoto/library.xml"));
    EXPECT_EQ(table("Albums.txt") + table("Photos.txt") + table("Paths.txt"), "");
    EXPECT_EQ(table("Index.txt"), "\n");
}

/* The lines nxtline gives for bytes. */
static Lines lines_of(const std::string &bytes)
{
    FILE *f = tmpfile();
    fwrite(bytes.data(), 1, bytes.size(), f);
    rewind(f);
    iPhoto_Source(f);
    Lines out;
    char line[IPHOTO_LINE];
    while (nxtline(line, 1)) out.push_back(line);
    iPhoto_Source(nullptr);
    fclose(f);
    return out;
}

TEST(IPhotoLines, LinesEndOnlyAfterACloseMark)
{
    std::string numbers;
    Lines keys;
    for (int i = 0; i < 700; i++) numbers += "\t\t<key>" + std::to_string(i) + "</key>\n";
    for (int i = 0; i < 700; i++) keys.push_back("<key>" + std::to_string(i) + "</key>");
    std::string big(1 << 20, 'y');
    struct {
        std::string in;
        Lines out;
    } cases[] = {
        {"", {}},
        {"\t<key>A</key>\n\t<string>x\ty</string>\n", {"<key>A</key>", "<string>xy</string>"}},
        {"<string>two\nlines</string>\n<true/>", {"<string>two\nlines</string>", "<true/>"}},
        {"<a>\n\n<b>\t\n", {"<a>", "\n<b>"}},
        {"<k>\n\t\t\t", {"<k>", ""}},
        /* Cut at 999 characters, the rest dropped up to the line's end. */
        {"<s>" + big + "</s>\n<k>\n", {"<s>" + big.substr(0, 996), "<k>"}},
        {numbers, keys},
    };
    for (const auto &c : cases) EXPECT_EQ(lines_of(c.in), c.out) << c.in.substr(0, 60);
}

/* Damaged libraries: every build ends, and the tables hold what can be read. */
TEST_F(IPhotoImport, DamagedLibraries)
{
    auto photo = [](const std::string &id, const std::string &keys) {
        return "<key>Master Image List</key>\n<dict>\n<key>" + id + "</key>\n<dict>\n" + keys;
    };
    const std::string caption = "<key>Caption</key>\n<string>c</string>\n";
    struct {
        std::string xml;
        const char *file;
        std::string text;
    } cases[] = {
        /* Numbers out of range or not numbers at all. */
        {photo("-5", caption), "Index.txt", "\n"},
        {photo("1000000", caption), "Index.txt", "\n"},
        {photo("99999999999999", caption), "Photos.txt", "caption:c\t\n"},
        {photo("x", caption), "Index.txt", index_text(100, {{0, 1}})},
        {photo("0", caption + "</dict>\n<key>101</key>\n<dict>\n" + caption), "Index.txt",
         index_text(201, {{0, 1}, {101, 12}})},
        {photo("999999", caption), "Index.txt", index_text(1000099, {{999999, 1}})},
        {photo("2", "<key>DateAsTimerInterval</key>\n<real>1e300</real>\n"), "Photos.txt", "date:2147483647\t\n"},
        {photo("2", "<key>DateAsTimerInterval</key>\n<real>nan</real>\n"), "Photos.txt", "date:978307200\t\n"},
        /* Entries and lists that never end. */
        {photo("4", caption + "<key>ImagePath</key>\n"), "Photos.txt", "caption:c\t\n"},
        {"<key>AlbumId</key>\n<integer>1</integer>\n<key>AlbumName</key>\n<string>A</string>\n"
         "<key>KeyList</key>\n<array>\n<string>8</string>\n",
         "Albums.txt", "Name:A\tComment:\tThumb:8\tSong:\tPhotos:1\tItems:8,\n"},
        {"<key>RollID</key>\n", "Events.txt", ""},
        /* A name longer than a line is cut and keeps its opening mark. */
        {"<key>AlbumId</key>\n<integer>1</integer>\n<key>AlbumName</key>\n<string>" + std::string(3000, 'n') +
             "</string>\n</dict>\n",
         "Albums.txt", "Name:<string>" + std::string(991, 'n') + "\tComment:\tThumb:0\tSong:\tPhotos:0\tItems:\n"},
        /* A path without a folder stays as it is. */
        {photo("1", "<key>ThumbPath</key>\n<string>x.jpg</string>\n"), "Photos.txt", "thumb:x.jpg\t\n"},
    };
    for (const auto &c : cases) {
        import(c.xml);
        EXPECT_EQ(table(c.file), c.text) << c.xml.substr(0, 200);
    }
}
