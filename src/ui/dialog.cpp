/*
** The main dialog.  Its buttons start and stop the server, launch the channel
** on the players and end the program; minimizing hides it behind the tray
** icon; its static controls are the status display that the workers write.
*/
#include "global.h"
#include "ui/dialog.h"

#include "config/config.h"
#include "control/control.h"
#include "library/itunes.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"
#include "subs/win.h"
#include "ui/options.h"

static const pal_control main_controls[] = {
    {0, PAL_CTL_PICTURE, "Velmora", 7, 7, 64, 40, 0, 0},
    {IDC_DIAG, PAL_CTL_STATIC, "", 80, 10, 146, 10, 0, 0},
    {IDC_START, PAL_CTL_BUTTON, "Start", 80, 28, 34, 14, 0, 0},
    {IDC_OPTIONS, PAL_CTL_BUTTON, "Options", 117, 28, 34, 14, 0, 0},
    {IDC_CONNECT, PAL_CTL_BUTTON, "Connect", 154, 28, 34, 14, 0, 0},
    {IDC_EXIT, PAL_CTL_BUTTON, "Exit", 191, 28, 34, 14, 0, 0},
    {IDC_ACTIVITY, PAL_CTL_STATIC, "", 7, 60, 220, 10, 0, 0},
    {IDC_PROGRESS, PAL_CTL_PROGRESS, "", 7, 76, 220, 10, 0, 0},
    {IDC_COUNTERS, PAL_CTL_STATIC, "", 7, 92, 220, 10, 0, 0},
    {IDC_SERVER, PAL_CTL_STATIC, "", 7, 130, 220, 10, 0, 0},
};

const pal_dialog_template Main_Dialog = {
    100, "Velmora", "Arial", 10, 234, 150, main_controls,
    (int)(sizeof main_controls / sizeof main_controls[0])};

void Set_Tray(HWND w, int mode)
{
    WALK("Set_Tray");
    if (mode) {
        if (!pal_tray_icon(w, 1, "Velmora Server", WM_TRAY)) ErrorExit("Load Icon");
        pal_show_window(w, PAL_SW_HIDE);
    } else {
        pal_tray_icon(w, 0, "Velmora Server", WM_TRAY);
        pal_show_window(w, PAL_SW_SHOWNORMAL);
    }
}

/* Keeps the machine from sleeping while the dialog runs: away mode where the
** platform has it, else the plain system-required state. */
static void keep_awake(void)
{
    if (!xSetThreadExecutionState) return;
    if (!xSetThreadExecutionState(PAL_ES_CONTINUOUS | PAL_ES_SYSTEM_REQUIRED | PAL_ES_AWAYMODE_REQUIRED))
        xSetThreadExecutionState(PAL_ES_CONTINUOUS | PAL_ES_SYSTEM_REQUIRED);
    Debug("Keep awake: %s", pal_keep_awake_text());
}

void Show_Diag(const char *status) { pal_set_dlg_item_text(Win.load(), IDC_DIAG, status); }

int open_main(void)
{
    WALK("open_main");
    keep_awake();
    intptr_t code = pal_dialog_box(&Main_Dialog, Win.load(), get_main_p);
    if (code == -1) ErrorExit("Open Main Dialog");
    return (int)code;
}

/* ------------------------------------------- the server control's front */

/* The Start button names the next action. */
static void show_state(int active) { pal_set_dlg_item_text(Win.load(), IDC_START, active ? "Stop" : "Start"); }

static void end_main(int code) { pal_end_dialog(Win.load(), code); }

static const server_front dialog_front = {show_state, end_main};

/* Exit, from the button or from another front end. */
static void exit_main(int code)
{
    Debug("dialog exit");
    Server_Exit(code);
    Set_Tray(Win.load(), 0);
}

/* What WM_CONTROL asks for. */
enum { CTL_START, CTL_STOP, CTL_CONNECT, CTL_EXIT };

