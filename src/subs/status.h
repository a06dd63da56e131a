/*
** The status port: what the workers show the person at the machine (the
** status lines, the progress bar, message boxes), ask of them (a folder or
** file picked) and tell the front end (an import is due), without knowing
** which front end draws it or holding a window.
**
** Rule for readers: a front end registers its port with Status_Register
** once at start-up, before any worker thread starts; the port and every
** function it names stay valid until the process ends.  The calls below
** read the registered port atomically, so a later registration (a test
** that opens the main dialog again) is seen whole or not at all.  With no
** port registered, or a null member, a call does what a process without
** windows would: lines and progress go nowhere, a message box has no
** owner, the picker answers nothing, an import waits for the next time.
*/
#ifndef VELMORA_STATUS_H
#define VELMORA_STATUS_H

#include "global.h"

#include <cstddef>

/* The lines of the main window that workers write. */
enum status_line {
    STATUS_ACTIVITY,   /* what the server does now: connections, streams */
    STATUS_COUNTERS,   /* the file being sent, an import's counts */
    STATUS_SERVER,     /* the address served on */
    STATUS_DIAG        /* which logs are on */
};

struct status_port {
    void (*line)(status_line which, const char *text);
    void (*progress_range)(int lo, int hi);
    void (*progress_pos)(int pos);
    /* A system-modal box; returns the button pressed (1 = OK). */
    int (*message_box)(const char *text, const char *caption);
    /* Lets the user pick a folder (files 0) or a file as well (files 1);
    ** the path goes to out (size bytes), empty when nothing was chosen. */
    void (*pick_path)(const char *title, char *out, int files, size_t size);
    /* An import is due: runs it on the front end's thread and returns when
    ** it is done. */
    void (*import_due)(void);
};

void Status_Register(const status_port *port);

void Status_Line(status_line which, const char *text);
void Status_Progress_Range(int lo, int hi);
void Status_Progress(int pos);
int Status_Box(const char *text, const char *caption);
void Status_Pick_Path(const char *title, char *out, int files, size_t size);
void Status_Import_Due(void);

#endif
