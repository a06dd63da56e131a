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
#include "pal/common/dialog_internal.h"
#include "pal/common/pal_common.h"

#include <cctype>
#include <condition_variable>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct control_state {
    int id;
    pal_control_kind kind;
    const pal_control *tmpl;
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
    bool shown = true;
    bool in_tray = false;
    unsigned tray_msg = 0;
};

struct pending_send {
    bool done = false;
    intptr_t result = 0;
};

struct message {
    HWND w = nullptr;
    unsigned msg = 0;
    WPARAM wp = 0;
    LPARAM lp = 0;
    pending_send *reply = nullptr;   /* null for a posted message */
    bool input = false;      /* a user's input: ctl, what and value below */
    int ctl = 0;
    pal_input what = PAL_IN_CLICK;
    std::string value;
};

static message plain(HWND w, unsigned msg, WPARAM wp, LPARAM lp, pending_send *reply)
{
    message m;
    m.w = w;
    m.msg = msg;
    m.wp = wp;
    m.lp = lp;
    m.reply = reply;
    return m;
}

/* A message box or picker waiting for a front end's answer. */
struct prompt {
    pal_prompt_view view;
    bool answered = false;
    int button = 0;
    std::string path;
};

static std::mutex mu;                 /* guards everything below and all windows */
/* Wakes the threads that wait for a message, a reply, a prompt's answer or
** a window's end. */
static std::condition_variable cv;
/* Wakes the front ends that wait for the change counter (version) to move.
** A control's new text or position wakes only these: the dialog threads
** have nothing to do about it, and a file being sent moves the progress
** bar many times a second. */
static std::condition_variable change_cv;
static std::deque<message> queue;
/* Never destroyed, so windows stay reachable to the very end of the process
** (a worker may still hold one while static destructors run). */
static std::vector<HWND> &windows = *new std::vector<HWND>;
static HWND main_window = nullptr;
static bool close_pending = false;
static bool quit_posted = false;
static int loop_depth = 0;
/* Read by every thread that changes a control, set once at start-up. */
static std::atomic<const pal_front_end *> front{nullptr};
static unsigned long version = 0;     /* counts every change a front end draws */
static std::vector<prompt *> prompts;
static int prompt_seq = 0;

static void changed(void);

/* Answers every waiting prompt with OK or no choice; mu held. */
static void answer_all(void)
{
    for (prompt *p : prompts) {
        if (p->answered) continue;
        p->answered = true;
        p->button = 1;
    }
    changed();
}

/* Marks a change to what a front end draws; mu held. */
static void redrawn(void)
{
    version++;
    change_cv.notify_all();
}

/* Marks a change that may also end a wait on cv (a window gone, a prompt
** answered, a dialog opened or closed); mu held. */
static void changed(void)
{
    redrawn();
    cv.notify_all();
}

void pal_set_front_end(const pal_front_end *fe) { front = fe; }

/* Set once at start-up, before any front end calls it. */
static std::atomic<const pal_server_control *> server_control{nullptr};

void pal_set_server_control(const pal_server_control *c) { server_control = c; }

const pal_server_control *pal_server_control_get(void) { return server_control.load(); }

static const pal_front_end *fe(void)
{
    const pal_front_end *f = front.load();
    return f ? f : pal_headless_front_end();
}

static control_state *find_control(HWND w, int id)
{
    if (!w) return nullptr;
    for (control_state &c : w->controls)
        if (c.id == id) return &c;
    return nullptr;
}

static bool digits_only(const std::string &t)
{
    for (char c : t)
        if (c < '0' || c > '9') return false;
    return true;
}

