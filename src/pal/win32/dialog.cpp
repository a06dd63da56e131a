/*
** The system's own dialogs on Windows.  A dialog template becomes an
** in-memory DLGTEMPLATE run by DialogBoxIndirectParamW; its controls are the
** system's buttons, statics, edits, combo boxes and progress bars, and the
** control calls are the system's messages to them.  The tray icon is
** Shell_NotifyIconW, message boxes MessageBoxW and the folder picker the
** shell's SHBrowseForFolderW, loaded when first needed.
**
** When a front end draws the dialogs (the web panel, or the headless one the
** unit suite sets), or there is no desktop to draw on (a service, Wine
** without a display), every call goes to the portable dialog manager
** instead (dialog_emulated.h names its calls).  Which one serves is decided
** once, at the first dialog or message box.
**
** Workers call the control functions of the main dialog from their own
** threads.  Such a call is queued for the dialog's thread and run there in
** the order it was made; a change returns at once, a question waits for its
** answer.  Window records are never freed: a stale handle stays safe and
** answers 0, as the portable manager's do.
*/
#include "pal/win32/dialog_emulated.h"
#include "pal/pal.h"
#include "pal/common/pal_common.h"
#include "pal/win32/win32_internal.h"

/* The calls this file defines under their own names. */
#undef pal_dialog_box
#undef pal_end_dialog
#undef pal_destroy_window
#undef pal_post_quit_message
#undef pal_send_message
#undef pal_post_message
#undef pal_pump_messages
#undef pal_set_window_text
#undef pal_show_window
#undef pal_set_dlg_item_text
#undef pal_get_dlg_item_text
#undef pal_check_dlg_button
#undef pal_is_dlg_button_checked
#undef pal_combo_add
#undef pal_combo_select
#undef pal_combo_selected
#undef pal_combo_find
#undef pal_combo_delete
#undef pal_combo_count
#undef pal_combo_item
#undef pal_progress_range
#undef pal_progress_pos
#undef pal_tray_icon
#undef pal_message_box
#undef pal_pick_path
#undef pal_close_request
#undef pal_dialog_id
#undef pal_set_front_end

#define HWND win32_HWND
#include <commctrl.h>
#include <shlobj.h>
#undef HWND

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

/* The dialog's thread runs the calls queued by other threads on this
** message (the top of the application's range, clear of the program's own
** messages, which start at WM_USER). */
static const UINT RUN_CALLS_MSG = 0xBFFF;
/* Extra height of a combo box in dialog units: its drop-down list. */
static const int COMBO_LIST_HEIGHT = 80;
/* The tray icon's number among the window's icons. */
static const UINT TRAY_ICON_ID = 1;
/* The program's icon resource, if it has one. */
static const int APP_ICON_RESOURCE = 1;
/* Predefined control classes of a dialog template. */
static const WORD CLASS_BUTTON = 0x0080, CLASS_EDIT = 0x0081, CLASS_STATIC = 0x0082, CLASS_COMBO = 0x0085;

struct queued_call {
    std::function<intptr_t()> run;
    std::shared_ptr<std::pair<bool, intptr_t>> answer;   /* null for a change: nobody waits */
};

struct native_window {
    const pal_dialog_template *t;
    pal_dlgproc proc;
    DWORD thread;
    win32_HWND hwnd = nullptr;
    bool alive = false;          /* between WM_INITDIALOG and WM_NCDESTROY; under mu */
    bool ended = false;          /* EndDialog was called, with result */
    intptr_t result = 0;
    int quiet = 0;               /* a change of ours runs: its notifications are not the user's */
    bool in_tray = false;
    std::wstring tray_tip;       /* the icon's tip and message, kept to add it again; under mu */
    unsigned tray_msg = 0;
    bool hidden = false;         /* the program hid it: the dialog's loop must not show it */
    std::deque<queued_call> calls;   /* under mu */
};

