/*
** The headless front end: Velmora without a screen.  The status lines of the
** main dialog (log switches, activity, server address) and its caption go to
** standard output as they change; message boxes go to standard error and are
** answered OK at once.
*/
#include "pal/pal.h"

#include <cstdio>

/* The main dialog's status lines worth a line of output; the progress text
** changes with every block sent and stays in the dialog. */
static bool printed(HWND w, int id)
{
    return pal_dialog_id(w) == 100 && (id == 101 || id == 111 || id == 114);
}

static void opened(HWND, const pal_dialog_template *) {}
static void closed(HWND) {}

static void control_changed(HWND w, int id, const char *text)
{
    if (printed(w, id) && *text) {
        printf("%s\n", text);
        fflush(stdout);
    }
}

static void caption_changed(HWND w, const char *text)
{
    if (pal_dialog_id(w) == 100) {
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
