/*
** The server control: Start, Stop, Exit, Connect and the due library
** import as calls.  Every front end drives the server through them: the
** main dialog's buttons, the web panel and the headless front end (through
** the platform's pal_server_control, which the dialog registers), and the
** close signals (through the dialog's close).
**
** Threads: Server_Start, Server_Stop, Server_Connect and Server_Exit run on
** the main dialog's thread, which is also the thread of every library
** import.  Server_Import_Due runs on the accept loop's thread and hands the
** import to the dialog's thread.  The state (`Active`, `Connecting`) is
** this module's: it alone sets them, except that the server job clears
** `Active` when it cannot listen.
*/
#ifndef VELMORA_CONTROL_H
#define VELMORA_CONTROL_H

#include "global.h"

/* What the control needs from the front end that owns the main dialog. */
struct server_front {
    /* The server was started (1) or stopped (0): the Start button shows it.
    ** Called on any thread, one call at a time, with the newest state. */
    void (*state_changed)(int active);
    /* Runs the library import `code` on the dialog's thread and returns
    ** when it has run. */
    void (*run_import)(int code);
    /* Ends the main dialog's loop; the program then exits with code. */
    void (*end)(int code);
};

/* Registers the front end (null for none); start-up does it once. */
void Server_Set_Front(const server_front *f);

/* Fills the job table's server, discovery and launch entries and hands the
** accept loop its idle check.  Start-up calls it. */
void Server_Init(void);

/* Starts the server: a due library import runs first, on this thread, then
** the accept loop and discovery start.  Returns 1, or 0 (and does nothing)
** when the server already runs. */
int Server_Start(void);

/* Stops the server: the accept loop and discovery end on their own when
** they see it.  Returns 1, or 0 (and does nothing) when it was not running. */
int Server_Stop(void);

/* 1 while the server is started. */
int Server_Active(void);

/* Launches the channel on the players.  Returns 1, or 0 (and does
** nothing) while the last launch still runs. */
int Server_Connect(void);

/* Saves the configuration and ends the program with exit code `code`. */
void Server_Exit(int code);

/* The accept loop's idle check: when a library import is due, runs it on
** the dialog's thread and returns when it has run. */
void Server_Import_Due(void);

#endif