enum { UNDECIDED, NATIVE, EMULATED };
static std::atomic<int> mode{UNDECIDED};
static std::mutex mu;
static std::condition_variable answered;
static std::vector<native_window *> &natives = *new std::vector<native_window *>;
static native_window *main_window = nullptr;   /* the first dialog; under mu */
static bool close_pending = false;              /* a close request came before it; under mu */
static thread_local int loop_depth = 0;

static HWND handle(native_window *n) { return reinterpret_cast<HWND>(n); }

/* The native record behind a handle, or null for the portable manager's. */
static native_window *native(HWND w)
{
    if (!w || mode != NATIVE) return nullptr;
    std::lock_guard<std::mutex> g(mu);
    for (native_window *n : natives)
        if (handle(n) == w) return n;
    return nullptr;
}

static const pal_front_end *status_lines(void) { return pal_headless_front_end(); }

/* Decides once who draws: the system when no front end was chosen and a
** window can be made at all. */
static bool use_native(void)
{
    int m = mode;
    if (m != UNDECIDED) return m == NATIVE;
    win32_HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                       GetModuleHandleW(nullptr), nullptr);
    if (probe) DestroyWindow(probe);
    m = UNDECIDED;
    mode.compare_exchange_strong(m, probe ? NATIVE : EMULATED);
    return mode == NATIVE;
}

void pal_set_front_end(const pal_front_end *fe)
{
    if (fe) mode = EMULATED;
    pal_emulated_set_front_end(fe);
}

/* Runs call on the dialog's thread: at once when this is it, else queued
** there; a question (wait) returns the answer, a change returns 1 at once.
** A window that is gone answers 0. */
static intptr_t run_on(native_window *n, std::function<intptr_t()> call, bool wait)
{
    std::unique_lock<std::mutex> g(mu);
    if (!n->alive) return 0;
    if (GetCurrentThreadId() == n->thread) {
        g.unlock();
        return call();
    }
    auto answer = wait ? std::make_shared<std::pair<bool, intptr_t>>(false, 0) : nullptr;
    n->calls.push_back({std::move(call), answer});
    PostMessageW(n->hwnd, RUN_CALLS_MSG, 0, 0);
    if (!wait) return 1;
    answered.wait(g, [&] { return answer->first; });
    return answer->second;
}

static void run_calls(native_window *n)
{
    std::unique_lock<std::mutex> g(mu);
    while (!n->calls.empty()) {
        queued_call c = std::move(n->calls.front());
        n->calls.pop_front();
        g.unlock();
        intptr_t r = c.run();
        g.lock();
        if (c.answer) *c.answer = {true, r};
        answered.notify_all();
    }
}

/* The window has gone: whoever waits on it gets 0. */
static void window_gone(native_window *n)
{
    if (n->in_tray) {
        NOTIFYICONDATAW nid{};
        nid.cbSize = sizeof nid;
        nid.hWnd = n->hwnd;
        nid.uID = TRAY_ICON_ID;
        Shell_NotifyIconW(NIM_DELETE, &nid);
        n->in_tray = false;
    }
    {
        std::lock_guard<std::mutex> g(mu);
        n->alive = false;
        for (queued_call &c : n->calls)
            if (c.answer) *c.answer = {true, 0};
        n->calls.clear();
        answered.notify_all();
    }
    status_lines()->dialog_closed(handle(n));
}

/* ------------------------------------------------------------ templates */

/* An in-memory dialog template: WORDs, items on DWORD boundaries. */
struct template_words {
    std::vector<WORD> w;
    void word(unsigned x) { w.push_back((WORD)x); }
    void dword(DWORD x) { word(LOWORD(x)), word(HIWORD(x)); }
    void text(const char *s)
    {
        for (wchar_t c : pal_widen(s ? s : "")) word((WORD)c);
        word(0);
    }
    void align(void)
    {
        if (w.size() % 2) word(0);
    }
};

