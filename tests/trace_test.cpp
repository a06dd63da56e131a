/*
** The trace log: line and dump layouts, and switching the logs while other
** threads write through them.
*/
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "global.h"
#include "helpers.h"
#include "subs/trace.h"

class Trace : public TracedFolderTest {};

TEST_F(Trace, OffWritesNothingAndLinesEndOnce)
{
    Debug("one\n");
    Debug("two\n\n");
    trace_off();
    Debug("after");
    std::string t = read_file(dir + "/trace.txt");
    EXPECT_NE(t.find(" one\n-1 "), std::string::npos);
    EXPECT_NE(t.find(" two\n\n"), std::string::npos);
    EXPECT_EQ(t.find("after"), std::string::npos);
    /* Largefile.txt: 1000 blocks of the bytes 32..127 over and over. */
    std::string big = read_file(dir + "/Largefile.txt");
    ASSERT_EQ(big.size(), 1000000u);
    EXPECT_EQ(big[0], ' ');
    EXPECT_EQ(big[95], 127);
    EXPECT_EQ(big[96], ' ');
    EXPECT_EQ(big[1000], ' ');
}

TEST_F(Trace, SwitchingNeverMeetsAWriter)
{
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int i = 0; i < 4; i++)
        writers.emplace_back([&stop, i] {
            char line[120] = "dump";
            while (!stop) {
                Debug("writer line %d", i);
                Audit_Write("access line\n");
                Dump("d", line, 40);
            }
        });
    for (int i = 0; i < 40; i++) {
        My_Trace = i % 2;
        Audit = (i / 2) % 2;
        Set_Diag();
    }
    stop = true;
    for (auto &t : writers) t.join();
}
