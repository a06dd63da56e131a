/*
** The options dialog: every setting of Velmora.ini, the title links and the
** private folders, edited while the server runs.
*/
#ifndef VELMORA_OPTIONS_H
#define VELMORA_OPTIONS_H

#include "global.h"
#include "config/config.h"

#include <cstddef>

/* Control ids of the options dialog; those of the settings are in
** config/config.h with the settings. */
enum {
    IDC_UPDATE = 240,
    IDC_SS_BROWSE = 215,
    IDC_TITLE = 220, IDC_TITLE_ADD = 221, IDC_TITLE_DELETE = 222, IDC_TITLE_BROWSE = 223,
    IDC_TITLE_PATH = 224,
    IDC_PIN_FOLDER = 230, IDC_PIN_BROWSE = 231, IDC_PIN = 232, IDC_PIN_ADD = 233, IDC_PIN_DELETE = 234
};

/* What the title and folder fields show while they hold no value. */
#define TITLE_PROMPT  "Enter Title Name "
#define FOLDER_PROMPT "Select Folder "

/* The options dialog's template. */
extern const pal_dialog_template Options_Dialog;

/* The options dialog's procedure: 1 for a handled message, else 0. */
intptr_t get_option_p(HWND hDlg, unsigned uMsg, WPARAM wParam, LPARAM lParam);

/* Lets the user pick a folder (files 0) or a file as well (files 1) under
** the title text; the full path goes to out (size bytes), a folder with a
** backslash appended; out is left empty when nothing was chosen.  Returns 0. */
int Get_Path(HWND hwnd, const char *text, char *out, int files, size_t size);

/* Reorders links to the order of the combo's (sorted) title list.  Returns 0. */
int Sort_Links(HWND dlg, int combo);

#endif