static const pal_control *template_control(const pal_dialog_template *t, int id)
{
    for (int i = 0; i < t->count; i++)
        if (t->controls[i].id == id) return &t->controls[i];
    return nullptr;
}

/* The class and styles of a control of the given kind. */
static void control_class(const pal_control &c, WORD &cls, const wchar_t *&named, DWORD &style)
{
    style = WS_CHILD | WS_VISIBLE;
    named = nullptr;
    switch (c.kind) {
    case PAL_CTL_STATIC: cls = CLASS_STATIC, style |= SS_LEFTNOWORDWRAP | SS_NOPREFIX; break;
    case PAL_CTL_PICTURE: cls = CLASS_STATIC, style |= SS_ICON | SS_CENTERIMAGE; break;
    case PAL_CTL_BUTTON: cls = CLASS_BUTTON, style |= BS_PUSHBUTTON | WS_TABSTOP; break;
    case PAL_CTL_CHECKBOX: cls = CLASS_BUTTON, style |= BS_AUTOCHECKBOX | WS_TABSTOP; break;
    case PAL_CTL_GROUP: cls = CLASS_BUTTON, style |= BS_GROUPBOX; break;
    case PAL_CTL_EDIT:
        cls = CLASS_EDIT, style |= ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP;
        if (c.style & PAL_ES_NUMBER) style |= ES_NUMBER;
        if (c.style & PAL_ES_PASSWORD) style |= ES_PASSWORD;
        break;
    case PAL_CTL_COMBO:
        cls = CLASS_COMBO, style |= CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP;
        if (c.style & PAL_CBS_SORT) style |= CBS_SORT;
        break;
    case PAL_CTL_PROGRESS: cls = 0, named = PROGRESS_CLASSW, style |= WS_BORDER; break;
    }
}

static std::vector<WORD> build_template(const pal_dialog_template *t)
{
    template_words d;
    d.dword(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME | DS_SETFONT | DS_CENTER);
    d.dword(WS_EX_APPWINDOW);
    d.word((unsigned)t->count);
    d.word(0), d.word(0), d.word((unsigned)t->width), d.word((unsigned)t->height);
    d.word(0);                       /* no menu */
    d.word(0);                       /* the dialog class */
    d.text(t->caption);
    d.word((unsigned)t->font_size);
    d.text(t->font);
    for (int i = 0; i < t->count; i++) {
        const pal_control &c = t->controls[i];
        WORD cls = 0;
        const wchar_t *named;
        DWORD style;
        control_class(c, cls, named, style);
        d.align();
        d.dword(style);
        d.dword(0);
        d.word((unsigned)c.x), d.word((unsigned)c.y), d.word((unsigned)c.w);
        d.word((unsigned)(c.h + (c.kind == PAL_CTL_COMBO ? COMBO_LIST_HEIGHT : 0)));
        d.word((unsigned)c.id);      /* a label's -1 is the system's IDC_STATIC */
        if (named) {
            for (const wchar_t *p = named; *p; p++) d.word((WORD)*p);
            d.word(0);
        } else {
            d.word(0xFFFF), d.word(cls);
        }
        d.text(c.kind == PAL_CTL_PICTURE ? "" : c.text);
        d.word(0);                   /* no creation data */
    }
    return d.w;
}

static HICON app_icon(void)
{
    HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(APP_ICON_RESOURCE));
    return icon ? icon : LoadIconW(nullptr, (LPCWSTR)IDI_APPLICATION);
}

/* Typing limits and the picture, which the template cannot carry. */
static void prepare_controls(native_window *n)
{
    for (int i = 0; i < n->t->count; i++) {
        const pal_control &c = n->t->controls[i];
        if (c.limit > 0 && c.kind == PAL_CTL_EDIT) SendDlgItemMessageW(n->hwnd, c.id, EM_LIMITTEXT, (WPARAM)c.limit, 0);
        if (c.limit > 0 && c.kind == PAL_CTL_COMBO) SendDlgItemMessageW(n->hwnd, c.id, CB_LIMITTEXT, (WPARAM)c.limit, 0);
        if (c.kind == PAL_CTL_PICTURE) SendDlgItemMessageW(n->hwnd, c.id, STM_SETICON, (WPARAM)app_icon(), 0);
    }
}

