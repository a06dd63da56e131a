/*
** The dialog manager: dialogs built from templates, their modal loops, the
** messages sent and posted to them from any thread, and the control
** operations.  A front end draws what happens (headless by default).
**
** Every modal loop runs on the thread that opened its dialog and dispatches
** the messages of all live dialogs, as a Windows modal loop does, so the
** main dialog still answers while the options dialog is open.  Windows are
** never freed: workers keep the main window's handle for the life of the
** process, and a stale handle must stay safe to use (it answers 0).
*/
#include "pal/pal.h"
#include "pal/common/pal_common.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct control_state {
    int id;
    pal_control_kind kind;
    std::string text;
    int check = 0;
    std::vector<std::string> items;
    int selected = -1;
    int lo = 0, hi = 100, pos = 0;
};

struct pal_window {
    const pal_dialog_template *t;
    pal_dlgproc proc;
    pal_tid thread;
    bool alive = true;       /* false once destroyed */
    bool ended = false;      /* EndDialog was called */
    intptr_t result = 0;
    std::vector<control_state> controls;
    std::string caption;
};

struct pending_send {
    bool done = false;
    intptr_t result = 0;
};

struct message {
    HWND w;
    unsigned msg;
    WPARAM wp;
    LPARAM lp;
    pending_send *reply;     /* null for a posted message */
};

static std::mutex mu;                 /* guards everything below and all windows */
static std::condition_variable cv;
static std::deque<message> queue;
static std::vector<HWND> windows;
static HWND main_window = nullptr;
static bool close_pending = false;
static bool quit_posted = false;
static int loop_depth = 0;
static const pal_front_end *front = nullptr;

void pal_set_front_end(const pal_front_end *fe)
{
    std::lock_guard<std::mutex> g(mu);
    front = fe;
}

static const pal_front_end *fe(void) { return front ? front : pal_headless_front_end(); }

static control_state *find_control(HWND w, int id)
{
    if (!w) return nullptr;
    for (control_state &c : w->controls)
        if (c.id == id) return &c;
    return nullptr;
}

/* Runs a message through its dialog procedure on the calling thread. */
static intptr_t dispatch(const message &m)
{
    bool alive;
    {
        std::lock_guard<std::mutex> g(mu);
        alive = m.w && m.w->alive;
    }
    return alive ? m.w->proc(m.w, m.msg, m.wp, m.lp) : 0;
}

/* Answers a queued message: runs it and wakes a sender that waits. */
static void deliver(const message &m)
{
    intptr_t r = dispatch(m);
    if (m.reply) {
        std::lock_guard<std::mutex> g(mu);
        m.reply->result = r;
        m.reply->done = true;
        cv.notify_all();
    }
}

/* Takes the next message for a dialog of this thread, waiting when told to.
** Returns false when there is none (or the loop has to end). */
static bool next_message(message &out, bool wait, HWND loop_window)
{
    pal_tid me = pal_thread_id();
    std::unique_lock<std::mutex> g(mu);
    for (;;) {
        for (auto it = queue.begin(); it != queue.end(); ++it) {
            if (!it->w || it->w->thread == me) {
                out = *it;
                queue.erase(it);
                return true;
            }
        }
        if (!wait || quit_posted || (loop_window && (loop_window->ended || !loop_window->alive)))
            return false;
        cv.wait(g);
    }
}

void pal_pump_messages(void)
{
    message m;
    while (next_message(m, false, nullptr)) deliver(m);
}

/* Answers every message still queued for a window that has gone. */
static void drop_messages_for(HWND w)
{
    std::lock_guard<std::mutex> g(mu);
    for (auto it = queue.begin(); it != queue.end();) {
        if (it->w == w) {
            if (it->reply) it->reply->done = true;
            it = queue.erase(it);
        } else {
            ++it;
        }
    }
    cv.notify_all();
}

intptr_t pal_dialog_box(const pal_dialog_template *t, HWND owner, pal_dlgproc proc)
{
    (void)owner;
    if (!t || !proc) return -1;
    HWND w = new pal_window;
    w->t = t;
    w->proc = proc;
    w->thread = pal_thread_id();
    w->caption = t->caption ? t->caption : "";
    for (int i = 0; i < t->count; i++) {
        control_state c;
        c.id = t->controls[i].id;
        c.kind = t->controls[i].kind;
        c.text = t->controls[i].text ? t->controls[i].text : "";
        w->controls.push_back(c);
    }
    bool is_main;
    {
        std::lock_guard<std::mutex> g(mu);
        windows.push_back(w);
        is_main = main_window == nullptr;
        if (is_main) main_window = w;
        loop_depth++;
    }
    fe()->dialog_opened(w, t);
    proc(w, PAL_WM_INITDIALOG, 0, 0);
    if (is_main) {
        std::lock_guard<std::mutex> g(mu);
        if (close_pending) queue.push_back({w, PAL_WM_CLOSE, 0, 0, nullptr});
        close_pending = false;
        cv.notify_all();
    }

    message m;
    while (next_message(m, true, w)) deliver(m);

    if (w->alive) pal_destroy_window(w);
    drop_messages_for(w);
    intptr_t result;
    {
        std::lock_guard<std::mutex> g(mu);
        result = w->ended ? w->result : 0;
        if (--loop_depth == 0) quit_posted = false;
        if (main_window == w) main_window = nullptr;
    }
    fe()->dialog_closed(w);
    return result;
}

int pal_end_dialog(HWND w, intptr_t result)
{
    std::lock_guard<std::mutex> g(mu);
    if (!w || !w->alive) return 0;
    w->ended = true;
    w->result = result;
    cv.notify_all();
    return 1;
}

