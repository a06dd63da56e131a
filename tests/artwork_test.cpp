/* Album artwork: found beside a made library's music; the art tables' order and case rules. */
#include <gtest/gtest.h>

#include <filesystem>

#include "global.h"
#include "library/artwork.h"
#include "library/itunes.h"
#include "helpers.h"
#include "subs/text.h"

namespace fs = std::filesystem;

/* A track of the made library; a video when so marked. */
static std::string track(int id, const std::string &name, const std::string &artist, const std::string &album,
                         const std::string &path, bool video = false)
{
    return itunes_song(id, name, artist, album, path, video ? Itunes_Keys{{"Has Video", "<true/>"}} : Itunes_Keys{});
}

using Artwork = TracedFolderTest;

TEST_F(Artwork, FoundBesideTheMusic)
{
    std::string m = dir + "/media";
    struct { const char *folder, *image; } images[] = {
        {"The Beatles/Abbey Road", "Abbey Road.jpg"},    /* a match at the first character: none */
        {"The Beatles/Abbey Road", "01 Abbey Road.jpg"},
        {"The Beatles/Abbey Road", "01 Something.png"},  /* never a .png or a .jpeg */
        {"The Beatles/Abbey Road", "Something.x.jpeg"},
        {"Queen/Greatest Hits", "AlbumArt_{7A}_Large.jpg"},
        {"Misc/Mix", "AlbumArt_{7A}_Small.jpg"},
        {"Ann/Holiday", "Folder.JPG"},
        {"Ann/Holiday & Sun", "Cover.jpg"},
        {"Ann/Plain", "notes.txt"},
    };
    for (auto &i : images) {
        fs::create_directories(m + "/" + i.folder);
        write_file(m + "/" + i.folder + "/" + i.image, "x");
    }
    std::string tracks = track(1, "Come Together", "The Beatles", "Abbey Road", m + "/The Beatles/Abbey Road/1.mp3") +
                         track(2, "Bohemian Rhapsody", "Queen", "Greatest Hits", m + "/Queen/Greatest Hits/2.mp3") +
                         track(3, "Small", "Tiny", "Mix", m + "/Misc/Mix/3.mp3") +
                         track(4, "Film", "Ann", "Holiday", m + "/Ann/Holiday/4.m4v", true) +
                         track(5, "Beach", "Ann", "Holiday", m + "/Ann/Holiday/5.mp3") +
                         track(6, "Sunset", "ANN", "Holiday  ", m + "/Ann/Holiday & Sun/6.mp3") +
                         track(7, "Plain", "Nobody", "Nothing", m + "/Ann/Plain/7.mp3") +
                         track(8, "Lost", "Nobody", "Nothing", m + "/Gone/8.mp3");
    std::string lib = dir + "/lib";
    fs::create_directories(lib);
    write_file(lib + "/iTunes Music Library.xml", itunes_library(tracks));
    scopy(iTunes_Path, sizeof iTunes_Path, lib.c_str());
    Active = 1;
    ASSERT_EQ(Bld_Tables(1), 1);
    Active = 0;

    std::string t = dir + "/iTunes Tables/";
    EXPECT_EQ(read_file(t + "album_art.txt"), "abbey road\t" + m + "/The Beatles/Abbey Road/01 Abbey Road.jpg\n"
                                              "greatest hits\t" + m + "/Queen/Greatest Hits/AlbumArt_{7A}_Large.jpg\n"
                                              "holiday\t" + m + "/Ann/Holiday/Folder.JPG\n");
    EXPECT_EQ(read_file(t + "artist_art.txt"), "ann\t" + m + "/Ann/Holiday/Folder.JPG\n"
                                               "queen\t" + m + "/Queen/Greatest Hits/AlbumArt_{7A}_Large.jpg\n");
    EXPECT_EQ(read_file(t + "music_art.txt"), "beach\t" + m + "/Ann/Holiday/Folder.JPG\n"
                                              "bohemian rhapsody\t" + m + "/Queen/Greatest Hits/AlbumArt_{7A}_Large.jpg\n"
                                              "small\t" + m + "/Misc/Mix/AlbumArt_{7A}_Small.jpg\n"
                                              "sunset\t" + m + "/Ann/Holiday & Sun/Cover.jpg\n");
    EXPECT_EQ(art_cnt, 0);                     /* the build's end resets it */
}

TEST_F(Artwork, TablesSortWithoutCaseAndKeepTheFirst)
{
    struct { int where; const char *who, *path; } entries[] = {
        {0, "Abba", "1"}, {0, "ABBA  ", "2"}, {0, "b", "3"},  {0, "_x", "4"},
        {0, "   ", "5"},  {1, "Zed", "6"},    {1, "zed", "7"}, {7, "Out", "8"},
    };
    for (auto &e : entries) EXPECT_EQ(Ins_Artwork(e.where, e.who, e.path), 0);
    EXPECT_EQ(art_cnt, 5);
    Close_Artwork(dir.c_str());
    EXPECT_EQ(read_file(dir + "/album_art.txt"), " \t5\n_x\t4\nabba\t1\nb\t3\n");
    EXPECT_EQ(read_file(dir + "/artist_art.txt"), "zed\t6\n");
    EXPECT_FALSE(fs::exists(dir + "/music_art.txt"));
    EXPECT_EQ(album_art, nullptr);
    Reset_Artwork();
}
