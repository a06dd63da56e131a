/*
** The main dialog: Start and Stop of the server, Connect, Exit, the tray
** icon and the status lines that the workers write.
*/
#ifndef VELMORA_DIALOG_H
#define VELMORA_DIALOG_H

#include "global.h"

/* Control ids of the main dialog. */
enum {
    IDC_DIAG = 101, IDC_START = 102, IDC_OPTIONS = 103, IDC_CONNECT = 104, IDC_EXIT = 105,
    IDC_ACTIVITY = 111, IDC_PROGRESS = 112, IDC_COUNTERS = 113, IDC_SERVER = 114
};

/* The import request that another thread sends the main dialog. */
#define WM_IMPORT   PAL_WM_USER
/* The tray icon's callback message. */
#define WM_TRAY     (PAL_WM_USER + 1)
/* A server-control call that another thread sends the main dialog:
** wParam says which, lParam is Exit's code; the result is the call's. */
#define WM_CONTROL  (PAL_WM_USER + 2)

/* Keeps the machine awake and runs the main dialog until it ends.
** Returns the exit code it ended with. */
int open_main(void);

/* Makes the main dialog the server control's front end (its Start button
** shows the state, Exit ends it) and hands the
** platform's front ends the server control, carried to the dialog's
** thread.  Start-up calls it. */
void Connect_Dialog(void);

/* Shows which logs are on (Set_Diag's status text) in IDC_DIAG. */
void Show_Diag(const char *status);

/* The main dialog's procedure: 1 for a handled message, else 0. */
intptr_t get_main_p(HWND hDlg, unsigned uMsg, WPARAM wParam, LPARAM lParam);

/* Mode 1 hides the window behind the tray icon; mode 0 removes the icon and
** shows the window. */
void Set_Tray(HWND w, int mode);

/* Gives the web panel its status view (src/ui/status_view.cpp). */
void Status_View_Start(void);
/* The status view's job (JOB_STATUS): runs the oldest action it queued, a
** launch on one player or the stop of one stream, on a thread of the
** table.  Returns 0. */
int Status_Action(int);

/* The main dialog's template. */
extern const pal_dialog_template Main_Dialog;

#endif
