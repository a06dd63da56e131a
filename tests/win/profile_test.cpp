/* The profile calls on Windows, where the system's functions serve: the bytes
** are the portable engine's (Linux's), and writers of several threads and a
** batch lose nothing and leave no copy behind. */
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "helpers.h"
#include "pal/pal.h"

/* The portable engine under its Windows name (pal/win32/profile_own.h). */
int pal_own_write_private_profile_string(const char *section, const char *key, const char *value, const char *file);

TEST(WinProfile, BytesOfLinuxAndNoWriteLost)
{
    std::string dir = temp_folder(), ini = dir + "/Velmora.ini", own = dir + "/own.ini";
    const char *writes[][3] = {{"Velmora", "Port", "50080"}, {"Links", "Movies", "C:/Media/Movies"},
                               {"links", "Caf\xC3\xA9", "D:/M\xC3\xBCsik"}, {" velmora ", " PORT ", "80"},
                               {"Velmora", "Bad", "1\r\n[Evil]"}, {"Links", "Movies", nullptr},
                               {"Links", nullptr, nullptr}, {"Gone", "x", nullptr}};
    for (auto &w : writes) {
        EXPECT_EQ(pal_write_private_profile_string(w[0], w[1], w[2], ini.c_str()), 1);
        EXPECT_EQ(pal_own_write_private_profile_string(w[0], w[1], w[2], own.c_str()), 1);
        EXPECT_EQ(read_file(ini), read_file(own)) << w[0] << " " << (w[1] ? w[1] : "(null)");
    }
    auto get = [&](const std::string &key) {
        char buf[64];
        pal_get_private_profile_string("T", key.c_str(), "<def>", buf, sizeof buf, ini.c_str());
        return std::string(buf);
    };
    ASSERT_EQ(pal_profile_begin(ini.c_str()), 1);
    EXPECT_EQ(pal_write_private_profile_string("T", "batch", "1", ini.c_str()), 1);
    EXPECT_EQ(get("batch"), "1");                                  /* the owner sees its batch */
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; t++)
        writers.emplace_back([&, t] {
            for (int k = 0; k < 20; k++)
                pal_write_private_profile_string("T", (std::to_string(t) + "_" + std::to_string(k)).c_str(), "1",
                                                 ini.c_str());
        });
    pal_sleep(50);
    EXPECT_EQ(read_file(ini).find("[T]"), std::string::npos);      /* the others wait for the batch */
    EXPECT_EQ(pal_profile_end(ini.c_str()), 1);
    for (auto &w : writers) w.join();
    for (int t = 0; t < 3; t++)
        for (int k = 0; k < 20; k++) EXPECT_EQ(get(std::to_string(t) + "_" + std::to_string(k)), "1");
    EXPECT_EQ(get("batch"), "1");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2);   /* no copy left */
    std::filesystem::remove_all(dir);
}
