/*
** The test program's entry on Windows.  Under Wine the tests run inside the
** network namespace that tools/test.sh makes for the whole program (Wine
** cannot make one itself), so nothing they send leaves the machine.
** Standard input is the null device: the headless front end reads button
** presses from it.
*/
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>

#include "helpers.h"
#include "pal/pal.h"

/* A new folder below the system's temporary folder. */
std::string temp_folder(void)
{
    static std::mt19937 pick{std::random_device{}()};
    std::filesystem::path base = std::filesystem::temp_directory_path();
    for (;;) {
        std::filesystem::path p = base / ("velmora-test-" + std::to_string(pick()));
        if (std::filesystem::create_directory(p)) return p.generic_string();
    }
}

int main(int argc, char **argv)
{
    if (!freopen("NUL", "r", stdin)) return 1;
    /* The suite drives the portable dialog manager, as on Linux, even with
    ** a display at hand; the system's dialogs have their own driver. */
    pal_set_front_end(pal_headless_front_end());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