/* ------------------------------------------------------- the procedure */

/* True for a notification the dialog procedure takes from a user: a click,
** an edit's change, a combo's choice, typing or leaving.  A change the
** program makes itself tells nobody, as with the portable manager. */
static bool user_notice(native_window *n, int id, unsigned code)
{
    const pal_control *c = template_control(n->t, id);
    if (n->quiet || !c) return false;
    switch (c->kind) {
    case PAL_CTL_BUTTON: case PAL_CTL_CHECKBOX: return code == BN_CLICKED;
    case PAL_CTL_EDIT: return code == EN_CHANGE;
    case PAL_CTL_COMBO:
        if (code == CBN_SELCHANGE) {
            /* The field shows the choice before the procedure hears of it. */
            win32_HWND combo = GetDlgItem(n->hwnd, id);
            LRESULT i = SendMessageW(combo, CB_GETCURSEL, 0, 0);
            LRESULT len = i < 0 ? CB_ERR : SendMessageW(combo, CB_GETLBTEXTLEN, (WPARAM)i, 0);
            if (len >= 0) {
                std::wstring item((size_t)len + 1, L'\0');
                SendMessageW(combo, CB_GETLBTEXT, (WPARAM)i, (LPARAM)&item[0]);
                n->quiet++;
                SetWindowTextW(combo, item.c_str());
                n->quiet--;
            }
        }
        return code == CBN_SELCHANGE || code == CBN_KILLFOCUS || code == CBN_EDITCHANGE;
    default: return false;
    }
}

static bool add_icon(native_window *n, win32_HWND h);
static UINT taskbar_created(void);

static INT_PTR CALLBACK native_proc(win32_HWND h, UINT msg, WPARAM wp, LPARAM lp)
{
    native_window *n;
    if (msg == WM_INITDIALOG) {
        n = reinterpret_cast<native_window *>(lp);
        SetWindowLongPtrW(h, DWLP_USER, (LONG_PTR)n);
        bool closing;
        {
            std::lock_guard<std::mutex> g(mu);
            n->hwnd = h;
            n->alive = true;
            closing = main_window == n && close_pending;
            close_pending = false;
        }
        prepare_controls(n);
        status_lines()->dialog_opened(handle(n), n->t);
        n->proc(handle(n), PAL_WM_INITDIALOG, 0, 0);
        if (closing) PostMessageW(h, WM_CLOSE, 0, 0);
        return TRUE;
    }
    n = reinterpret_cast<native_window *>(GetWindowLongPtrW(h, DWLP_USER));
    if (!n) return FALSE;
    if (msg == taskbar_created()) {
        if (n->in_tray) add_icon(n, h);
        return FALSE;
    }
    switch (msg) {
    case RUN_CALLS_MSG: run_calls(n); return TRUE;
    case WM_NCDESTROY: window_gone(n); return FALSE;
    case WM_WINDOWPOSCHANGING:
        /* The modal loop shows its dialog once it first runs idle, even
        ** when the program has hidden it already (started minimized). */
        if (n->hidden) reinterpret_cast<WINDOWPOS *>(lp)->flags &= ~(UINT)SWP_SHOWWINDOW;
        return FALSE;
    case WM_COMMAND:
        /* From a control (lp is its window) only the user's notices; the
        ** program's own commands (lp 0) pass as they are. */
        if (lp && !user_notice(n, LOWORD(wp), HIWORD(wp))) return FALSE;
        lp = 0;
        break;
    case WM_NULL: case WM_CLOSE: case WM_DESTROY: case WM_SYSCOMMAND: break;
    default:
        if (msg < WM_USER) return FALSE;
        break;
    }
    intptr_t r = n->proc(handle(n), msg, wp, lp);
    if (!r) return FALSE;
    SetWindowLongPtrW(h, DWLP_MSGRESULT, r);
    return TRUE;
}

