/* The profile calls on Windows, where the system's functions write through a
** copy: writers of several threads and a batch lose nothing and leave no
** copy behind.  (tests/win/e2e.sh compares the bytes with Linux's.) */
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "helpers.h"
#include "pal/pal.h"

TEST(WinProfile, WritersAndABatchLoseNothing)
{
    std::string dir = temp_folder(), ini = dir + "/Velmora.ini";
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
    EXPECT_FALSE(std::filesystem::exists(ini));                    /* the others wait for the batch */
    EXPECT_EQ(pal_profile_end(ini.c_str()), 1);
    for (auto &w : writers) w.join();
    for (int t = 0; t < 3; t++)
        for (int k = 0; k < 20; k++) EXPECT_EQ(get(std::to_string(t) + "_" + std::to_string(k)), "1");
    EXPECT_EQ(get("batch"), "1");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);   /* no copy left */
    std::filesystem::remove_all(dir);
}
