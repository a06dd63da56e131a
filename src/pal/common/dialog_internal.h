/*
** What the dialog manager shows its front ends beyond pal.h: a copy of every
** live dialog's state with a change counter to wait on, and the message
** boxes and pickers that wait for a front end's answer.
*/
#ifndef VELMORA_DIALOG_INTERNAL_H
#define VELMORA_DIALOG_INTERNAL_H

#include "pal/pal.h"

#include <string>
#include <vector>

struct pal_control_view {
    const pal_control *tmpl;
    std::string text;
    int check, selected, lo, hi, pos;
    std::vector<std::string> items;
};

struct pal_window_view {
    const pal_dialog_template *t;
    std::string caption;
    bool shown, in_tray;
    std::vector<pal_control_view> controls;
};

enum { PAL_PROMPT_BOX, PAL_PROMPT_PICK };
struct pal_prompt_view {
    int seq;                 /* the number to answer it by */
    int kind;                /* PAL_PROMPT_BOX or PAL_PROMPT_PICK */
    std::string text;        /* the box's text, or the picker's title */
    std::string caption;
    int files;               /* a picker that offers files too */
};

/* Copies the live dialogs (oldest first) and the prompts waiting (oldest
** first); returns the change counter the copy belongs to. */
unsigned long pal_dialog_snapshot(std::vector<pal_window_view> &windows,
                                  std::vector<pal_prompt_view> &prompts);

/* Waits until the change counter differs from seen, at most ms
** milliseconds; returns the counter. */
unsigned long pal_dialog_wait_change(unsigned long seen, int ms);

/* Shows a prompt through the front ends and waits for its answer; on a
** dialog's thread the dialogs keep answering meanwhile.  A box answers its
** button; a picker answers 1 with the path in out, or 0. */
int pal_prompt_wait(int kind, const char *text, const char *caption, int files, char *out, int size);

/* Answers the prompt seq: a box with button, a picker with path (null or
** empty for none).  Returns 0, or -1 when no such prompt waits. */
int pal_prompt_answer(int seq, int button, const char *path);

/* Answers every waiting prompt with OK or no choice (when no one is left to
** see them). */
void pal_prompt_answer_all(void);

#endif
