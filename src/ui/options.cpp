/*
** The options dialog.  Each control writes its setting into the global at
** once as the user edits it; the file is written when the dialog closes if
** anything changed.  The title links and the private folders are edited
** through their combo boxes, whose sorted lists give the title menu its
** order.
*/
#include "global.h"
#include "ui/options.h"

#include "config/config.h"
#include "library/itunes.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"
#include "subs/win.h"

#include <climits>
#include <cstdlib>
#include <mutex>
#include <vector>

#define PIN_CAPTION   "Private Folder"
#define TITLE_TXT     100     /* a title, a private folder or a PIN as read: 99 characters */
#define FOLDER_TXT    1000    /* a title's folder as read: 999 characters */
#define MUSIC_TXT     1024    /* the slideshow music file */

/* Browse flags of the shell's picker: an edit box and the new dialog style,
** and with files the files as well. */
#define BROWSE_FOLDERS 0x50
#define BROWSE_FILES   0x4050

static const pal_control option_controls[] = {
    {-1, PAL_CTL_GROUP, "Server", 7, 4, 260, 78, 0, 0},
    {-1, PAL_CTL_STATIC, "Name", 14, 17, 32, 8, 0, 0},
    {IDC_NAME, PAL_CTL_EDIT, "", 48, 15, 130, 12, 0, NAME_MOST},
    {-1, PAL_CTL_STATIC, "IP #", 14, 33, 32, 8, 0, 0},
    {IDC_IP, PAL_CTL_COMBO, "", 48, 31, 80, 12, 0, IP_TXT - 1},
    {-1, PAL_CTL_STATIC, "Port", 140, 33, 22, 8, 0, 0},
    {IDC_PORT, PAL_CTL_EDIT, "", 164, 31, 40, 12, PAL_ES_NUMBER, 5},
    {IDC_TRANSCODE, PAL_CTL_CHECKBOX, "Transcode", 14, 50, 70, 10, 0, 0},
    {IDC_STREAM, PAL_CTL_CHECKBOX, "Stream", 90, 50, 70, 10, 0, 0},
    {IDC_SUBTITLE, PAL_CTL_CHECKBOX, "Subtitles", 166, 50, 70, 10, 0, 0},
    {IDC_TRACE, PAL_CTL_CHECKBOX, "Trace", 14, 65, 70, 10, 0, 0},
    {IDC_AUDIT, PAL_CTL_CHECKBOX, "Access Log", 90, 65, 70, 10, 0, 0},
    {IDC_ON_ERROR, PAL_CTL_CHECKBOX, "Stop on Error", 166, 65, 80, 10, 0, 0},

    {-1, PAL_CTL_GROUP, "SlideShow", 7, 86, 260, 62, 0, 0},
    {-1, PAL_CTL_STATIC, "Overlay Delay", 14, 100, 50, 8, 0, 0},
    {IDC_SS_OVERLAY, PAL_CTL_EDIT, "", 66, 98, 30, 12, PAL_ES_NUMBER, 5},
    {-1, PAL_CTL_STATIC, "Display Time", 112, 100, 46, 8, 0, 0},
    {IDC_SS_PERIOD, PAL_CTL_EDIT, "", 160, 98, 30, 12, PAL_ES_NUMBER, 5},
    {IDC_SS_SHUFFLE, PAL_CTL_CHECKBOX, "Shuffle Photos", 14, 116, 70, 10, 0, 0},
    {IDC_SS_RANDOM, PAL_CTL_CHECKBOX, "Random Music", 90, 116, 70, 10, 0, 0},
    {-1, PAL_CTL_STATIC, "Music", 14, 132, 32, 8, 0, 0},
    {IDC_SS_MUSIC, PAL_CTL_EDIT, "", 48, 130, 170, 12, 0, MUSIC_TXT - 1},
    {IDC_SS_BROWSE, PAL_CTL_BUTTON, "Browse", 222, 129, 38, 14, 0, 0},

    {-1, PAL_CTL_GROUP, "Title Bar", 7, 152, 260, 50, 0, 0},
    {-1, PAL_CTL_STATIC, "Name", 14, 166, 32, 8, 0, 0},
    {IDC_TITLE, PAL_CTL_COMBO, "", 48, 164, 130, 12, PAL_CBS_SORT, TITLE_TXT - 1},
    {IDC_TITLE_ADD, PAL_CTL_BUTTON, "Add", 182, 163, 38, 14, 0, 0},
    {IDC_TITLE_DELETE, PAL_CTL_BUTTON, "Delete", 222, 163, 38, 14, 0, 0},
    {-1, PAL_CTL_STATIC, "Path", 14, 184, 32, 8, 0, 0},
    {IDC_TITLE_PATH, PAL_CTL_EDIT, "", 48, 182, 170, 12, 0, FOLDER_TXT - 1},
    {IDC_TITLE_BROWSE, PAL_CTL_BUTTON, "Browse", 222, 181, 38, 14, 0, 0},

    {-1, PAL_CTL_GROUP, "Private Folders", 7, 206, 260, 56, 0, 0},
    {-1, PAL_CTL_STATIC, "Folder", 14, 220, 32, 8, 0, 0},
    {IDC_PIN_FOLDER, PAL_CTL_COMBO, "", 48, 218, 170, 12, PAL_CBS_SORT, TITLE_TXT - 1},
    {IDC_PIN_BROWSE, PAL_CTL_BUTTON, "Browse", 222, 217, 38, 14, 0, 0},
    {-1, PAL_CTL_STATIC, "PIN #", 14, 240, 32, 8, 0, 0},
    {IDC_PIN, PAL_CTL_EDIT, "", 48, 238, 60, 12, PAL_ES_NUMBER | PAL_ES_PASSWORD, TITLE_TXT - 1},
    {IDC_PIN_ADD, PAL_CTL_BUTTON, "Add", 182, 237, 38, 14, 0, 0},
    {IDC_PIN_DELETE, PAL_CTL_BUTTON, "Delete", 222, 237, 38, 14, 0, 0},

    {IDC_UPDATE, PAL_CTL_BUTTON, "Update", 112, 268, 50, 14, 0, 0},
};

