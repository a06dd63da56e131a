/*
** The server control: Start, Stop, Exit and Connect as calls.  Every front
** end drives the server through them: the main dialog's buttons, the web
** panel and the headless front end (through the platform's
** pal_server_control, which the dialog registers), and the close signals
** (through the dialog's close).
**
** Threads: the calls run on the main dialog's thread, which is also the
** thread of every library import (Start's, and the one the accept loop
** asks the dialog for when its idle check finds one due).  The state
** (`Active`, `Connecting`) is this module's: it alone sets them, except
** that the accept loop clears `Active` when it cannot listen.
*/
#ifndef VELMORA_CONTROL_H
#define VELMORA_CONTROL_H

#include "global.h"

/* What the control needs from the front end that owns the main dialog. */
struct server_front {
    /* The server was started (1) or stopped (0): the Start button shows it.
    ** Called on any thread, one call at a time, with the newest state. */
    void (*state_changed)(int active);
    /* Ends the main dialog's loop; the program then exits with code. */
    void (*end)(int code);
};

/* Registers the front end (null for none); start-up does it once. */
void Server_Set_Front(const server_front *f);

/* Fills the job table's server, discovery and launch entries.  Start-up
** calls it. */
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

#endif
