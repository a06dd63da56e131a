/*
** The status port: a registered front end gets every call, each line under
** its own name; without one, or with members left out, the calls are
** harmless and the picker answers nothing.
*/
#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "global.h"
#include "subs/status.h"
#include "subs/text.h"
#include "ui/window_status.h"

namespace {

std::mutex seen_lock;
std::string seen;

void note(const std::string &what)
{
    std::lock_guard<std::mutex> g(seen_lock);
    seen += what + ";";
}

}  // namespace

TEST(StatusPort, RegisteredFrontEndAndDefaults)
{
    static const status_port recorder = {
        [](status_line which, const char *text) { note(std::to_string(which) + "=" + text); },
        [](int lo, int hi) { note("range " + std::to_string(lo) + "-" + std::to_string(hi)); },
        [](int pos) { note("pos " + std::to_string(pos)); },
        nullptr,
        [](const char *title, char *out, int, size_t size) { snprintf(out, size, "/picked/%s", title); },
        [] { note("import"); }};
    Status_Register(&recorder);
    Status_Line(STATUS_SERVER, "x:1");
    Status_Progress_Range(0, 100);
    Status_Progress(7);
    Status_Import_Due();
    char out[16] = "old";
    Status_Pick_Path("abcdefghijklmnop", out, 0, sizeof out);
    EXPECT_STREQ(out, "/picked/abcdefg");
    {
        std::lock_guard<std::mutex> g(seen_lock);
        EXPECT_NE(seen.find("2=x:1;range 0-100;pos 7;import;"), std::string::npos) << seen;
    }

    /* A front end without a picker, and none at all: the picker answers
    ** nothing and every other call returns quietly. */
    static const status_port bare = {};
    for (const status_port *p : {&bare, (const status_port *)nullptr}) {
        Status_Register(p);
        scopy(out, sizeof out, "old");
        Status_Pick_Path("t", out, 1, sizeof out);
        EXPECT_STREQ(out, "");
        Status_Line(STATUS_ACTIVITY, "quiet");
        Status_Progress(1);
        Status_Import_Due();
    }
    Register_Window_Status();
}