const pal_dialog_template Options_Dialog = {
    200, "Velmora Options", "Arial", 10, 274, 287, option_controls,
    (int)(sizeof option_controls / sizeof option_controls[0])};

static char *heap_copy(const char *s)
{
    size_t n = strlen(s) + 1;
    char *p = (char *)malloc(n);
    if (p) memcpy(p, s, n);
    return p;
}

/* Reads a control's text with the blanks around it removed (the profile
** file trims them too); a field still showing its prompt reads as empty. */
static void read_field(HWND dlg, int id, char *out, int size, const char *prompt)
{
    char raw[FOLDER_TXT + 1];
    pal_get_dlg_item_text(dlg, id, raw, size < (int)sizeof raw ? size : (int)sizeof raw);
    const char *s = raw;
    while (*s == ' ') s++;
    size_t n = scopy(out, (size_t)size, s);
    while (n > 0 && out[n - 1] == ' ') out[--n] = 0;
    if (prompt && !strncmp(raw, prompt, strlen(prompt) - 1) && raw[strlen(prompt) - 1] <= ' ') out[0] = 0;
}

/* Removes one trailing "/" from a path longer than 2 characters, so that a
** drive root such as C:/ keeps its slash. */
static void drop_slash(char *path)
{
    size_t n = strlen(path);
    if (n > 2 && path[n - 1] == '/') path[n - 1] = 0;
}

/* Index of the combo item that is exactly text, or -1. */
static int exact_item(HWND dlg, int combo, const char *text)
{
    char item[TITLE_TXT];
    int n = pal_combo_count(dlg, combo);
    for (int i = 0; i < n; i++)
        if (pal_combo_item(dlg, combo, i, item, sizeof item) >= 0 && !strcmp(item, text)) return i;
    return -1;
}

/* A key the profile file cannot hold back: "=" ends a key, and a line that
** starts with "[" or ";" is a section or a comment. */
static bool unstorable_key(const char *key)
{
    return strchr(key, '=') || key[0] == '[' || key[0] == ';';
}

int Get_Path(HWND hwnd, const char *text, char *out, int files, size_t size)
{
    WALK("Get_Path");
    if (!out || size < 2) return 0;
    out[0] = 0;
    unsigned flags = files ? BROWSE_FILES : BROWSE_FOLDERS;
    if (!pal_pick_path(hwnd, text, (flags & 0x4000) ? 1 : 0, out, (int)size - 1)) return 0;
    size_t n = strlen(out);
    if (!files && n > 0 && out[n - 1] != '/' && out[n - 1] != '\\') {
        out[n] = '\\';
        out[n + 1] = 0;
    }
    return 0;
}