intptr_t pal_dialog_box(const pal_dialog_template *t, HWND owner, pal_dlgproc proc)
{
    if (!t || !proc) return -1;
    if (!use_native()) return pal_emulated_dialog_box(t, owner, proc);
    static std::once_flag controls_once;
    std::call_once(controls_once, [] {
        INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&icc);
    });
    native_window *n = new native_window;
    n->t = t;
    n->proc = proc;
    n->thread = GetCurrentThreadId();
    {
        std::lock_guard<std::mutex> g(mu);
        natives.push_back(n);
        if (!main_window) main_window = n;
    }
    native_window *o = native(owner);
    std::vector<WORD> words = build_template(t);
    loop_depth++;
    INT_PTR r = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(words.data()),
                                        o ? o->hwnd : nullptr, native_proc, reinterpret_cast<LPARAM>(n));
    /* A quit posted to end these loops must not end the next one. */
    if (--loop_depth == 0) {
        MSG m;
        PeekMessageW(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    }
    std::lock_guard<std::mutex> g(mu);
    if (main_window == n) main_window = nullptr;
    if (r == -1 && !n->hwnd) return -1;
    return n->ended ? n->result : 0;
}

int pal_end_dialog(HWND w, intptr_t result)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_end_dialog(w, result);
    return (int)run_on(n, [n, result] {
        n->ended = true;
        n->result = result;
        return (intptr_t)EndDialog(n->hwnd, result);
    }, false);
}

int pal_destroy_window(HWND w)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_destroy_window(w);
    return (int)run_on(n, [n] { return (intptr_t)DestroyWindow(n->hwnd); }, false);
}

void pal_post_quit_message(int code)
{
    if (mode == NATIVE) PostQuitMessage(code);
    else pal_emulated_post_quit_message(code);
}

intptr_t pal_send_message(HWND w, unsigned msg, WPARAM wp, LPARAM lp)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_send_message(w, msg, wp, lp);
    return run_on(n, [=] { return (intptr_t)SendMessageW(n->hwnd, msg, wp, lp); }, true);
}

int pal_post_message(HWND w, unsigned msg, WPARAM wp, LPARAM lp)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_post_message(w, msg, wp, lp);
    std::lock_guard<std::mutex> g(mu);
    return n->alive && PostMessageW(n->hwnd, msg, wp, lp);
}

void pal_pump_messages(void)
{
    if (mode != NATIVE) return pal_emulated_pump_messages();
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT) {
            PostQuitMessage((int)m.wParam);
            return;
        }
        win32_HWND top = GetAncestor(m.hwnd, GA_ROOT);
        if (top && IsDialogMessageW(top, &m)) continue;
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
}

int pal_set_window_text(HWND w, const char *text)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_set_window_text(w, text);
    std::string t = text ? text : "";
    return (int)run_on(n, [n, t] {
        SetWindowTextW(n->hwnd, pal_widen(t.c_str()).c_str());
        status_lines()->caption_changed(handle(n), t.c_str());
        return (intptr_t)1;
    }, false);
}

int pal_show_window(HWND w, int mode_)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_show_window(w, mode_);
    return (int)run_on(n, [n, mode_] {
        n->hidden = mode_ == PAL_SW_HIDE;
        ShowWindow(n->hwnd, n->hidden ? SW_HIDE : SW_SHOWNORMAL);
        if (mode_ != PAL_SW_HIDE) SetForegroundWindow(n->hwnd);
        status_lines()->window_shown(handle(n), mode_);
        return (intptr_t)1;
    }, false);
}

