/* The dialog manager across threads, and the main dialog's Start, Stop,
** Connect and Exit. */
#include <gtest/gtest.h>

#include <thread>

#include "ui/dialog.h"
#include "global.h"
#include "pal/common/dialog_internal.h"
#include "helpers.h"
#include "subs/threads.h"

namespace {

const pal_control test_controls[] = {{7, PAL_CTL_STATIC, "seven", 0, 0, 10, 10, 0, 0}};
const pal_dialog_template outer = {300, "outer", "Arial", 10, 10, 10, test_controls, 1};
const pal_dialog_template inner = {301, "inner", "Arial", 10, 10, 10, test_controls, 1};

pal_tid dialog_thread;
std::atomic<int> ran_elsewhere{0};
std::thread worker;
HWND outer_window;

std::atomic<HWND> inner_window{nullptr};

intptr_t inner_proc(HWND w, unsigned msg, WPARAM, LPARAM)
{
    if (msg == PAL_WM_INITDIALOG) inner_window = w;
    if (msg == PAL_WM_USER + 9) pal_end_dialog(w, 5);
    return 0;
}

intptr_t outer_proc(HWND w, unsigned msg, WPARAM wp, LPARAM)
{
    if (pal_thread_id() != dialog_thread) ran_elsewhere++;
    switch (msg) {
    case PAL_WM_INITDIALOG:
        outer_window = w;
        worker = std::thread([w] {
            /* A send waits for the answer from the dialog's own thread. */
            EXPECT_EQ(pal_send_message(w, PAL_WM_USER + 1, 20, 0), 42);
            pal_set_dlg_item_text(w, 7, "from worker");
            /* Runs the nested dialog, and is answered while it is open. */
            EXPECT_EQ(pal_send_message(w, PAL_WM_USER + 2, 0, 0), 5);
            pal_post_message(w, PAL_WM_CLOSE, 0, 0);
        });
        return 1;
    case PAL_WM_USER + 1:
        return (intptr_t)wp + 22;
    case PAL_WM_USER + 2: {
        std::thread poke([w] {
            while (!inner_window.load()) pal_sleep(1);
            /* The main dialog answers while the nested one runs. */
            EXPECT_EQ(pal_send_message(w, PAL_WM_USER + 1, 1, 0), 23);
            char buf[32];
            pal_get_dlg_item_text(w, 7, buf, sizeof buf);
            EXPECT_STREQ(buf, "from worker");
            pal_post_message(inner_window.load(), PAL_WM_USER + 9, 0, 0);
        });
        intptr_t r = pal_dialog_box(&inner, w, inner_proc);
        poke.join();
        return r;
    }
    case PAL_WM_CLOSE:
        pal_destroy_window(w);
        return 1;
    case PAL_WM_DESTROY:
        pal_post_quit_message(0);
        return 1;
    }
    return 0;
}

}  // namespace

TEST(DialogManager, SendsRunOnTheDialogThreadAndNestedDialogsKeepAnswering)
{
    dialog_thread = pal_thread_id();
    ran_elsewhere = 0;
    inner_window = nullptr;
    EXPECT_EQ(pal_dialog_box(&outer, nullptr, outer_proc), 0);
    worker.join();
    EXPECT_EQ(ran_elsewhere.load(), 0);
    /* A window that has gone answers nothing and takes nothing. */
    EXPECT_EQ(pal_send_message(outer_window, PAL_WM_USER + 1, 1, 0), 0);
    EXPECT_EQ(pal_post_message(outer_window, PAL_WM_USER + 1, 1, 0), 0);
    EXPECT_EQ(pal_dialog_id(outer_window), -1);
    EXPECT_EQ(pal_send_message(nullptr, PAL_WM_USER, 0, 0), 0);
}

namespace {

const pal_control bar_controls[] = {{7, PAL_CTL_STATIC, "seven", 0, 0, 10, 10, 0, 0},
                                    {8, PAL_CTL_PROGRESS, "", 0, 20, 10, 10, 0, 0}};
const pal_dialog_template bar_dialog = {302, "bar", "Arial", 10, 10, 10, bar_controls, 2};
std::atomic<HWND> bar_window{nullptr};

intptr_t bar_proc(HWND w, unsigned msg, WPARAM, LPARAM)
{
    if (msg == PAL_WM_INITDIALOG) bar_window = w;
    if (msg == PAL_WM_CLOSE) pal_end_dialog(w, 3);
    return 0;
}

unsigned long version_now(void)
{
    std::vector<pal_window_view> windows;
    std::vector<pal_prompt_view> prompts;
    return pal_dialog_snapshot(windows, prompts);
}

}  // namespace