int Sort_Links(HWND dlg, int combo)
{
    WALK("Sort_Links");
    std::vector<std::string> order;
    int items = pal_combo_count(dlg, combo);
    char item[TITLE_TXT];
    for (int i = 0; i < items; i++) {
        if (pal_combo_item(dlg, combo, i, item, sizeof item) < 0) continue;
        Debug("Link_name %d - %s", i, item);
        order.push_back(item);
    }
    links.edit([&](LINK *table) {
        std::vector<LINK> sorted;
        bool taken[MAX_LINKS] = {};
        for (const std::string &title : order)
            for (int k = 0; k < MAX_LINKS && table[k].link; k++)
                if (!taken[k] && title == table[k].link) {
                    sorted.push_back(table[k]);
                    taken[k] = true;
                }
        /* A title the list does not show keeps its place at the end rather
        ** than being lost. */
        for (int k = 0; k < MAX_LINKS && table[k].link; k++)
            if (!taken[k]) sorted.push_back(table[k]);
        for (size_t k = 0; k < sorted.size(); k++) table[k] = sorted[k];
    });
    return 0;
}

/* Shows every setting that has a control, as its row says. */
static void fill(HWND dlg)
{
    char num[16];
    for (int r = 0; r < Settings_Count; r++) {
        const Setting &t = Settings[r];
        if (!t.control) continue;
        if (t.kind == SET_TEXT) {
            pal_set_dlg_item_text(dlg, t.control, Setting_Text(t.text).c_str());
        } else if (t.kind == SET_ADDRESS) {
            std::lock_guard<std::mutex> guard(settings_lock);
            for (int i = 0; i < IP_cnt; i++) {
                Debug("add Ip adrs - %s  %d", IP_Adrs[i], i);
                pal_combo_add(dlg, t.control, IP_Adrs[i]);
            }
            Debug("IP_Select %d", IP_Select.load());
            pal_combo_select(dlg, t.control, IP_Select);
        } else if (t.flags & SET_LOG) {
            /* A log switch shows whether its log is open now. */
            pal_check_dlg_button(dlg, t.control, (t.number == &Audit ? AUD.load() : TRA.load()) != nullptr);
        } else if (t.flags & SET_SWITCH) {
            pal_check_dlg_button(dlg, t.control, t.number->load());
        } else {
            sfmt(num, sizeof num, "%d", t.number->load());
            pal_set_dlg_item_text(dlg, t.control, num);
        }
    }
    const Link_View lk = links.now(), pv = paths.now();
    for (int i = 0; i < MAX_LINKS && lk[i].link; i++) {
        Debug("add Link - %d %s", i, lk[i].link);
        pal_combo_add(dlg, IDC_TITLE, lk[i].link);
    }
    pal_set_dlg_item_text(dlg, IDC_TITLE, TITLE_PROMPT);
    for (int i = 0; i < MAX_LINKS; i++) {
        if (!pv[i].path) continue;
        Debug("add Pin - %d = %s", i, pv[i].path);
        pal_combo_add(dlg, IDC_PIN_FOLDER, pv[i].path);
    }
    pal_set_dlg_item_text(dlg, IDC_PIN_FOLDER, FOLDER_PROMPT);
}

/* 1 when text is a dotted IPv4 address. */
static bool dotted_address(const char *text)
{
    int parts = 0, digits = 0, value = 0;
    for (const char *p = text;; p++) {
        if (*p >= '0' && *p <= '9') {
            value = value * 10 + (*p - '0');
            if (++digits > 3 || value > 255) return false;
        } else if (*p == '.' || *p == 0) {
            if (!digits || ++parts > 4) return false;
            digits = value = 0;
            if (!*p) break;
        } else {
            return false;
        }
    }
    return parts == 4;
}

/* The address field lost the focus: a typed address not in the list is
** added to it and to the host's addresses; either way it is selected. */
static void take_address(HWND dlg)
{
    char typed[IP_TXT];
    pal_get_dlg_item_text(dlg, IDC_IP, typed, sizeof typed);
    Debug("Option IP = %s", typed);
    int at = pal_combo_find(dlg, IDC_IP, typed);
    Debug("Option find = %d", at);
    if (at < 0) {
        /* Only an address can be bound to; anything else puts the
        ** selection back. */
        if (!dotted_address(typed) || Add_Adrs(typed) < 0) {
            pal_combo_select(dlg, IDC_IP, IP_Select);
            return;
        }
        at = pal_combo_add(dlg, IDC_IP, typed);
    }
    pal_combo_select(dlg, IDC_IP, at);
    IP_Select = at;
    Debug("Option sel = %d", at);
}

