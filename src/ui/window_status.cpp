/*
** The status port drawn on the main dialog: each status line is one of its
** controls, the picker and the message boxes are owned by it, and a due
** import is a message the dialog runs on its own thread.
*/
#include "global.h"
#include "ui/window_status.h"

#include "subs/status.h"
#include "ui/dialog.h"
#include "ui/options.h"

static int control_of(status_line which)
{
    switch (which) {
    case STATUS_ACTIVITY: return IDC_ACTIVITY;
    case STATUS_COUNTERS: return IDC_COUNTERS;
    case STATUS_SERVER: return IDC_SERVER;
    case STATUS_DIAG: return IDC_DIAG;
    }
    return IDC_ACTIVITY;
}

static void window_line(status_line which, const char *text)
{
    pal_set_dlg_item_text(Win.load(), control_of(which), text);
}

static void window_range(int lo, int hi) { pal_progress_range(Win.load(), IDC_PROGRESS, lo, hi); }
static void window_pos(int pos) { pal_progress_pos(Win.load(), IDC_PROGRESS, pos); }
static int window_box(const char *text, const char *caption) { return pal_message_box(Win.load(), text, caption); }

static void window_pick(const char *title, char *out, int files, size_t size)
{
    Get_Path(Win.load(), title, out, files, size);
}

static void window_import(void) { pal_send_message(Win.load(), WM_IMPORT, 1, 2); }

static const status_port window_port = {window_line, window_range, window_pos, window_box, window_pick, window_import};

void Register_Window_Status(void) { Status_Register(&window_port); }