/* Makes a user's change to a control (mu held) and gives the message that
** tells the procedure, as the control would send it. */
static bool apply_input(HWND w, const message &m, unsigned &msg, WPARAM &wp, LPARAM &lp)
{
    lp = 0;
    switch (m.what) {
    case PAL_IN_MINIMIZE: msg = PAL_WM_SYSCOMMAND; wp = PAL_SC_MINIMIZE; return true;
    case PAL_IN_RESTORE:
        if (!w->in_tray) return false;
        msg = w->tray_msg; wp = 0; lp = PAL_WM_LBUTTONUP;
        return true;
    case PAL_IN_CLOSE: msg = PAL_WM_CLOSE; wp = 0; return true;
    default: break;
    }
    control_state *c = find_control(w, m.ctl);
    if (!c) return false;
    msg = PAL_WM_COMMAND;
    int code = PAL_BN_CLICKED;
    switch (m.what) {
    case PAL_IN_CLICK:
        if (c->kind == PAL_CTL_CHECKBOX) c->check = !c->check;
        break;
    case PAL_IN_TEXT:
        c->text = m.value;
        if (c->kind == PAL_CTL_COMBO) {
            c->selected = -1;
            code = PAL_CBN_EDITCHANGE;
        } else {
            code = PAL_EN_CHANGE;
        }
        break;
    case PAL_IN_SELECT: {
        int i = atoi(m.value.c_str());
        if (i < 0 || i >= (int)c->items.size()) return false;
        c->selected = i;
        c->text = c->items[(size_t)i];
        code = PAL_CBN_SELCHANGE;
        break;
    }
    case PAL_IN_BLUR: code = PAL_CBN_KILLFOCUS; break;
    default: return false;
    }
    wp = PAL_MAKEWPARAM(m.ctl, code);
    changed();
    return true;
}

