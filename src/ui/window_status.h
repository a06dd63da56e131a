/*
** The main window as the workers' status port (subs/status.h).
*/
#ifndef VELMORA_WINDOW_STATUS_H
#define VELMORA_WINDOW_STATUS_H

/* Registers the main window as the status port; called once at start-up
** before any worker starts. */
void Register_Window_Status(void);

#endif