/* A control's text as UTF-8 (a window's text for the caption). */
static std::string window_text(win32_HWND c)
{
    int len = GetWindowTextLengthW(c);
    if (len <= 0) return std::string();
    std::wstring t((size_t)len + 1, L'\0');
    t.resize((size_t)GetWindowTextW(c, &t[0], len + 1));
    return pal_narrow(t.c_str());
}

/* Copies text into buf cut to size - 1 bytes; returns the length. */
static int copy_out(const std::string &text, char *buf, int size)
{
    size_t n = text.size() < (size_t)size - 1 ? text.size() : (size_t)size - 1;
    text.copy(buf, n);
    buf[n] = 0;
    return (int)n;
}

/* A change the program makes to a control: its notifications stay quiet. */
template <typename F>
static int change(native_window *n, int id, F f)
{
    return (int)run_on(n, [n, id, f] {
        win32_HWND c = GetDlgItem(n->hwnd, id);
        if (!c) return (intptr_t)0;
        n->quiet++;
        intptr_t r = f(c);
        n->quiet--;
        return r;
    }, false);
}

/* A question to a control, answered on the dialog's thread. */
template <typename F>
static intptr_t ask(native_window *n, int id, intptr_t none, F f)
{
    intptr_t r = run_on(n, [n, id, none, f] {
        win32_HWND c = GetDlgItem(n->hwnd, id);
        return c ? f(c) + 1 : none + 1;
    }, true);
    return r ? r - 1 : none;     /* 0 from run_on: the window is gone */
}

int pal_set_dlg_item_text(HWND w, int id, const char *text)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_set_dlg_item_text(w, id, text);
    std::string t = text ? text : "";
    return change(n, id, [n, id, t](win32_HWND c) {
        if (window_text(c) == t) return (intptr_t)1;
        SetWindowTextW(c, pal_widen(t.c_str()).c_str());
        status_lines()->control_changed(handle(n), id, t.c_str());
        return (intptr_t)1;
    });
}

int pal_get_dlg_item_text(HWND w, int id, char *buf, int size)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_get_dlg_item_text(w, id, buf, size);
    if (!buf || size <= 0) return 0;
    std::string text;
    ask(n, id, 0, [&text](win32_HWND c) { text = window_text(c); return (intptr_t)0; });
    return copy_out(text, buf, size);
}

int pal_check_dlg_button(HWND w, int id, int state)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_check_dlg_button(w, id, state);
    return change(n, id, [state](win32_HWND c) {
        SendMessageW(c, BM_SETCHECK, state ? BST_CHECKED : BST_UNCHECKED, 0);
        return (intptr_t)1;
    });
}

int pal_is_dlg_button_checked(HWND w, int id)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_is_dlg_button_checked(w, id);
    return (int)ask(n, id, 0, [](win32_HWND c) { return (intptr_t)(SendMessageW(c, BM_GETCHECK, 0, 0) == BST_CHECKED); });
}

/* A combo box message with a wide text, answered with the system's result
** (CB_ERR and CB_ERRSPACE become -1). */
static intptr_t combo_text_message(native_window *n, int id, UINT msg, WPARAM wp, const char *text)
{
    std::wstring t = pal_widen(text ? text : "");
    return ask(n, id, -1, [msg, wp, &t](win32_HWND c) {
        LRESULT r = SendMessageW(c, msg, wp, (LPARAM)t.c_str());
        return (intptr_t)(r < 0 ? -1 : r);
    });
}

int pal_combo_add(HWND w, int id, const char *text)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_combo_add(w, id, text);
    return (int)combo_text_message(n, id, CB_ADDSTRING, 0, text);
}

int pal_combo_select(HWND w, int id, int index)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_combo_select(w, id, index);
    return change(n, id, [index](win32_HWND c) {
        if (SendMessageW(c, CB_SETCURSEL, (WPARAM)index, 0) == CB_ERR) SetWindowTextW(c, L"");
        return (intptr_t)1;
    });
}