/* The title list's selection changed: its folder goes into the path field. */
static void show_title(HWND dlg)
{
    pal_set_dlg_item_text(dlg, IDC_TITLE_PATH, " ");
    char title[TITLE_TXT];
    if (pal_combo_item(dlg, IDC_TITLE, pal_combo_selected(dlg, IDC_TITLE), title, sizeof title) < 0) return;
    Debug("Lnk_name %s", title);
    const Link_View lk = links.now();
    for (int i = 0; i < MAX_LINKS && lk[i].link; i++) {
        if (!strcmp(lk[i].link, title)) {
            pal_set_dlg_item_text(dlg, IDC_TITLE_PATH, lk[i].path ? lk[i].path : "");
            return;
        }
    }
}

static void reset_title_fields(HWND dlg)
{
    pal_set_dlg_item_text(dlg, IDC_TITLE, TITLE_PROMPT);
    pal_set_dlg_item_text(dlg, IDC_TITLE_PATH, " ");
}

/* Add: the typed title gets the folder of the path field.  The music and
** photo titles first import the library their current folder holds. */
static void add_title(HWND dlg)
{
    char title[TITLE_TXT];
    read_field(dlg, IDC_TITLE, title, sizeof title, TITLE_PROMPT);
    if (!title[0]) return;
    if (unstorable_key(title)) {
        Alert("Title Bar", "A title can't hold \"=\" or start with \"[\" or \";\" !", 0);
        return;
    }
    if (exact_item(dlg, IDC_TITLE, title) < 0) pal_combo_add(dlg, IDC_TITLE, title);
    const Link_View lk = links.now();
    int i = 0;
    while (i < MAX_LINKS && lk[i].link && strcmp(lk[i].link, title)) i++;
    if (i == MAX_LINKS) return;

    char folder[FOLDER_TXT];
    read_field(dlg, IDC_TITLE_PATH, folder, sizeof folder, nullptr);
    flip_slash(folder);
    drop_slash(folder);
    /* A title new to the table has no folder of its own yet: the library
    ** is looked for in the folder it is given. */
    char current[MAX_PATH_TXT];
    scopy(current, sizeof current, lk[i].link && lk[i].path ? lk[i].path : folder);
    bool keep = false;
    if (!strcmp(title, "iTunes")) {
        if (current[0] && Check_New_iTunes(current)) Bld_Tables(1);
    } else if (!strcmp(title, "iPhoto")) {
        if (current[0] && Check_New_iPhoto(current)) {
            Bld_Tables(2);
            keep = true;
        }
    }
    if (!keep) insert_link(title, folder, nullptr);
    Sort_Links(dlg, IDC_TITLE);
    reset_title_fields(dlg);
    New_Title = 1;
}

/* Delete: the title's link leaves the list, the table and the file; the
** later links move up so that the table stays contiguous. */
static void delete_title(HWND dlg)
{
    char title[TITLE_TXT];
    read_field(dlg, IDC_TITLE, title, sizeof title, TITLE_PROMPT);
    int item = title[0] ? pal_combo_find(dlg, IDC_TITLE, title) : -1;
    if (item < 0) return;
    pal_combo_delete(dlg, IDC_TITLE, item);
    pal_set_dlg_item_text(dlg, IDC_TITLE_PATH, " ");
    Debug("droping link %s", title);
    const Link_View lk = links.now();
    for (int i = 0; i < MAX_LINKS && lk[i].link; i++) {
        Debug("[%s] <> [%s]", lk[i].link, title);
        if (strcmp(lk[i].link, title)) continue;
        Debug("Found %s  %d  path = %s", title, i, lk[i].path ? lk[i].path : "");
        delete_link(title);
        links.edit([&](LINK *table) {
            int k = 0;
            while (k < MAX_LINKS && table[k].link && strcmp(table[k].link, title)) k++;
            if (k == MAX_LINKS || !table[k].link) return;
            free(table[k].link);
            free(table[k].path);
            for (; k + 1 < MAX_LINKS && table[k + 1].link; k++) table[k] = table[k + 1];
            table[k].link = table[k].path = nullptr;
        });
        break;
    }
    pal_set_dlg_item_text(dlg, IDC_TITLE, TITLE_PROMPT);
    New_Title = 1;
}

