/*
** The crash report that a fault signal writes to the trace.
*/
#ifndef VELMORA_CRASH_H
#define VELMORA_CRASH_H

#include "global.h"

/* Installs the crash report for the calling thread.  Every thread that can
** fault calls it first (New_Thread does so for the workers). */
void sig_setup(void);

/* The crash report for the signal numbered sig: the first signal writes the
** signal's name and the thread's call-trace stack to the trace (opened for
** it when it is off), shows an alert and ends the process with exit code 1;
** a later one ends the process at once with the signal number. */
void sig_handler(int sig);

#endif