/* A combo box message without text, answered as the system answers. */
static int combo_message(HWND w, int id, UINT msg, WPARAM wp)
{
    native_window *n = native(w);
    return (int)ask(n, id, -1, [msg, wp](win32_HWND c) {
        LRESULT r = SendMessageW(c, msg, wp, 0);
        return (intptr_t)(r < 0 ? -1 : r);
    });
}

int pal_combo_selected(HWND w, int id)
{
    if (!native(w)) return pal_emulated_combo_selected(w, id);
    return combo_message(w, id, CB_GETCURSEL, 0);
}

int pal_combo_find(HWND w, int id, const char *text)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_combo_find(w, id, text);
    return (int)combo_text_message(n, id, CB_FINDSTRING, (WPARAM)-1, text);
}

int pal_combo_delete(HWND w, int id, int index)
{
    if (!native(w)) return pal_emulated_combo_delete(w, id, index);
    return index < 0 ? -1 : combo_message(w, id, CB_DELETESTRING, (WPARAM)index);
}

int pal_combo_count(HWND w, int id)
{
    if (!native(w)) return pal_emulated_combo_count(w, id);
    return combo_message(w, id, CB_GETCOUNT, 0);
}

int pal_combo_item(HWND w, int id, int index, char *buf, int size)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_combo_item(w, id, index, buf, size);
    if (!buf || size <= 0) return -1;
    buf[0] = 0;
    std::string text;
    intptr_t found = ask(n, id, -1, [index, &text](win32_HWND c) {
        LRESULT len = index < 0 ? CB_ERR : SendMessageW(c, CB_GETLBTEXTLEN, (WPARAM)index, 0);
        if (len < 0) return (intptr_t)-1;
        std::wstring item((size_t)len + 1, L'\0');
        SendMessageW(c, CB_GETLBTEXT, (WPARAM)index, (LPARAM)&item[0]);
        text = pal_narrow(item.c_str());
        return (intptr_t)0;
    });
    return found < 0 ? -1 : copy_out(text, buf, size);
}

int pal_progress_range(HWND w, int id, int lo, int hi)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_progress_range(w, id, lo, hi);
    return change(n, id, [lo, hi](win32_HWND c) { return (intptr_t)(SendMessageW(c, PBM_SETRANGE32, (WPARAM)lo, hi), 1); });
}

int pal_progress_pos(HWND w, int id, int pos)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_progress_pos(w, id, pos);
    return change(n, id, [pos](win32_HWND c) { return (intptr_t)(SendMessageW(c, PBM_SETPOS, (WPARAM)pos, 0), 1); });
}

/* Adds the window's tray icon with n's kept tip and message.  Returns the
** shell's answer. */
static bool add_icon(native_window *n, win32_HWND h)
{
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof nid;
    nid.uID = TRAY_ICON_ID;
    nid.hWnd = h;
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    {
        std::lock_guard<std::mutex> g(mu);
        nid.uCallbackMessage = n->tray_msg;
        wcsncpy(nid.szTip, n->tray_tip.c_str(), sizeof nid.szTip / sizeof nid.szTip[0] - 1);
    }
    nid.hIcon = app_icon();
    return nid.hIcon && Shell_NotifyIconW(NIM_ADD, &nid);
}

/* The message the shell sends every top-level window when the taskbar is
** made again (Explorer restarted): the icons it showed are gone. */
static UINT taskbar_created(void)
{
    static const UINT msg = RegisterWindowMessageW(L"TaskbarCreated");
    return msg;
}