static intptr_t on_control(int action, int code)
{
    switch (action) {
    case CTL_START:
        return Server_Start();
    case CTL_STOP:
        return Server_Stop();
    case CTL_CONNECT:
        return Server_Connect();
    case CTL_EXIT:
        exit_main(code);
        return 1;
    }
    return 0;
}

/* The other front ends' calls, carried to the dialog's thread. */
static intptr_t send_control(int action, int code)
{
    return pal_send_message(pal_main_window(), WM_CONTROL, (WPARAM)action, (LPARAM)code);
}
static int control_start(void) { return (int)send_control(CTL_START, 0); }
static int control_stop(void) { return (int)send_control(CTL_STOP, 0); }
static int control_connect(void) { return (int)send_control(CTL_CONNECT, 0); }
static void control_exit(int code) { send_control(CTL_EXIT, code); }

static const pal_server_control front_control = {control_start, control_stop, control_connect, control_exit,
                                                 Server_Active};

void Connect_Dialog(void)
{
    Server_Set_Front(&dialog_front);
    pal_set_server_control(&front_control);
}

/* ------------------------------------------------------------ messages */

static intptr_t on_command(int id)
{
    Debug("Command %d", id);
    switch (id) {
    case IDC_START:
        if (!Server_Stop()) Server_Start();
        return 1;
    case IDC_OPTIONS:
        if (pal_dialog_box(&Options_Dialog, Win.load(), get_option_p) == -1) ErrorExit("Open Option Dialog");
        Debug("back from get_option_p");
        if (Save_Config) save_config();
        return 1;
    case IDC_CONNECT:
        Server_Connect();
        /* The sender gets 0 (not handled), unlike the other buttons: the
        ** press only starts the Connect job. */
        return 0;
    case IDC_EXIT:
        exit_main(0);
        return 1;
    }
    return 0;
}

intptr_t get_main_p(HWND hDlg, unsigned uMsg, WPARAM wParam, LPARAM lParam)
{
    WALK("get_main_p");
    Win = hDlg;
    switch (uMsg) {
    case PAL_WM_INITDIALOG: {
        char caption[64];
        sfmt(caption, sizeof caption, "Velmora Server for Roku %s", Version);
        pal_set_window_text(hDlg, caption);
        Set_Diag();
        if (OPT('s')) {
            Debug("Startup option S");
            Server_Start();
        }
        if (OPT('m')) {
            Debug("Startup option M");
            pal_show_window(hDlg, PAL_SW_SHOWNORMAL);
            pal_post_message(hDlg, PAL_WM_SYSCOMMAND, PAL_SC_MINIMIZE, 0);
        }
        return 1;
    }
    case PAL_WM_COMMAND:
        return on_command((int)(wParam & 0xFFFF));
    case WM_CONTROL:
        return on_control((int)wParam, (int)lParam);
    case PAL_WM_CLOSE:
        /* The close box, and the close signals: the configuration is
        ** saved, and the window goes at once, nested dialogs with it. */
        Debug("dialog wm_close");
        Server_Exit(0);
        pal_destroy_window(hDlg);
        return 1;
    case PAL_WM_DESTROY:
        Debug("dialog wm_destroy");
        pal_post_quit_message(0);
        return 1;
    case PAL_WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == PAL_SC_MINIMIZE) {
            Debug("Minimize");
            Set_Tray(Win.load(), 1);
            return 1;
        }
        /* A request to dim the monitor never reaches the system. */
        if ((wParam & 0xFFF0) == PAL_SC_MONITORPOWER) return 1;
        return 0;
    case WM_IMPORT: {
        int hi = (int)((wParam >> 16) & 0xFFFF), lo = (int)(wParam & 0xFFFF);
        Debug("WM_USER Hi %d Lo %d", hi, lo);
        if (lo) {
            Bld_Tables(lo);
            return 1;
        }
        return 0;
    }
    case WM_TRAY:
        if (lParam == PAL_WM_LBUTTONUP) {
            Debug("Restore");
            Set_Tray(Win.load(), 0);
            return 1;
        }
        return 0;
    }
    return 0;
}