static void reset_pin_fields(HWND dlg)
{
    pal_set_dlg_item_text(dlg, IDC_PIN_FOLDER, FOLDER_PROMPT);
    pal_set_dlg_item_text(dlg, IDC_PIN, "");
}

/* Reads the private folder and PIN fields; false (after saying which is
** missing and resetting both) when one is empty. */
static bool read_pin_fields(HWND dlg, char *folder, char *pin)
{
    read_field(dlg, IDC_PIN_FOLDER, folder, TITLE_TXT, FOLDER_PROMPT);
    read_field(dlg, IDC_PIN, pin, TITLE_TXT, nullptr);
    const char *missing = !folder[0] ? "Missing path name !" : !pin[0] ? "Missing PIN Code !" : nullptr;
    if (!missing) return true;
    Alert(PIN_CAPTION, missing, 0);
    reset_pin_fields(dlg);
    return false;
}

static void add_private(HWND dlg)
{
    char folder[TITLE_TXT], pin[TITLE_TXT];
    if (!read_pin_fields(dlg, folder, pin)) return;
    if (unstorable_key(folder)) {
        Alert(PIN_CAPTION, "A folder can't hold \"=\" or start with \"[\" or \";\" !", 0);
        return;
    }
    if (pal_combo_find(dlg, IDC_PIN_FOLDER, folder) >= 0) {
        Alert(PIN_CAPTION, "Folder exists !", 0);
        return;
    }
    int free_at = -1;
    bool known = false;
    const Link_View pv = paths.now();
    for (int i = 0; i < MAX_LINKS; i++) {
        if (!pv[i].path) {
            if (free_at < 0) free_at = i;
        } else if (!strcmp(pv[i].path, folder)) {
            known = true;
        }
    }
    if (free_at < 0 && !known) {
        Alert(PIN_CAPTION, "Exceeded Max Folders !", 0);
        return;
    }
    pal_combo_add(dlg, IDC_PIN_FOLDER, folder);
    if (!known) {
        Debug("Add pin %s = %s", folder, pin);
        paths.edit([&](LINK *table) {
            if (table[free_at].path) return;
            table[free_at].link = heap_copy(pin);
            table[free_at].path = heap_copy(folder);
        });
    }
    reset_pin_fields(dlg);
    New_Title = 1;
    Save_Config = 1;
}

static void delete_private(HWND dlg)
{
    char folder[TITLE_TXT], pin[TITLE_TXT];
    if (!read_pin_fields(dlg, folder, pin)) return;
    int item = pal_combo_find(dlg, IDC_PIN_FOLDER, folder);
    if (item < 0) {
        Alert(PIN_CAPTION, "Invalid Folder Name !", 0);
        return;
    }
    const Link_View pv = paths.now();
    int i = 0;
    while (i < MAX_LINKS && !(pv[i].path && !strcmp(pv[i].path, folder))) i++;
    const char *stored = i < MAX_LINKS && pv[i].link ? pv[i].link : "";
    Debug("Delete pin %s = %s = %s", pin, stored, folder);
    reset_pin_fields(dlg);
    if (i == MAX_LINKS || strcmp(pin, stored)) {
        Alert(PIN_CAPTION, "Invalid PIN Code !", 0);
        return;
    }
    pal_combo_delete(dlg, IDC_PIN_FOLDER, item);
    paths.edit([i](LINK *table) {
        if (!table[i].path) return;
        free(table[i].path);
        free(table[i].link);
        table[i].path = table[i].link = nullptr;
    });
    New_Title = 1;
    Save_Config = 1;
}

/* A number field read as an unsigned number. */
static unsigned read_number(HWND dlg, int id)
{
    char text[16];
    pal_get_dlg_item_text(dlg, id, text, sizeof text);
    long long v = 0;
    read_decimal(text, LLONG_MIN, LLONG_MAX, &v);
    return (unsigned)v;       /* as strtoul gives it: "-1" is UINT_MAX */
}

static int checked(HWND dlg, int id) { return pal_is_dlg_button_checked(dlg, id) ? 1 : 0; }

/* Picks a folder for a field: backslashes become "/". */
static void browse_into(HWND dlg, int id, const char *title, int files, bool trim)
{
    char path[MAX_PATH_TXT];
    Get_Path(dlg, title, path, files, sizeof path);
    if (!path[0]) return;
    flip_slash(path);
    if (trim) drop_slash(path);
    pal_set_dlg_item_text(dlg, id, path);
}