/* The icon is added or removed at once from any thread; a shell that
** refuses it counts as an icon that cannot be loaded, since a window hidden
** behind an icon that is not there could not be brought back. */
int pal_tray_icon(HWND w, int show, const char *tip, unsigned callback_msg)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_tray_icon(w, show, tip, callback_msg);
    win32_HWND h;
    {
        std::lock_guard<std::mutex> g(mu);
        if (!n->alive) return 0;
        h = n->hwnd;
        if (show) {
            n->tray_tip = pal_widen(tip ? tip : "");
            n->tray_msg = callback_msg;
        }
    }
    if (!show) {
        NOTIFYICONDATAW nid{};
        nid.cbSize = sizeof nid;
        nid.uID = TRAY_ICON_ID;
        nid.hWnd = h;
        if (n->in_tray) Shell_NotifyIconW(NIM_DELETE, &nid);
        n->in_tray = false;
    } else {
        if (!n->in_tray && !add_icon(n, h)) return 0;
        n->in_tray = true;
    }
    status_lines()->tray(w, show, tip ? tip : "");
    return 1;
}

/* The owner of a box or picker: the newest live dialog of the calling
** thread, whatever dialog the caller names.  A box owned by a dialog that
** another modal dialog has disabled would enable it again when it closes,
** under the dialog still open.  Null off the dialogs' thread. */
static win32_HWND owner_window(void)
{
    std::lock_guard<std::mutex> g(mu);
    for (size_t i = natives.size(); i-- > 0;)
        if (natives[i]->alive && natives[i]->thread == GetCurrentThreadId()) return natives[i]->hwnd;
    return nullptr;
}

int pal_message_box(HWND owner, const char *text, const char *caption)
{
    if (!use_native()) return pal_emulated_message_box(owner, text, caption);
    return MessageBoxW(owner_window(), pal_widen(text ? text : "").c_str(), pal_widen(caption ? caption : "").c_str(),
                       MB_OK | MB_SYSTEMMODAL);
}

/* The shell's picker, with the options' flags: an edit box, the new style,
** and files as well when asked. */
typedef LPITEMIDLIST(WINAPI *browse_fn)(LPBROWSEINFOW);
typedef BOOL(WINAPI *idlist_path_fn)(LPCITEMIDLIST, LPWSTR);

int pal_pick_path(HWND owner, const char *title, int files, char *out, int size)
{
    if (!use_native()) return pal_emulated_pick_path(owner, title, files, out, size);
    if (!out || size <= 0) return 0;
    out[0] = 0;
    HMODULE shell = LoadLibraryW(L"shell32.dll");
    if (!shell) return 0;
    auto browse = reinterpret_cast<browse_fn>(reinterpret_cast<void *>(GetProcAddress(shell, "SHBrowseForFolderW")));
    auto path_of = reinterpret_cast<idlist_path_fn>(reinterpret_cast<void *>(GetProcAddress(shell, "SHGetPathFromIDListW")));
    if (!browse || !path_of) return 0;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::wstring t = pal_widen(title ? title : "");
    wchar_t name[MAX_PATH] = L"", path[MAX_PATH] = L"";
    BROWSEINFOW bi{};
    bi.hwndOwner = owner_window();
    bi.pszDisplayName = name;
    bi.lpszTitle = t.c_str();
    bi.ulFlags = BIF_EDITBOX | BIF_NEWDIALOGSTYLE | (files ? BIF_BROWSEINCLUDEFILES : 0);
    LPITEMIDLIST chosen = browse(&bi);
    if (!chosen) return 0;
    BOOL ok = path_of(chosen, path);
    CoTaskMemFree(chosen);
    return ok && copy_out(pal_narrow(path), out, size) > 0;
}

void pal_close_request(void)
{
    if (mode == EMULATED) return pal_emulated_close_request();
    {
        std::lock_guard<std::mutex> g(mu);
        if (main_window && main_window->alive) {
            PostMessageW(main_window->hwnd, WM_CLOSE, 0, 0);
            return;
        }
        close_pending = true;
    }
    /* Until the first dialog shows who draws, both hear of it. */
    pal_emulated_close_request();
}

int pal_dialog_id(HWND w)
{
    native_window *n = native(w);
    if (!n) return pal_emulated_dialog_id(w);
    std::lock_guard<std::mutex> g(mu);
    return n->alive ? n->t->id : -1;
}