/* Runs a message through its dialog procedure on the calling thread. */
static intptr_t dispatch(const message &m)
{
    bool alive;
    unsigned msg = m.msg;
    WPARAM wp = m.wp;
    LPARAM lp = m.lp;
    {
        std::lock_guard<std::mutex> g(mu);
        alive = m.w && m.w->alive;
        if (alive && m.input) alive = apply_input(m.w, m, msg, wp, lp);
    }
    return alive ? m.w->proc(m.w, msg, wp, lp) : 0;
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
static bool next_message(message &out, bool wait, HWND loop_window, const bool *stop = nullptr)
{
    pal_tid me = pal_thread_id();
    std::unique_lock<std::mutex> g(mu);
    for (;;) {
        if (stop && *stop) return false;
        for (auto it = queue.begin(); it != queue.end(); ++it) {
            if (!it->w || it->w->thread == me) {
                out = std::move(*it);
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
        c.tmpl = &t->controls[i];
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
        changed();
    }
    fe()->dialog_opened(w, t);
    proc(w, PAL_WM_INITDIALOG, 0, 0);
    if (is_main) {
        std::lock_guard<std::mutex> g(mu);
        if (close_pending) queue.push_back(plain(w, PAL_WM_CLOSE, 0, 0, nullptr));
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
        changed();
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
    changed();
    return 1;
}

void pal_post_quit_message(int)
{
    std::lock_guard<std::mutex> g(mu);
    quit_posted = true;
    /* The program is ending: a box or picker still open has nobody to wait
    ** for. */
    answer_all();
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
            queue.push_back(plain(w, msg, wp, lp, &reply));
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
    queue.push_back(plain(w, msg, wp, lp, nullptr));
    cv.notify_all();
    return 1;
}

HWND pal_main_window(void)
{
    std::lock_guard<std::mutex> g(mu);
    return main_window && main_window->alive ? main_window : nullptr;
}

void pal_close_request(void)
{
    std::lock_guard<std::mutex> g(mu);
    if (main_window && main_window->alive)
        queue.push_back(plain(main_window, PAL_WM_CLOSE, 0, 0, nullptr));
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
        redrawn();
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
        changed();
    }
    fe()->caption_changed(w, text ? text : "");
    return 1;
}

int pal_show_window(HWND w, int mode)
{
    {
        std::lock_guard<std::mutex> g(mu);
        if (!is_live(w)) return 0;
        w->shown = mode != PAL_SW_HIDE;
        changed();
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

/* Text order of a sorted combo: letter case ignored. */
static int compare_nocase(const std::string &a, const std::string &b)
{
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; i++) {
        int x = tolower((unsigned char)a[i]), y = tolower((unsigned char)b[i]);
        if (x != y) return x - y;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size();
}

static bool begins_nocase(const std::string &item, const std::string &prefix)
{
    return item.size() >= prefix.size() && compare_nocase(item.substr(0, prefix.size()), prefix) == 0;
}

int pal_combo_add(HWND w, int id, const char *text)
{
    int index = -1;
    std::string t = text ? text : "";
    change_control(w, id, [&](control_state &c) {
        size_t at = c.items.size();
        if (c.tmpl && (c.tmpl->style & PAL_CBS_SORT)) {
            at = 0;
            while (at < c.items.size() && compare_nocase(c.items[at], t) <= 0) at++;
        }
        c.items.insert(c.items.begin() + (long)at, t);
        if (c.selected >= (int)at) c.selected++;
        index = (int)at;
        return true;
    }, false);
    return index;
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

int pal_combo_find(HWND w, int id, const char *text)
{
    std::string t = text ? text : "";
    std::lock_guard<std::mutex> g(mu);
    control_state *c = is_live(w) ? find_control(w, id) : nullptr;
    if (!c) return -1;
    for (size_t i = 0; i < c->items.size(); i++)
        if (begins_nocase(c->items[i], t)) return (int)i;
    return -1;
}

int pal_combo_delete(HWND w, int id, int index)
{
    int left = -1;
    change_control(w, id, [&](control_state &c) {
        if (index < 0 || index >= (int)c.items.size()) return false;
        c.items.erase(c.items.begin() + index);
        if (c.selected == index) c.selected = -1;
        else if (c.selected > index) c.selected--;
        left = (int)c.items.size();
        return true;
    }, false);
    return left;
}

int pal_combo_count(HWND w, int id)
{
    std::lock_guard<std::mutex> g(mu);
    control_state *c = is_live(w) ? find_control(w, id) : nullptr;
    return c ? (int)c->items.size() : -1;
}

int pal_combo_item(HWND w, int id, int index, char *buf, int size)
{
    if (!buf || size <= 0) return -1;
    buf[0] = 0;
    std::lock_guard<std::mutex> g(mu);
    control_state *c = is_live(w) ? find_control(w, id) : nullptr;
    if (!c || index < 0 || index >= (int)c->items.size()) return -1;
    const std::string &t = c->items[(size_t)index];
    size_t n = t.size() < (size_t)size - 1 ? t.size() : (size_t)size - 1;
    t.copy(buf, n);
    buf[n] = 0;
    return (int)n;
}

int pal_progress_range(HWND w, int id, int lo, int hi)
{
    return change_control(w, id, [&](control_state &c) {
        if (c.lo == lo && c.hi == hi) return false;
        c.lo = lo;
        c.hi = hi;
        return true;
    }, false);
}

int pal_progress_pos(HWND w, int id, int pos)
{
    return change_control(w, id, [&](control_state &c) {
        if (c.pos == pos) return false;
        c.pos = pos;
        return true;
    }, false);
}

int pal_tray_icon(HWND w, int show, const char *tip, unsigned callback_msg)
{
    {
        std::lock_guard<std::mutex> g(mu);
        if (!is_live(w)) return 0;
        w->in_tray = show != 0;
        w->tray_msg = callback_msg;
        changed();
    }
    fe()->tray(w, show, tip ? tip : "");
    return 1;
}

int pal_message_box(HWND, const char *text, const char *caption)
{
    return fe()->message_box(text ? text : "", caption ? caption : "");
}

int pal_pick_path(HWND, const char *title, int files, char *out, int size)
{
    if (!out || size <= 0) return 0;
    out[0] = 0;
    if (!fe()->pick_path) return 0;
    return fe()->pick_path(title ? title : "", files, out, size);
}

/* True when the calling thread runs a live dialog (and so must keep its
** messages moving while it waits); mu held. */
static bool runs_dialog(pal_tid me)
{
    for (HWND x : windows)
        if (x->alive && x->thread == me) return true;
    return false;
}

int pal_prompt_wait(int kind, const char *text, const char *caption, int files, char *out, int size)
{
    prompt p;
    pal_tid me = pal_thread_id();
    bool pump;
    {
        std::lock_guard<std::mutex> g(mu);
        p.view = {++prompt_seq, kind, text ? text : "", caption ? caption : "", files};
        prompts.push_back(&p);
        pump = runs_dialog(me);
        changed();
    }
    if (pump) {
        message m;
        while (next_message(m, true, nullptr, &p.answered)) deliver(m);
    }
    std::unique_lock<std::mutex> g(mu);
    cv.wait(g, [&] { return p.answered; });
    for (auto it = prompts.begin(); it != prompts.end(); ++it)
        if (*it == &p) { prompts.erase(it); break; }
    changed();
    if (kind == PAL_PROMPT_PICK) {
        if (!out || size <= 0) return 0;
        size_t n = p.path.size() < (size_t)size - 1 ? p.path.size() : (size_t)size - 1;
        p.path.copy(out, n);
        out[n] = 0;
        return n > 0;
    }
    return p.button;
}

int pal_prompt_answer(int seq, int button, const char *path)
{
    std::lock_guard<std::mutex> g(mu);
    for (prompt *p : prompts) {
        if (p->view.seq != seq || p->answered) continue;
        p->answered = true;
        p->button = button;
        p->path = path ? path : "";
        changed();
        return 0;
    }
    return -1;
}

void pal_prompt_answer_all(void)
{
    std::lock_guard<std::mutex> g(mu);
    answer_all();
}

int pal_user_input(int dialog, int id, pal_input what, const char *value)
{
    std::string v = value ? value : "";
    std::lock_guard<std::mutex> g(mu);
    HWND w = nullptr;
    for (HWND x : windows)
        if (x->alive && !x->ended && x->t->id == dialog) w = x;
    if (!w) return PAL_IN_NO_WINDOW;
    for (prompt *p : prompts)
        if (!p->answered) return PAL_IN_BUSY;
    if (what == PAL_IN_RESTORE && !w->in_tray) return PAL_IN_BAD_INPUT;
    if (what == PAL_IN_CLICK || what == PAL_IN_TEXT || what == PAL_IN_SELECT || what == PAL_IN_BLUR) {
        control_state *c = id >= 0 ? find_control(w, id) : nullptr;
        if (!c) return PAL_IN_NO_CONTROL;
        bool fits = (what == PAL_IN_CLICK && (c->kind == PAL_CTL_BUTTON || c->kind == PAL_CTL_CHECKBOX)) ||
                    (what == PAL_IN_TEXT && (c->kind == PAL_CTL_EDIT || c->kind == PAL_CTL_COMBO)) ||
                    ((what == PAL_IN_SELECT || what == PAL_IN_BLUR) && c->kind == PAL_CTL_COMBO);
        if (!fits) return PAL_IN_BAD_INPUT;
        if (what == PAL_IN_TEXT) {
            if ((c->tmpl->style & PAL_ES_NUMBER) && !digits_only(v)) return PAL_IN_BAD_VALUE;
            if (c->tmpl->limit > 0 && v.size() > (size_t)c->tmpl->limit) v.resize((size_t)c->tmpl->limit);
        }
        if (what == PAL_IN_SELECT) {
            if (v.empty() || v.size() > 9 || !digits_only(v) || atoi(v.c_str()) >= (int)c->items.size())
                return PAL_IN_BAD_VALUE;
        }
    }
    message m = plain(w, 0, 0, 0, nullptr);
    m.input = true;
    m.ctl = id;
    m.what = what;
    m.value = v;
    queue.push_back(std::move(m));
    cv.notify_all();
    return 0;
}

unsigned long pal_dialog_snapshot(std::vector<pal_window_view> &out, std::vector<pal_prompt_view> &waiting)
{
    std::lock_guard<std::mutex> g(mu);
    out.clear();
    waiting.clear();
    for (HWND w : windows) {
        if (!w->alive) continue;
        pal_window_view v{w->t, w->caption, w->shown, w->in_tray, {}};
        for (const control_state &c : w->controls)
            v.controls.push_back({c.tmpl, c.text, c.check, c.selected, c.lo, c.hi, c.pos, c.items});
        out.push_back(std::move(v));
    }
    for (prompt *p : prompts)
        if (!p->answered) waiting.push_back(p->view);
    return version;
}

unsigned long pal_dialog_wait_change(unsigned long seen, int ms)
{
    std::unique_lock<std::mutex> g(mu);
    change_cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return version != seen; });
    return version;
}

int pal_dialog_id(HWND w)
{
    std::lock_guard<std::mutex> g(mu);
    return is_live(w) ? w->t->id : -1;
}