/* A command from the control of setting t: its value goes into the
** setting as the row says.  Returns 1 when handled. */
static int take_setting(HWND dlg, const Setting &t, int code)
{
    if (t.flags & SET_SWITCH) {
        t.number->store(checked(dlg, t.control));
        Debug(t.traced, t.number->load());
        if (t.flags & SET_LOG) Set_Diag();
    } else if (code != PAL_EN_CHANGE) {
        return 0;
    } else if (t.kind == SET_TEXT) {
        std::vector<char> typed((size_t)t.most + 1);
        pal_get_dlg_item_text(dlg, t.control, typed.data(), (int)typed.size());
        Set_Text(t.text, t.size, typed.data());
        Debug(t.traced, typed.data());
    } else {
        unsigned v = read_number(dlg, t.control);
        if (t.most && v > t.most) return 0;
        t.number->store((int)v);
        Debug(t.traced, (int)v);
    }
    if (t.flags & SET_CHANNEL) New_Title = 1;
    return 1;
}

/* One command from a control; returns 1 when handled.  `save` says whether
** it marks a full save as due. */
static intptr_t on_command(HWND dlg, int id, int code, bool &save)
{
    save = true;
    const Setting *t = Setting_Of_Control(id);
    if (t && t->kind != SET_ADDRESS) return take_setting(dlg, *t, code);
    switch (id) {
    case IDC_IP:
        if (code == PAL_CBN_KILLFOCUS) {
            take_address(dlg);
        } else if (code == PAL_CBN_SELCHANGE) {
            int sel = pal_combo_selected(dlg, IDC_IP);
            if (sel < 0 || sel >= IP_cnt) return 0;
            IP_Select = sel;
            Debug("Option IP adrs = %s", Setting_Text(IP_Adrs[sel]).c_str());
        } else {
            return 0;
        }
        return 1;
    case IDC_SS_BROWSE: {
        char path[MAX_PATH_TXT];
        Get_Path(dlg, "Select File for Slideshow Music", path, 1, sizeof path);
        if (!path[0]) return 1;
        flip_slash(path);
        /* The field is set here, and the setting with it, as typing would. */
        pal_set_dlg_item_text(dlg, IDC_SS_MUSIC, path);
        Set_Text(SS_music, sizeof SS_music, path);
        Debug("Option SS_music %s", path);
        New_Title = 1;
        return 1;
    }
    case IDC_TITLE:
        save = false;
        if (code != PAL_CBN_SELCHANGE) return 0;
        show_title(dlg);
        return 1;
    case IDC_TITLE_ADD: add_title(dlg); return 1;
    case IDC_TITLE_DELETE: save = false; delete_title(dlg); return 1;
    case IDC_TITLE_BROWSE:
        browse_into(dlg, IDC_TITLE_PATH, "Select Folder for Title Menu Name", 0, false);
        return 1;
    case IDC_TITLE_PATH: return code == PAL_EN_CHANGE;
    case IDC_PIN_BROWSE:
        save = false;
        browse_into(dlg, IDC_PIN_FOLDER, "Select Folder to Protect", 0, true);
        return 1;
    case IDC_PIN_FOLDER: case IDC_PIN: save = false; return 0;
    /* A private folder that was added or removed marks the save itself,
    ** so that Update writes it and the channel sees it. */
    case IDC_PIN_ADD: save = false; add_private(dlg); return 1;
    case IDC_PIN_DELETE: save = false; delete_private(dlg); return 1;
    }
    return 0;
}

intptr_t get_option_p(HWND hDlg, unsigned uMsg, WPARAM wParam, LPARAM)
{
    WALK("get_option_p");
    switch (uMsg) {
    case PAL_WM_INITDIALOG:
        Debug("WM_INITDIALOG");
        fill(hDlg);
        return 1;
    case PAL_WM_COMMAND: {
        int id = (int)(wParam & 0xFFFF), code = (int)((wParam >> 16) & 0xFFFF);
        if (id == IDC_UPDATE) break;
        bool save = false;
        intptr_t handled = on_command(hDlg, id, code, save);
        if (handled && save) Save_Config = 1;
        return handled;
    }
    case PAL_WM_CLOSE:
    case PAL_WM_DESTROY:
        Debug("WM_CLOSE");
        break;
    default:
        return 0;
    }
    if (Save_Config) save_config();
    pal_end_dialog(hDlg, 1);
    return 1;
}
