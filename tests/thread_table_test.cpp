/*
** The thread table: slots handed to one job each, a full table refusing the
** next job, slot lookup and the call-trace stacks; and the trace log that
** the threads write, switched while they write.
*/
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "global.h"
#include "helpers.h"
#include "subs/threads.h"
#include "subs/trace.h"

namespace {

std::atomic<int> release_jobs{0};
std::atomic<int> running{0};
std::atomic<int> occupants[MAX_THREADS];
std::atomic<int> shared_slots{0};

/* A job that holds its slot until released, and checks that no other job
** holds the same slot meanwhile. */
int holding_job(int)
{
    int me = GetMyID();
    if (occupants[me].fetch_add(1) != 0) shared_slots++;
    running++;
    while (!release_jobs.load()) pal_sleep(20);
    occupants[me]--;
    running--;
    return 0;
}

void wait_until(const std::atomic<int> &v, int want)
{
    for (int i = 0; i < 20000 && v.load() != want; i++) pal_sleep(1);
}

struct JobSwap {
    Job_Func saved = Jobs[JOB_CLIENT];
    JobSwap(Job_Func f) { Jobs[JOB_CLIENT] = f; }
    ~JobSwap() { Jobs[JOB_CLIENT] = saved; }
};

}  // namespace

/* A full table refuses the next job and the program goes on; a freed slot
** takes a job again. */
TEST(ThreadTable, ThousandJobsFitAndTheNextIsRefused)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            release_jobs = 0;
            Jobs[JOB_CLIENT] = holding_job;
            for (int i = 0; i < MAX_THREADS; i++) myfork(JOB_CLIENT, i);
            wait_until(running, MAX_THREADS);
            if (running.load() != MAX_THREADS || Threads_In_Use() != MAX_THREADS) _exit(10);
            if (myfork(JOB_CLIENT, 0) != 0) _exit(11);
            release_jobs = 1;
            for (int i = 0; i < 20000 && Threads_In_Use() > 0; i++) pal_sleep(1);
            _exit(Threads_In_Use() == 0 && myfork(JOB_CLIENT, 0) == 1 ? 3 : 12);
        },
        ::testing::ExitedWithCode(3), "");
}

TEST(ThreadTable, ConcurrentStartsNeverShareASlot)
{
    JobSwap swap(holding_job);
    release_jobs = 0;
    shared_slots = 0;
    std::vector<std::thread> starters;
    for (int t = 0; t < 4; t++) starters.emplace_back([] { for (int i = 0; i < 50; i++) myfork(JOB_CLIENT, i); });
    for (auto &t : starters) t.join();
    wait_until(running, 200);
    EXPECT_EQ(running.load(), 200);
    EXPECT_EQ(shared_slots.load(), 0);
    release_jobs = 1;
    wait_until(running, 0);
}

namespace {

std::atomic<int> seen_slot{-2};
std::atomic<int> seen_depth{-1};

const char *const *stack_names;

int nested(int depth)
{
    WALK("nested");
    if (depth == 0) return 0;
    return nested(depth - 1) + 1;
}

int probe_job(int)
{
    seen_slot = GetMyID();
    nested(3);
    int depth;
    stack_names = My_Walkback(&depth);
    seen_depth = depth;    /* only New_Thread is left after the guards pop */
    return 7;
}

}  // namespace

TEST(ThreadTable, SlotsStacksAndTraceLines)
{
    std::string dir = trace_to_temp();
    EXPECT_EQ(GetMyID(), -1);
    {
        JobSwap swap(probe_job);
        seen_slot = -2;
        myfork(JOB_CLIENT, 0);
        for (int i = 0; i < 5000 && seen_depth.load() < 0; i++) pal_sleep(1);
        for (int i = 0; i < 5000 && DataArray[seen_slot.load() < 0 ? 0 : seen_slot.load()].active.load(); i++)
            pal_sleep(1);
    }
    int slot = seen_slot.load();
    ASSERT_GE(slot, 0);
    EXPECT_EQ(seen_depth.load(), 1);
    EXPECT_STREQ(stack_names[0], "New_Thread");

    std::string t = read_file(dir + "/trace.txt");
    trace_off();
    EXPECT_NE(t.find("Thread " + std::to_string(slot) + " exit st = 7"), std::string::npos) << t;
}

namespace {

volatile int overflow_limit = 1 << 30;

/* Recurses until the worker's stack runs out. */
int recurse(int n)
{
    volatile char frame[512];
    frame[n % sizeof frame] = (char)n;
    return n < overflow_limit ? recurse(n + 1) + frame[0] : 0;
}

int overflowing_job(int)
{
    WALK("overflowing_job");
    return recurse(0);
}

}  // namespace

/* A worker whose stack overflows still writes its report: the report runs on
** the thread's alternate stack. */
TEST(ThreadTable, StackOverflowOfAWorkerIsReported)
{
    GTEST_FLAG_SET(death_test_style, "fast");
    std::string dir = trace_to_temp();
    EXPECT_EXIT(
        {
            Jobs[JOB_CLIENT] = overflowing_job;
            myfork(JOB_CLIENT, 0);
            for (;;) pal_sleep(1000);
        },
        ::testing::ExitedWithCode(1), "Signal Error: Segmentation violation");
    trace_off();
    std::string t = read_file(dir + "/trace.txt");
    EXPECT_NE(t.find(" - Segmentation violation\n"), std::string::npos) << t;
    EXPECT_NE(t.find(" 1 - overflowing_job\n"), std::string::npos) << t;
}

class Trace : public TracedFolderTest {};

TEST_F(Trace, OffWritesNothing)
{
    Debug("before");
    trace_off();
    Debug("after");
    std::string t = read_file(dir + "/trace.txt");
    EXPECT_NE(t.find(" before\n"), std::string::npos);
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
                Audit_Put("access line\n", 12);
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
