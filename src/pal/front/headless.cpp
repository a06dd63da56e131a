/*
** The headless front end: Velmora without a screen.  The status lines of the
** main dialog (log switches, activity, server address) and its caption go to
** standard output when their text changes (a line of counters that only
** moved its numbers, at most once a minute); message boxes go to standard error and are
** answered OK at once.  Each line of standard input is a command: "Start",
** "Stop", "Connect" and "Exit" call the server control; any other line
** presses the button that carries it as its label ("Options", "OK"), in the
** newest open dialog that has one.  The end of input changes nothing.
*/
#include "pal/pal.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

/* The open dialogs, oldest first, for the button presses. */
static std::mutex open_lock;
static std::vector<std::pair<HWND, const pal_dialog_template *>> open_dialogs;

/* Presses the button labelled text in the newest dialog that has one.
** Returns 1 when a press was posted. */
static int press(const char *text)
{
    std::lock_guard<std::mutex> g(open_lock);
    for (size_t i = open_dialogs.size(); i-- > 0;) {
        auto [w, t] = open_dialogs[i];
        for (int c = 0; c < t->count; c++) {
            char label[64];
            if (t->controls[c].kind != PAL_CTL_BUTTON) continue;
            pal_get_dlg_item_text(w, t->controls[c].id, label, sizeof label);
            if (strcmp(label, text) == 0) return pal_post_message(w, PAL_WM_COMMAND, (WPARAM)t->controls[c].id, 0);
        }
    }
    return 0;
}

/* Runs a line that names a server-control call.  Returns 1 when the call
** was made, 0 when it could not be (Start while the server runs, Stop while
** it does not: there is no such button then), -1 when the line names none. */
static int control(const char *line)
{
    const pal_server_control *c = pal_server_control_get();
    if (!c) return -1;
    if (!strcmp(line, "Start")) return c->start();
    if (!strcmp(line, "Stop")) return c->stop();
    if (!strcmp(line, "Connect")) {
        c->connect();    /* while a launch runs, the press is ignored */
        return 1;
    }
    if (!strcmp(line, "Exit")) {
        c->exit(0);
        return 1;
    }
    return -1;
}

/* Reads commands from standard input until it ends.  The descriptor is read
** directly: a stdio read would hold the stream's lock while it waits, and the
** flush of every stream at exit would wait for it. */
static int read_presses(int)
{
    char line[256];
    size_t len = 0;
    char c;
    while (read(0, &c, 1) == 1) {
        if (c != '\n') {
            if (len < sizeof line - 1) line[len++] = c;
            continue;
        }
        while (len > 0 && line[len - 1] == '\r') len--;
        line[len] = 0;
        int done = len ? control(line) : 1;
        if (done < 0) done = press(line);
        if (!done) {
            fprintf(stderr, "No button \"%s\"\n", line);
            fflush(stderr);
        }
        len = 0;
    }
    return 0;
}

#define MAIN_DIALOG    100
#define LOG_SWITCHES   101
#define ACTIVITY_LINE  111         /* counters, and now and then a warning */
#define SERVER_LINE    114

/* The main dialog's status lines worth a line of output; the progress text
** changes with every block sent and stays in the dialog. */
static bool printed(HWND w, int id)
{
    return pal_dialog_id(w) == MAIN_DIALOG && (id == LOG_SWITCHES || id == ACTIVITY_LINE || id == SERVER_LINE);
}

static void opened(HWND w, const pal_dialog_template *t)
{
    std::lock_guard<std::mutex> g(open_lock);
    static bool reading = false;
    if (!reading) reading = pal_thread_create(64 * 1024, read_presses, 0, nullptr) != nullptr;
    open_dialogs.push_back({w, t});
}

static void closed(HWND w)
{
    std::lock_guard<std::mutex> g(open_lock);
    for (size_t i = 0; i < open_dialogs.size(); i++)
        if (open_dialogs[i].first == w) open_dialogs.erase(open_dialogs.begin() + (long)i--);
}

/* How often a counters line that only moved its numbers is printed: once a
** minute, unless the program sets another period. */
static std::atomic<int> counters_every_ms{60000};

void pal_headless_counters_every(int ms) { counters_every_ms = ms < 0 ? 0 : ms; }

/* The text with its digits left out: two lines alike in it differ only in
** their counts. */
static std::string shape(const char *text)
{
    std::string s;
    for (; *text; text++)
        if (!isdigit((unsigned char)*text)) s += *text;
    return s;
}

/* True when text should become a line of output for the status line id: a
** new text, except that the activity counters changing under the same words
** are printed at most once a minute (the server line's numbers are an
** address, and each new one is news).  A journal then grows by the changes worth reading. */
static bool worth_a_line(int id, const char *text)
{
    struct last_line {
        std::string text;
        uint32_t at;
    };
    static std::mutex lock;
    static std::map<int, last_line> last;
    std::lock_guard<std::mutex> g(lock);
    uint32_t now = pal_ticks();
    auto it = last.find(id);
    if (it != last.end()) {
        if (it->second.text == text) return false;
        if (id == ACTIVITY_LINE && now - it->second.at < (uint32_t)counters_every_ms.load() &&
            shape(it->second.text.c_str()) == shape(text))
            return false;
    }
    last[id] = {text, now};
    return true;
}

static void control_changed(HWND w, int id, const char *text)
{
    if (printed(w, id) && *text && worth_a_line(id, text)) {
        printf("%s\n", text);
        fflush(stdout);
    }
}

static void caption_changed(HWND w, const char *text)
{
    if (pal_dialog_id(w) == MAIN_DIALOG) {
        printf("%s\n", text);
        fflush(stdout);
    }
}

static void shown(HWND, int) {}
static void tray(HWND, int, const char *) {}

static int message_box(const char *text, const char *caption)
{
    /* Box texts often end in a line feed of their own. */
    int n = 0;
    while (text[n]) n++;
    while (n > 0 && text[n - 1] == '\n') n--;
    fprintf(stderr, "%s: %.*s\n", caption, n, text);
    fflush(stderr);
    return 1;
}

/* No screen, no picker: the fields can still be typed. */
static int pick_path(const char *, int, char *out, int size)
{
    if (size > 0) out[0] = 0;
    return 0;
}

static const pal_front_end headless = {opened, closed, control_changed, caption_changed,
                                       shown, tray, message_box, pick_path};

const pal_front_end *pal_headless_front_end(void) { return &headless; }