int pal_destroy_window(HWND w)
{
    {
        std::lock_guard<std::mutex> g(mu);
        if (!w || !w->alive) return 0;
    }
    w->proc(w, PAL_WM_DESTROY, 0, 0);
    std::lock_guard<std::mutex> g(mu);
    w->alive = false;
    cv.notify_all();
    return 1;
}

void pal_post_quit_message(int)
{
    std::lock_guard<std::mutex> g(mu);
    quit_posted = true;
    cv.notify_all();
}

static bool is_live(HWND w)
{
    if (!w) return false;
    for (HWND x : windows)
        if (x == w) return x->alive;
    return false;
}

intptr_t pal_send_message(HWND w, unsigned msg, WPARAM wp, LPARAM lp)
{
    pending_send reply;
    {
        std::unique_lock<std::mutex> g(mu);
        if (!is_live(w)) return 0;
        if (w->thread != pal_thread_id()) {
            queue.push_back({w, msg, wp, lp, &reply});
            cv.notify_all();
            cv.wait(g, [&] { return reply.done; });
            return reply.result;
        }
    }
    return w->proc(w, msg, wp, lp);
}

int pal_post_message(HWND w, unsigned msg, WPARAM wp, LPARAM lp)
{
    std::lock_guard<std::mutex> g(mu);
    if (!is_live(w)) return 0;
    queue.push_back({w, msg, wp, lp, nullptr});
    cv.notify_all();
    return 1;
}

void pal_close_request(void)
{
    std::lock_guard<std::mutex> g(mu);
    if (main_window && main_window->alive)
        queue.push_back({main_window, PAL_WM_CLOSE, 0, 0, nullptr});
    else
        close_pending = true;
    cv.notify_all();
}

/* Changes a control under the lock and tells the front end afterwards. */
template <typename F>
static int change_control(HWND w, int id, F change, bool announce)
{
    std::string text;
    {
        std::lock_guard<std::mutex> g(mu);
        if (!is_live(w)) return 0;
        control_state *c = find_control(w, id);
        if (!c) return 0;
        if (!change(*c)) return 1;
        text = c->text;
    }
    if (announce) fe()->control_changed(w, id, text.c_str());
    return 1;
}

int pal_set_window_text(HWND w, const char *text)
{
    {
        std::lock_guard<std::mutex> g(mu);
        if (!is_live(w)) return 0;
        w->caption = text ? text : "";
    }
    fe()->caption_changed(w, text ? text : "");
    return 1;
}

int pal_show_window(HWND w, int mode)
{
    {
        std::lock_guard<std::mutex> g(mu);
        if (!is_live(w)) return 0;
    }
    fe()->window_shown(w, mode);
    return 1;
}

int pal_set_dlg_item_text(HWND w, int id, const char *text)
{
    std::string t = text ? text : "";
    return change_control(w, id, [&](control_state &c) {
        if (c.text == t) return false;
        c.text = t;
        return true;
    }, true);
}

int pal_get_dlg_item_text(HWND w, int id, char *buf, int size)
{
    if (!buf || size <= 0) return 0;
    buf[0] = 0;
    std::lock_guard<std::mutex> g(mu);
    if (!is_live(w)) return 0;
    control_state *c = find_control(w, id);
    if (!c) return 0;
    size_t n = c->text.size() < (size_t)size - 1 ? c->text.size() : (size_t)size - 1;
    c->text.copy(buf, n);
    buf[n] = 0;
    return (int)n;
}

int pal_check_dlg_button(HWND w, int id, int state)
{
    return change_control(w, id, [&](control_state &c) { c.check = state; return true; }, false);
}

int pal_is_dlg_button_checked(HWND w, int id)
{
    std::lock_guard<std::mutex> g(mu);
    control_state *c = is_live(w) ? find_control(w, id) : nullptr;
    return c ? c->check : 0;
}

int pal_combo_add(HWND w, int id, const char *text)
{
    return change_control(w, id, [&](control_state &c) { c.items.push_back(text ? text : ""); return true; }, false);
}

int pal_combo_reset(HWND w, int id)
{
    return change_control(w, id, [&](control_state &c) { c.items.clear(); c.selected = -1; return true; }, false);
}

int pal_combo_select(HWND w, int id, int index)
{
    return change_control(w, id, [&](control_state &c) {
        c.selected = index >= 0 && index < (int)c.items.size() ? index : -1;
        c.text = c.selected >= 0 ? c.items[(size_t)c.selected] : "";
        return true;
    }, false);
}

int pal_combo_selected(HWND w, int id)
{
    std::lock_guard<std::mutex> g(mu);
    control_state *c = is_live(w) ? find_control(w, id) : nullptr;
    return c ? c->selected : -1;
}

int pal_progress_range(HWND w, int id, int lo, int hi)
{
    return change_control(w, id, [&](control_state &c) { c.lo = lo; c.hi = hi; return true; }, false);
}

int pal_progress_pos(HWND w, int id, int pos)
{
    return change_control(w, id, [&](control_state &c) { c.pos = pos; return true; }, false);
}

int pal_tray_icon(HWND w, int show, const char *tip, unsigned)
{
    {
        std::lock_guard<std::mutex> g(mu);
        if (!is_live(w)) return 0;
    }
    fe()->tray(w, show, tip ? tip : "");
    return 1;
}

int pal_message_box(HWND, const char *text, const char *caption)
{
    return fe()->message_box(text ? text : "", caption ? caption : "");
}

int pal_dialog_id(HWND w)
{
    std::lock_guard<std::mutex> g(mu);
    return is_live(w) ? w->t->id : -1;
}
