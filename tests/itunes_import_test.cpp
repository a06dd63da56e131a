/* The music library import: the tables the channel reads, the line splitter, limits, Stop. */
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "global.h"
#include "library/itunes.h"
#include "library/track_files.h"
#include "helpers.h"
#include "subs/text.h"
#include "subs/threads.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

static const std::string DATA = VELMORA_SOURCE_DIR "/tests/data/";

class ItunesImport : public TracedFolderTest {
protected:
    std::string lib, tables;
    fs::path cwd = fs::current_path();      /* builds never change it */
    void SetUp() override
    {
        TracedFolderTest::SetUp();
        lib = dir + "/lib";
        tables = dir + "/iTunes Tables";
        fs::create_directories(lib);
        scopy(iTunes_Path, sizeof iTunes_Path, lib.c_str());
        iPhoto_Path[0] = 0;
        iTunes_Time = 0;
        Active = 1;
        New_iTunes = 0;
        /* The track files go through their writer threads, as in the server. */
        Jobs[JOB_TRACKS] = Track_Writer;
    }
    void TearDown() override
    {
        Jobs[JOB_TRACKS] = nullptr;
        Active = 0;
        TracedFolderTest::TearDown();
    }
    /* Imports text as the library file; returns Bld_Tables' result. */
    int import_text(const std::string &text)
    {
        write_file(lib + "/iTunes Music Library.xml", text);
        return Bld_Tables(1);
    }
    int import_file(const std::string &path) { return import_text(read_file(path)); }
    std::string table(const std::string &name) { return read_file(tables + "/" + name); }
    bool has(const std::string &name) { return fs::exists(tables + "/" + name); }
    /* The names of the files in the tables folder, sorted. */
    std::vector<std::string> files()
    {
        std::vector<std::string> out;
        for (auto &e : fs::directory_iterator(tables)) out.push_back(e.path().filename());
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(ItunesImport, SampleLibraryTablesAreWrittenWhole)
{
    ASSERT_EQ(import_file(DATA + "itunes/sample.xml"), 1);
    EXPECT_EQ(table("albums.txt"), "Abbey Road=101\t103\n"
                                   "Caf\xe9 del Mar=105\n"
                                   "Demos=117\n"
                                   "Led Zeppelin IV=107\n"
                                   "Something=115\n"
                                   "Unknown Album=109\n");
    EXPECT_EQ(table("artists.txt"), "Ann=109\nEnergy 52=105\nLed Zeppelin=107\nShirley Bassey=115\n"
                                    "The Beatles=101\t103\nUnknown Artist=117\n");
    EXPECT_EQ(table("songs.txt"), "Caf\xe9 del Mar=105\nCome Together=101\nIntro=117\nRock & Roll=107\n"
                                  "Something=103\t115\nUntitled Demo=109\n");
    /* "Library", "Music" and the playlist without items leave no line; two
    ** playlists of one name share one. */
    EXPECT_EQ(table("playlists.txt"), "90\xe2\x80\x99s Music=105\nRoad Trip=103\t101\t107\t115\n");
    EXPECT_EQ(table("podcasts.txt"), "Radiolab Podcast=111\n");
    /* Deep Windows paths stop three levels up; a folder name with two
    ** escapes in a row ("Caf%e9%20del") is not entered; "&" is %26. */
    std::string links = "C:/Music/Demos/\nC:/Music/Podcasts/Radiolab/\nC:/Music/Shirley%20Bassey/\n"
                        "C:/Users/Ann/Music/iTunes/iTunes%20Media/Music/\nhome/ann/Movies/\n"
                        "home/ann/Music/Energy%2052/\nhome/ann/Music/Led%20Zeppelin/Led%20Zeppelin%20IV/\n";
    EXPECT_EQ(table("links.txt"), links);
    std::string mem;
    for (int i = 0; i < plink_cnt; i++) mem += plinks[i] + "\n"s;
    EXPECT_EQ(mem, links);
    EXPECT_EQ(plinks[plink_cnt], nullptr);

    const std::string common = "Kind=MPEG audio file\tSize=1109\tTotal Time=237923\tDate Modified=2008-08-25T14:19:59Z\t"
                               "Bit Rate=256\tSample Rate=44100\tPersistent ID=01E0620EDC22EF6D\tTrack Type=File\t";
    EXPECT_EQ(table("Track-109.txt"), "Track ID=109\tName=Untitled Demo\tArtist=Ann\t" + common +
                                          "Location=file://localhost/C:/Music/Demos/demo.mp3\tAlbum=Unknown Album\t");
    EXPECT_NE(table("Track-105.txt").find("\tName=Caf\xe9 del Mar\t"), std::string::npos);
    EXPECT_NE(table("Track-105.txt").find("/Caf%e9%20del%20Mar/01%20Caf%e9%20del%20Mar.mp3\t"), std::string::npos);
    EXPECT_NE(table("Track-113.txt").find("\tHas Video=\t"), std::string::npos);

    /* The track without a Track ID left nothing; no images, no art tables. */
    std::vector<std::string> want = {"Track-101.txt", "Track-103.txt", "Track-105.txt", "Track-107.txt",
                                     "Track-109.txt", "Track-111.txt", "Track-113.txt", "Track-115.txt",
                                     "Track-117.txt", "albums.txt",    "artists.txt",   "links.txt",
                                     "playlists.txt", "podcasts.txt",  "songs.txt"};
    EXPECT_EQ(files(), want);

    struct stat st;
    ASSERT_EQ(stat((lib + "/iTunes Music Library.xml").c_str(), &st), 0);
    EXPECT_EQ(iTunes_Time, (long long)st.st_mtime);
    EXPECT_EQ(New_iTunes.load(), 1);
    EXPECT_EQ(fs::current_path(), cwd);
    EXPECT_EQ(Chk_iTunes_iPhoto(), 0);
}

TEST_F(ItunesImport, OddLinesFollowTheirRules)
{
    ASSERT_EQ(import_file(DATA + "itunes/edge.xml"), 1);
    /* Byte order: upper case before lower case, Latin-1 after ASCII.  The
    ** 6000-character name was read in pieces: its first piece holds no
    ** value, so the song is unnamed.  The artist is cut at 999. */
    EXPECT_EQ(table("albums.txt"), "Deep=1\t2\t5\ndeep=6\n");
    EXPECT_EQ(table("artists.txt"), std::string(999, 'B') + "=5\nUnknown Artist=2\nZed=1\n\xc9" "dith Piaf=6\n");
    EXPECT_EQ(table("songs.txt"), "Last Name Wins=6\nRock'n Roll=2\nTom &amp; Jerry & Co  =1\nUnknown Name=5\n");
    /* Items end at an id of 0; the next list of the same name goes on. */
    EXPECT_EQ(table("playlists.txt"), "Mixed=6\t2\t5\n");
    EXPECT_EQ(table("links.txt"), "E:/Music/P/\nE:/Music/P/Q/R/\nUsers/bob/Sigur%20R%f3s/\n");
    EXPECT_EQ(table("Track-1.txt"), "Track ID=1\tName=Tom &amp; Jerry & Co  \tArtist=Zed\tAlbum=Deep\tComments=\t"
                                    "Compilation=\tLocation=file://localhost/E:/Music/P/Q/R/S/T/x.mp3\t");
    EXPECT_EQ(table("Track-2.txt"), "Track ID=2\tName=Rock'n Roll\tAlbum=Deep\t"
                                    "Location=file://localhost/E:/Music/P/it%27s%20%5Bmine%5D/x.mp3\t"
                                    "Artist=Unknown Artist\t");
    EXPECT_EQ(table("Track-4.txt"), "Track ID=4\tName=Sigur R\xf3s Clip\tMovie=\t"
                                    "Location=file://localhost/Users/bob/Sigur%20R%f3s/clip.mov\t"
                                    "Album=Unknown Album\tArtist=Unknown Artist\t");
    EXPECT_FALSE(has("Track-0.txt"));
    EXPECT_FALSE(has("Track-3.txt"));
}

/* Track files are named by the id text; a rebuild leaves exactly its own. */
TEST_F(ItunesImport, TrackFilesFollowTheLibrary)
{
    auto one = [](const std::string &id, const std::string &name) {
        return itunes_track(1, {{"Track ID", "<integer>" + id + "</integer>"}, {"Name", str_val(name)}});
    };
    ASSERT_EQ(import_text(itunes_library(one("1", "a") + one("2", "b") + one("7\xc3\xa9", "c") + one("8/../x", "d"))), 1);
    EXPECT_EQ(files(), (std::vector<std::string>{"Track-1.txt", "Track-2.txt", "Track-7\xc3\xa9.txt", "albums.txt",
                                                 "artists.txt", "songs.txt"}));
    EXPECT_EQ(table("songs.txt"), "a=1\nb=2\nc=7\nd=8\n");

    /* A file rewritten with another text keeps no bits for others it had. */
    ASSERT_EQ(chmod((tables + "/Track-7\xc3\xa9.txt").c_str(), 0644), 0);
    ASSERT_EQ(import_text(itunes_library(one("2", "b") + one("3", "c") + one("7\xc3\xa9", "e"))), 1);
    EXPECT_EQ(files(), (std::vector<std::string>{"Track-2.txt", "Track-3.txt", "Track-7\xc3\xa9.txt", "albums.txt",
                                                 "artists.txt", "songs.txt"}));
    EXPECT_EQ(table("Track-2.txt"), "Track ID=2\tName=b\tAlbum=Unknown Album\tArtist=Unknown Artist\t");
    EXPECT_EQ(table("Track-7\xc3\xa9.txt"), "Track ID=7\xe9\tName=e\tAlbum=Unknown Album\tArtist=Unknown Artist\t");
    struct stat st;
    ASSERT_EQ(stat((tables + "/Track-7\xc3\xa9.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

/* Real libraries written by iTunes, checked against the XML read by hand. */
TEST_F(ItunesImport, RealLibraries)
{
    ASSERT_EQ(import_file(DATA + "real/itunes-mac-10.1.1/iTunes Music Library.xml"), 1);
    std::string albums = table("albums.txt"), songs = table("songs.txt");
    EXPECT_NE(albums.find("\nGreatest Hits [Explicit]=123\t125\n"), std::string::npos);
    EXPECT_NE(albums.find("\nKon & Amir - present Off Track Vol. 2: Queens=133\n"), std::string::npos);
    EXPECT_NE(songs.find("\nRun This Town [Jay-Z, Rihanna, & Kanye West] (Explicit Album Version)=109\n"),
              std::string::npos);
    EXPECT_NE(table("playlists.txt").find("\nMovies=434\t217\n"), std::string::npos);
    EXPECT_EQ(table("podcasts.txt").substr(0, 24), "YUI Theater=149\t153\t155\t");
    /* Folders whose names hold " [" stop above them. */
    EXPECT_EQ(table("links.txt"), "Users/cervantes_vive/Music/iTunes/\nUsers/cervantes_vive/Music/iTunes/iTunes%20Music/\n");
    EXPECT_NE(table("Track-109.txt").find("\tLocation=file://localhost/Users/cervantes_vive/Music/iTunes/iTunes%20Music/"
                                          "Jay-Z/Run%20This%20Town%20%5BJay-Z,%20Rihanna,%20%26%20Kanye%20West%5D%20"
                                          "%5BExplicit%5D/01%20Run%20This%20Town"),
              std::string::npos);

    ASSERT_EQ(import_file(DATA + "real/itunes-small/iTunes Music Library.xml"), 1);
    EXPECT_EQ(table("albums.txt"), "Greatest Hits=2781\t2783\t2785\n"
                                   "Live in New York City (Disc 1)=2787\t2789\t2791\t2793\t2795\t2797\t2799\n");
    EXPECT_EQ(table("links.txt"), "Users/warrenshenk/Music/iTunes/iTunes%20Media/Music/\n");
    std::string t = table("Track-2781.txt");
    std::string first = "Track ID=2781\tName=04 Son's Gonna Rise\tArtist=Bruce Springsteen\t";
    std::string last = "\tFile Folder Count=5\tLibrary Folder Count=1\t";
    EXPECT_EQ(t.substr(0, first.size()), first);
    EXPECT_EQ(t.substr(t.size() - last.size()), last);
    /* No playlists in this library; the earlier build's files are gone. */
    EXPECT_FALSE(has("playlists.txt"));
    EXPECT_FALSE(has("Track-109.txt"));
    EXPECT_EQ(files().size(), 14u);
}

TEST_F(ItunesImport, BuildsThatCannotStart)
{
    /* The folder is emptied before the library is opened. */
    ASSERT_EQ(import_file(DATA + "itunes/sample.xml"), 1);
    long long built = iTunes_Time;
    fs::remove(lib + "/iTunes Music Library.xml");
    EXPECT_EQ(Bld_Tables(1), 0);
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(iTunes_Time, built);
    EXPECT_EQ(fs::current_path(), cwd);
    EXPECT_EQ(Chk_iTunes_iPhoto(), 1);

    /* A file where the tables folder should be. */
    write_file(lib + "/iTunes Music Library.xml", itunes_library(""));
    fs::remove_all(tables);
    write_file(tables, "x");
    EXPECT_EQ(Bld_Tables(1), 0);
    EXPECT_EQ(iTunes_Time, built);
    EXPECT_NE(read_file(dir + "/trace.txt").find("* Failed to change to iTunes Tables folder !"), std::string::npos);
}

TEST_F(ItunesImport, CheckSaysWhichLibraryIsDue)
{
    write_file(lib + "/iTunes Music Library.xml", itunes_library(""));
    std::string photos = dir + "/photos";
    fs::create_directories(photos);
    struct stat st;
    stat((lib + "/iTunes Music Library.xml").c_str(), &st);
    long long now = st.st_mtime;

    struct Case { const char *itunes; long long time; bool album_data; int want; } cases[] = {
        {"lib", 0, false, 1},          {"lib", now, false, 0}, {"lib", now, true, 2},
        {"", 0, true, 2},              {"", 0, false, 0},      {"nowhere", 0, false, 0},
        {"nowhere", 5, false, 1},
    };
    for (const Case &c : cases) {
        scopy(iTunes_Path, sizeof iTunes_Path, c.itunes[0] ? (dir + "/" + c.itunes).c_str() : "");
        iTunes_Time = c.time;
        scopy(iPhoto_Path, sizeof iPhoto_Path, photos.c_str());
        if (c.album_data) write_file(photos + "/AlbumData.xml", "<plist/>");
        else fs::remove(photos + "/AlbumData.xml");
        iPhoto_Time = 7;
        EXPECT_EQ(Chk_iTunes_iPhoto(), c.want) << c.itunes << " " << c.time << " " << c.album_data;
        if (c.want == 2) {
            EXPECT_EQ(iPhoto_Time, 0);
        }
    }
    iPhoto_Path[0] = 0;
}

TEST(Getflds, SplitsLinesIntoTagKeyAndValue)
{
    struct Case { const char *line; int kind; const char *tag, *key, *value; } cases[] = {
        {"\t\t\t<key>Name</key><string>Abbey Road</string>\n", 2, "key", "Name", "Abbey Road"},
        {"<key>Name</key><string></string>", 2, "key", "Name", ""},
        {"\t\t\t<key>Podcast</key><true/>\n", 1, "key", "Podcast", ""},
        {"\t<key>Tracks</key>\n", 1, "key", "Tracks", ""},
        {"<key>Comments</key><string>runs on\n", 1, "key", "Comments", ""},
        {"\t\t</dict>\r\n", 0, "/dict", "", ""},
        {"\tAQEAAwAAAAIAAAAZ\n", 0, "", "", ""},
        {"<unclosed", 0, "", "", ""},
        {"", 0, "", "", ""},
    };
    for (const Case &c : cases) {
        std::string line = c.line;
        EXPECT_EQ(getflds(line.data()), c.kind) << c.line;
        EXPECT_STREQ(flds[0], c.tag) << c.line;
        EXPECT_STREQ(flds[1], c.key) << c.line;
        EXPECT_STREQ(flds[2], c.value) << c.line;
        EXPECT_STREQ(flds[3], "") << c.line;
    }
}

TEST(DecodeValues, NamesAndLocations)
{
    struct Case { const char *in, *txt, *url; } cases[] = {
        {"Rock &#38; Roll", "Rock & Roll", "Rock %26 Roll"},
        {"Caf\xc3\xa9", "Caf\xe9", "Caf\xc3\xa9"},
        {"Caf%C3%A9%20x", "Caf%C3%A9%20x", "Caf%e9%20x"},
        {"%c3%a9 %C3%a9 %C4%80", "%c3%a9 %C3%a9 %C4%80", "%c3%a9 %e9 %00"},
        {"it's", "it's", "it%27s"},
        {"&#09;&#3; &#123; &amp; &#38", "\t&#3; &#123; &amp; &#38", "%09&#3; &#123; &amp; &#38"},
        {"%C3&#38;", "%C3&", "%e6"},
        {"%C", "%C", "%C"},
    };
    for (const Case &c : cases) {
        std::string t = c.in;
        EXPECT_STREQ(decode_txt(t.data()), c.txt) << c.in;
        char *u = decode_url(c.in);
        EXPECT_STREQ(u, c.url) << c.in;
        free(u);
    }
    /* Cut at 999, never inside an escape. */
    std::string longs(1200, 'x');
    EXPECT_EQ(strlen(decode_txt(longs.data())), 999u);
    char *u = decode_url(std::string(998, 'x').append("''").c_str());
    EXPECT_EQ(std::string(u), std::string(998, 'x'));
    free(u);
}

TEST(SortedLists, ByteOrderAndManyTracks)
{
    LIST *list = nullptr;
    EXPECT_EQ(insert_list(&list, "b", 1, 1), 1);
    EXPECT_EQ(insert_list(&list, "\xe9t\xe9", 2, 1), 1);
    EXPECT_EQ(insert_list(&list, "B", 3, 1), 1);
    EXPECT_EQ(insert_list(&list, "a", 4, 0), 1);
    EXPECT_EQ(insert_list(&list, "b", 5, 0), 0);
    for (int i = 0; i < 1000; i++) EXPECT_EQ(insert_list(&list, "a", 100 + i, 1), 0);
    std::string names;
    for (LIST *l = list; l; l = l->next) names += l->name + ","s + std::to_string(l->trkcnt) + " ";
    EXPECT_EQ(names, "B,1 a,1001 b,1 \xe9t\xe9,1 ");
    LIST *a = list->next;
    for (int i = 0; i < 1000; i++) ASSERT_EQ(a->tracks[1 + i], 100 + i);
    rel_chain(&list);
    EXPECT_EQ(list, nullptr);
}

/* Limits on keys per item, folders and lines are cut, never overrun. */
TEST_F(ItunesImport, LimitsAreCut)
{
    Itunes_Keys keys = {{"Track ID", int_val(7)}};
    for (int i = 0; i < 1200; i++) keys.push_back({"K" + std::to_string(i), int_val(i)});
    std::string tracks = itunes_track(7, keys);
    for (int i = 0; i < 10005; i++)
        tracks += itunes_track(10 + i, {{"Track ID", int_val(10 + i)}, {"Name", str_val("n")},
                                        {"Location", str_val("file://localhost/D:/m/" + std::to_string(100000 + i) +
                                                             "/x.mp3")}});
    ASSERT_EQ(import_text(itunes_library(tracks)), 1);
    std::string t = table("Track-7.txt");
    EXPECT_EQ(std::count(t.begin(), t.end(), '\t'), 1000);
    EXPECT_EQ(t.substr(t.size() - 9), "K998=998\t");
    std::string links = table("links.txt");
    EXPECT_EQ(std::count(links.begin(), links.end(), '\n'), 9999);
    EXPECT_EQ(links.substr(links.size() - 13), "D:/m/109998/\n");
    EXPECT_EQ(plink_cnt, 9999);
    EXPECT_EQ(plinks[9999], nullptr);
}

/* Stop while reading a pipe: the lists keep what was read, the time is cleared. */
TEST_F(ItunesImport, StopMidBuildKeepsWhatWasRead)
{
    std::string path = lib + "/iTunes Music Library.xml";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    signal(SIGPIPE, SIG_IGN);
    std::string head = "<plist version=\"1.0\">\n<dict>\n\t<key>Tracks</key>\n\t<dict>\n";
    for (int i = 1; i <= 3; i++)
        head += itunes_track(i, {{"Track ID", int_val(i)}, {"Name", str_val("Song " + std::to_string(i))}});
    std::string rest;
    for (int i = 4; i <= 50; i++) rest += itunes_track(i, {{"Track ID", int_val(i)}, {"Name", str_val("Late")}});

    std::thread writer([&] {
        int fd = open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(write(fd, head.data(), head.size()), (ssize_t)head.size());
        for (int i = 0; i < 5000 && !fs::exists(tables + "/Track-3.txt"); i++) usleep(1000);
        Active = 0;
        /* The build may have stopped already and closed its end. */
        if (write(fd, rest.data(), rest.size()) < 0) {}
        close(fd);
    });
    EXPECT_EQ(Bld_Tables(1), 1);
    writer.join();
    EXPECT_EQ(iTunes_Time, 0);
    EXPECT_EQ(table("songs.txt"), "Song 1=1\nSong 2=2\nSong 3=3\n");
    EXPECT_EQ(table("albums.txt"), "Unknown Album=1\t2\t3\n");
    EXPECT_FALSE(has("Track-4.txt"));
    EXPECT_EQ(New_iTunes.load(), 0);
}
