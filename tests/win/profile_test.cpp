/* The profile calls on Windows, where the system's own functions serve: the
** file's bytes are the ones the portable engine (Linux's) writes, writes
** from many threads and a batch lose nothing, and no copy is left behind. */
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "helpers.h"
#include "pal/pal.h"

/* The portable engine under its Windows names (pal/win32/profile_own.h). */
int pal_own_write_private_profile_string(const char *section, const char *key, const char *value, const char *file);
int pal_own_write_private_profile_section(const char *section, const char *list, const char *file);

static std::string names(const std::string &dir)
{
    std::string out;
    for (auto &e : std::filesystem::directory_iterator(dir)) out += " " + e.path().filename().string();
    return out;
}

TEST(WinProfile, WritesLeaveTheBytesLinuxWrites)
{
    std::string dir = temp_folder(), sys = dir + "/Velmora.ini", own = dir + "/own.ini";
    const char *missing = "<missing>";
    struct { const char *sec, *key, *value, *list; } writes[] = {
        {"Velmora", "Port", "50080", missing},
        {"Velmora", "Name", "Living Room", missing},
        {"Links", "Movies", "C:/Media/Movies", missing},
        {"links", "Caf\xC3\xA9 \xE2\x99\xAA", "D:/M\xC3\xBCsik", missing},   /* UTF-8, as the program keeps it */
        {" velmora ", " PORT ", "8080", missing},                              /* the file's spelling stays */
        {"Velmora", "Bad", "1\r\n[Evil]\r\nx=1", missing},                     /* no line of its own */
        {"Private", "D:/Kids", "1234", missing},
        {"Links", nullptr, nullptr, "A=C:/a\0B=C:/b\0"},                       /* a section written whole */
        {"Velmora", "Name", nullptr, missing},
        {"Private", nullptr, nullptr, missing},
        {"Gone", "x", nullptr, missing},
    };
    for (auto &w : writes) {
        bool whole = w.list != missing;
        for (const std::string &f : {sys, own})
            EXPECT_EQ(whole ? (f == sys ? pal_write_private_profile_section : pal_own_write_private_profile_section)(
                                  w.sec, w.list, f.c_str())
                            : (f == sys ? pal_write_private_profile_string : pal_own_write_private_profile_string)(
                                  w.sec, w.key, w.value, f.c_str()),
                      1);
        EXPECT_EQ(read_file(sys), read_file(own)) << w.sec << " " << (w.key ? w.key : "(null)");
    }
    char buf[100];
    pal_get_private_profile_string("Links", "B", "", buf, sizeof buf, sys.c_str());
    EXPECT_STREQ(buf, "C:/b");
    EXPECT_EQ(names(dir), " own.ini Velmora.ini");
    std::filesystem::remove_all(dir);
}

TEST(WinProfile, ThreadsAndABatchLoseNoWrite)
{
    std::string dir = temp_folder(), ini = dir + "/Velmora.ini";
    auto get = [&](const std::string &sec, const std::string &key) {
        char buf[64];
        pal_get_private_profile_string(sec.c_str(), key.c_str(), "<def>", buf, sizeof buf, ini.c_str());
        return std::string(buf);
    };
    ASSERT_EQ(pal_write_private_profile_string("A", "old", "1", ini.c_str()), 1);
    ASSERT_EQ(pal_profile_begin(ini.c_str()), 1);
    EXPECT_EQ(pal_write_private_profile_string("A", "new", "2", ini.c_str()), 1);
    EXPECT_EQ(get("A", "new"), "2");                         /* the owner sees its batch */
    EXPECT_EQ(read_file(ini), "[A]\r\nold=1\r\n");           /* the disk does not yet */
    std::atomic<int> bad(0);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; t++)
        writers.emplace_back([&, t] {
            for (int k = 0; k < 20; k++) {
                std::string key = "t" + std::to_string(t) + "_" + std::to_string(k);
                bad += !pal_write_private_profile_string(("T" + std::to_string(t % 2)).c_str(), key.c_str(), "1",
                                                         ini.c_str());
                bad += get("A", "old") != "1";
            }
        });
    pal_sleep(50);
    EXPECT_EQ(read_file(ini), "[A]\r\nold=1\r\n");           /* the other writers wait for the batch */
    EXPECT_EQ(pal_profile_end(ini.c_str()), 1);
    for (auto &w : writers) w.join();
    EXPECT_EQ(bad.load(), 0);
    for (int t = 0; t < 4; t++)
        for (int k = 0; k < 20; k++)
            EXPECT_EQ(get("T" + std::to_string(t % 2), "t" + std::to_string(t) + "_" + std::to_string(k)), "1");
    EXPECT_EQ(get("A", "new"), "2");
    EXPECT_EQ(names(dir), " Velmora.ini");
    std::filesystem::remove_all(dir);
}
