/*
** The library imports as the channel meets them: the real program, with a
** music library and a photo library configured, builds its tables when
** Start is pressed, serves them and the songs behind them over loopback, and
** rebuilds the music tables on its own when the library file changes.
*/
#include <gtest/gtest.h>

#include <utime.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "helpers.h"
#include "roku_channel.h"

namespace {

struct Libraries : ::testing::Test {
    std::string home, music, band, solo, itunes, photos, lib_xml;
    Program v;
    Channel ch;

    void SetUp() override
    {
        home = temp_folder();
        music = home + "/Music";
        band = music + "/The Band/Debut";
        solo = music + "/Other/Solo";
        itunes = home + "/iTunes";
        photos = home + "/Photos";
        for (const std::string &d : {band, solo, itunes, photos, home + "/My Roku"})
            std::filesystem::create_directories(d);
        write_file(band + "/01 First Song.mp3", "first song's bytes");
        write_file(band + "/02 Second Song.mp3", "second");
        write_file(band + "/Folder.jpg", "cover");
        write_file(solo + "/Lone.mp3", "lone");
        lib_xml = itunes + "/iTunes Music Library.xml";
        write_file(lib_xml, library(tracks()));
        write_file(home + "/My Roku/Velmora.ini", "[Velmora]\r\nIPadrs=127.0.0.1\r\nPort=0\r\n"
                                                   "iTunes_Path=" + itunes + "\r\niPhoto_Path=" + photos + "\r\n");
    }

    std::string tracks(void)
    {
        return itunes_song(101, "First Song", "The Band", "Debut", band + "/01 First Song.mp3") +
               itunes_song(102, "Second Song", "The Band", "Debut", band + "/02 Second Song.mp3") +
               itunes_song(103, "Lone Song", "Loner", "Solo Album", solo + "/Lone.mp3");
    }

    std::string library(const std::string &songs)
    {
        return itunes_library(songs, itunes_playlist("Library", {101}) + itunes_playlist("Road Trip", {102, 101}));
    }

    /* Starts the program pressing Start; false when it never served. */
    bool start(void)
    {
        /* The last run's output must not be read for this one's. */
        std::filesystem::remove(home + "/stdout.txt");
        /* The idle check after three quiet seconds instead of two minutes. */
        setenv("VELMORA_IDLE_SECONDS", "3", 1);
        v.start({"-s"}, home);
        if (!v.wait_output("Server - 127.0.0.1:", 60))
            return false;
        std::string out = v.output();
        ch.close_connection();
        ch.sequence = -1;
        ch.port = atoi(out.c_str() + out.rfind("Server - 127.0.0.1:") + 19);
        return ch.port > 0;
    }

    std::string get(const std::string &target, int status = 200)
    {
        Channel_Answer a;
        EXPECT_TRUE(ch.request("GET", target, a)) << target;
        EXPECT_EQ(a.status, status) << target;
        return a.body;
    }
};

/* Start builds the music tables; the channel reads them, a track's file and
** a song through its folder's link; a changed library is imported again by
** the idle check; after a restart a photo library that appeared is imported
** and served. */
TEST_F(Libraries, StartBuildsServesAndTheIdleCheckRebuilds)
{
    ASSERT_TRUE(start()) << v.output();
    std::string tables = "/iTunes%20Tables/";
    EXPECT_EQ(get(tables + "albums.txt"), "Debut=101\t102\nSolo Album=103\n");
    EXPECT_EQ(get(tables + "artists.txt"), "Loner=103\nThe Band=101\t102\n");
    EXPECT_EQ(get(tables + "songs.txt"), "First Song=101\nLone Song=103\nSecond Song=102\n");
    EXPECT_EQ(get(tables + "playlists.txt"), "Road Trip=102\t101\n");
    get(tables + "podcasts.txt", 404);
    std::string root = home.substr(1);     /* the location after "file://localhost/" */
    EXPECT_EQ(get(tables + "links.txt"), root + "/Music/Other/Solo/\n" + root + "/Music/The%20Band/Debut/\n");
    EXPECT_EQ(get(tables + "Track-102.txt"),
              "Track ID=102\tName=Second Song\tArtist=The Band\tAlbum=Debut\t"
              "Location=" + itunes_location(band + "/02 Second Song.mp3") + "\t");
    EXPECT_EQ(get(tables + "album_art.txt"), "debut\t" + band + "/Folder.jpg\n");
    /* Link 1 is the band's folder: the song is the file on disk. */
    EXPECT_EQ(get(tables + "link1/01%20First%20Song.mp3"), "first song's bytes");
    EXPECT_EQ(get(tables + "link0/Lone.mp3"), "lone");

    /* A new album in the library; nothing asks the server for the idle
    ** period (shortened for the test when it started), so its idle check
    ** sees the new time and imports again. */
    write_file(lib_xml, library(tracks() + itunes_song(104, "Late Song", "Loner", "Encore", solo + "/Lone.mp3")));
    struct utimbuf later = {time(nullptr) + 10, time(nullptr) + 10};
    utime(lib_xml.c_str(), &later);
    std::string albums_file = v.roku + "/iTunes Tables/albums.txt";
    for (int i = 0; i < 400 && read_file(albums_file).find("Encore") == std::string::npos; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(get(tables + "albums.txt"), "Debut=101\t102\nEncore=104\nSolo Album=103\n");
    EXPECT_EQ(v.stop(SIGTERM), 0);

    /* The music library is unchanged now; a photo library appeared, so the
    ** next Start imports it, and the channel reads its tables (what they
    ** hold is the photo import's own tests' concern). */
    write_file(photos + "/AlbumData.xml", read_file(VELMORA_SOURCE_DIR "/tests/data/iphoto/library.xml"));
    ASSERT_TRUE(start()) << v.output();
    for (const char *name : {"Events.txt", "Albums.txt", "Photos.txt", "Paths.txt", "Index.txt"}) {
        std::string served = get("/iPhoto%20Tables/" + std::string(name));
        EXPECT_GT(served.size(), 1u) << name;
        EXPECT_EQ(served, read_file(v.roku + "/iPhoto Tables/" + name)) << name;
    }
    /* The music tables were left as they were. */
    EXPECT_EQ(get(tables + "albums.txt"), "Debut=101\t102\nEncore=104\nSolo Album=103\n");
    EXPECT_EQ(v.stop(SIGTERM), 0);
}

}  // namespace
