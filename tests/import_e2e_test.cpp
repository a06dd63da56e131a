/*
** The library imports as the channel meets them: the real program, with a
** music library and a photo library configured, builds its tables when
** Start is pressed, serves them and the songs behind them over loopback, and
** rebuilds the music tables on its own when the library file changes.
*/
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "helpers.h"
#include "roku_channel.h"

namespace {

/* One track of the music library, as iTunes writes its dict. */
std::string track(int id, const std::string &name, const std::string &artist, const std::string &album,
                  const std::string &location)
{
    std::string n = std::to_string(id);
    return "\t\t<key>" + n + "</key>\n\t\t<dict>\n"
           "\t\t\t<key>Track ID</key><integer>" + n + "</integer>\n"
           "\t\t\t<key>Name</key><string>" + name + "</string>\n"
           "\t\t\t<key>Artist</key><string>" + artist + "</string>\n"
           "\t\t\t<key>Album</key><string>" + album + "</string>\n"
           "\t\t\t<key>Kind</key><string>MPEG audio file</string>\n"
           "\t\t\t<key>Location</key><string>" + location + "</string>\n"
           "\t\t</dict>\n";
}

std::string library(const std::string &tracks)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple Computer//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n"
           "\t<key>Major Version</key><integer>1</integer>\n"
           "\t<key>Tracks</key>\n\t<dict>\n" + tracks + "\t</dict>\n"
           "\t<key>Playlists</key>\n\t<array>\n"
           "\t\t<dict>\n\t\t\t<key>Name</key><string>Library</string>\n"
           "\t\t\t<key>Master</key><true/>\n"
           "\t\t\t<key>Playlist Items</key>\n\t\t\t<array>\n"
           "\t\t\t\t<dict>\n\t\t\t\t\t<key>Track ID</key><integer>101</integer>\n\t\t\t\t</dict>\n"
           "\t\t\t</array>\n\t\t</dict>\n"
           "\t\t<dict>\n\t\t\t<key>Name</key><string>Road Trip</string>\n"
           "\t\t\t<key>Playlist ID</key><integer>900</integer>\n"
           "\t\t\t<key>Playlist Items</key>\n\t\t\t<array>\n"
           "\t\t\t\t<dict>\n\t\t\t\t\t<key>Track ID</key><integer>102</integer>\n\t\t\t\t</dict>\n"
           "\t\t\t\t<dict>\n\t\t\t\t\t<key>Track ID</key><integer>101</integer>\n\t\t\t\t</dict>\n"
           "\t\t\t</array>\n\t\t</dict>\n"
           "\t</array>\n</dict>\n</plist>\n";
}

/* A photo library: one album, one roll dated at the photo epoch, one photo. */
const char *const album_data =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
    "\t<key>List of Albums</key>\n\t<array>\n\t\t<dict>\n"
    "\t\t\t<key>AlbumId</key>\n\t\t\t<integer>2</integer>\n"
    "\t\t\t<key>AlbumName</key>\n\t\t\t<string>Holiday</string>\n"
    "\t\t\t<key>Comments</key>\n\t\t\t<string>By the sea</string>\n"
    "\t\t\t<key>KeyList</key>\n\t\t\t<array>\n\t\t\t\t<string>7</string>\n\t\t\t</array>\n"
    "\t\t</dict>\n\t</array>\n"
    "\t<key>List of Rolls</key>\n\t<array>\n\t\t<dict>\n"
    "\t\t\t<key>RollID</key>\n\t\t\t<integer>5</integer>\n"
    "\t\t\t<key>RollName</key>\n\t\t\t<string>Beach Day</string>\n"
    "\t\t\t<key>RollDateAsTimerInterval</key>\n\t\t\t<real>0.0</real>\n"
    "\t\t\t<key>KeyList</key>\n\t\t\t<array>\n\t\t\t\t<string>7</string>\n\t\t\t</array>\n"
    "\t\t</dict>\n\t</array>\n"
    "\t<key>Master Image List</key>\n\t<dict>\n"
    "\t\t<key>7</key>\n\t\t<dict>\n"
    "\t\t\t<key>Caption</key>\n\t\t\t<string>Sunset</string>\n"
    "\t\t\t<key>GUID</key>\n\t\t\t<string>AbC+1%</string>\n"
    "\t\t\t<key>ImagePath</key>\n\t\t\t<string>/P/Masters/IMG_7.JPG</string>\n"
    "\t\t</dict>\n\t</dict>\n</dict>\n</plist>\n";