/* A file being sent sets the progress bar many times a second: a position
** the bar already has is no change, and a real change still reaches a front
** end that waits for one. */
TEST(DialogManager, ControlChangesReachWatchersAndAnUnchangedBarIsNoChange)
{
    bar_window = nullptr;
    std::thread loop([] { EXPECT_EQ(pal_dialog_box(&bar_dialog, nullptr, bar_proc), 3); });
    while (!bar_window.load()) pal_sleep(1);
    HWND w = bar_window.load();

    pal_progress_range(w, 8, 0, 100);
    pal_progress_pos(w, 8, 40);
    unsigned long seen = version_now();
    pal_progress_range(w, 8, 0, 100);
    pal_progress_pos(w, 8, 40);
    pal_set_dlg_item_text(w, 7, "seven");
    EXPECT_EQ(version_now(), seen);

    /* The watcher waits far longer than any loaded machine needs; only the
    ** change ends its wait with a new count. */
    std::atomic<unsigned long> woke{0};
    std::thread watcher([&] { woke = pal_dialog_wait_change(seen, 120000); });
    pal_progress_pos(w, 8, 41);
    watcher.join();
    EXPECT_NE(woke.load(), seen);

    pal_post_message(w, PAL_WM_CLOSE, 0, 0);
    loop.join();
}

namespace {

std::atomic<int> servers{0}, finders{0}, connects{0};
std::atomic<int> release_connect{0};

int count_server(int) { servers++; return 0; }
int count_finder(int) { finders++; return 0; }
int hold_connect(int)
{
    connects++;
    while (!release_connect) pal_sleep(5);
    Connecting = 0;
    return 0;
}

void press(HWND w, int id) { pal_send_message(w, PAL_WM_COMMAND, (WPARAM)id, 0); }

std::string text_of(HWND w, int id)
{
    char buf[64];
    pal_get_dlg_item_text(w, id, buf, sizeof buf);
    return buf;
}

}  // namespace

/* The buttons and the server control that the other front ends call (from
** their own threads) drive the same state, and the Start button follows it
** whichever road changed it.  The tray round trip through a real page is the
** panel browser test's. */
TEST(MainDialog, StartStopConnectAndExitByButtonAndControl)
{
    trace_to_temp();
    Job_Func saved[JOB_COUNT];
    for (int i = 0; i < JOB_COUNT; i++) saved[i] = Jobs[i];
    Jobs[JOB_SERVER] = count_server;
    Jobs[JOB_UPNP] = count_finder;
    Jobs[JOB_CONNECT] = hold_connect;
    options = 0;
    Active = 0;
    Connecting = 0;
    servers = finders = connects = 0;
    release_connect = 0;

    std::thread user([] {
        const pal_server_control *c = pal_server_control_get();
        ASSERT_NE(c, nullptr);
        while (!pal_main_window()) pal_sleep(5);
        /* Sent before the dialog has run its opening message: it waits. */
        EXPECT_EQ(c->stop(), 0);
        HWND w = Win.load();
        ASSERT_EQ(pal_dialog_id(w), 100);
        EXPECT_EQ(text_of(w, IDC_DIAG), "Trace");
        press(w, IDC_START);
        EXPECT_EQ(c->active(), 1);
        EXPECT_EQ(text_of(w, IDC_START), "Stop");
        EXPECT_EQ(c->start(), 0);
        EXPECT_EQ(c->stop(), 1);
        EXPECT_EQ(Active.load(), 0);
        EXPECT_EQ(text_of(w, IDC_START), "Start");
        EXPECT_EQ(c->start(), 1);
        EXPECT_EQ(text_of(w, IDC_START), "Stop");
        for (int i = 0; i < 400 && (servers < 2 || finders < 2); i++) pal_sleep(5);

        press(w, IDC_CONNECT);
        EXPECT_EQ(c->connect(), 0);     /* ignored while the first one runs */
        for (int i = 0; i < 400 && connects < 1; i++) pal_sleep(5);
        release_connect = 1;
        for (int i = 0; i < 400 && Connecting; i++) pal_sleep(5);
        release_connect = 0;
        EXPECT_EQ(c->connect(), 1);
        for (int i = 0; i < 400 && connects < 2; i++) pal_sleep(5);
        release_connect = 1;
        for (int i = 0; i < 400 && Connecting; i++) pal_sleep(5);

        c->exit(3);
    });
    EXPECT_EQ(open_main(), 3);
    user.join();
    Active = 0;
    for (int i = 0; i < JOB_COUNT; i++) Jobs[i] = saved[i];
    trace_off();
    EXPECT_EQ((std::vector<int>{servers, finders, connects}), (std::vector<int>{2, 2, 2}));
}
