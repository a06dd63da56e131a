/* The trace log: line layout, and switching the logs while other threads write. */
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