struct Libraries : ::testing::Test {
    std::string home, music, band, solo, itunes, photos, lib_xml;
    Program v;
    Channel ch;

    void SetUp() override
    {
        setenv("TZ", "UTC", 1);      /* the roll dates are local times */
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

    std::string location(const std::string &path)
    {
        std::string out = "file://localhost";
        for (char c : path)
            out += c == ' ' ? std::string("%20") : std::string(1, c);
        return out;
    }

    std::string tracks(void)
    {
        return track(101, "First Song", "The Band", "Debut", location(band + "/01 First Song.mp3")) +
               track(102, "Second Song", "The Band", "Debut", location(band + "/02 Second Song.mp3")) +
               track(103, "Lone Song", "Loner", "Solo Album", location(solo + "/Lone.mp3"));
    }

    /* Starts the program pressing Start; false when it never served. */
    bool start(void)
    {
        /* The last run's output must not be read for this one's. */
        std::filesystem::remove(home + "/stdout.txt");
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
              "Track ID=102\tName=Second Song\tArtist=The Band\tAlbum=Debut\tKind=MPEG audio file\t"
              "Location=" + location(band + "/02 Second Song.mp3") + "\t");
    EXPECT_EQ(get(tables + "album_art.txt"), "debut\t" + band + "/Folder.jpg\n");
    /* Link 1 is the band's folder: the song is the file on disk. */
    EXPECT_EQ(get(tables + "link1/01%20First%20Song.mp3"), "first song's bytes");
    EXPECT_EQ(get(tables + "link0/Lone.mp3"), "lone");

    /* A new album in the library; nothing asks the server for two minutes,
    ** so its idle check sees the new time and imports again. */
    write_file(lib_xml, library(tracks() + track(104, "Late Song", "Loner", "Encore",
                                                 location(solo + "/Lone.mp3"))));
    struct utimbuf later = {time(nullptr) + 10, time(nullptr) + 10};
    utime(lib_xml.c_str(), &later);
    std::string albums_file = v.roku + "/iTunes Tables/albums.txt";
    for (int i = 0; i < 400 && read_file(albums_file).find("Encore") == std::string::npos; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(get(tables + "albums.txt"), "Debut=101\t102\nEncore=104\nSolo Album=103\n");
    EXPECT_EQ(v.stop(SIGTERM), 0);

    /* The music library is unchanged now; a photo library appeared, so the
    ** next Start imports it. */
    write_file(photos + "/AlbumData.xml", album_data);
    ASSERT_TRUE(start()) << v.output();
    std::string photo = "/iPhoto%20Tables/";
    EXPECT_EQ(get(photo + "Events.txt"), "Name:Beach Day\tDate:Mon Jan  1 00:00:00 2001\tComment:\tThumb:7\t"
                                         "Photos:1\tItems:7,\n");
    std::string album = get(photo + "Albums.txt");
    EXPECT_EQ(album.rfind("Name:Holiday\tComment:By the sea\tThumb:7\tSong:", 0), 0u) << album;
    EXPECT_NE(album.find("\tPhotos:1\tItems:7,\n"), std::string::npos) << album;
    EXPECT_EQ(get(photo + "Photos.txt"), "caption:Sunset\tpath:0/IMG_7.JPG\t\n");
    EXPECT_EQ(get(photo + "Paths.txt"), "/P/Masters\n");
    std::string index = "0,0,0,0,0,0,0,1,";
    for (int i = 8; i < 107; i++)
        index += "0,";
    EXPECT_EQ(get(photo + "Index.txt"), index + "\n");
    /* The music tables were left as they were. */
    EXPECT_EQ(get(tables + "albums.txt"), "Debut=101\t102\nEncore=104\nSolo Album=103\n");
    EXPECT_EQ(v.stop(SIGTERM), 0);
}

}  // namespace
