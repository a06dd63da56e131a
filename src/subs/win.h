/*
** Error reporting to the person at the machine, and the platform glue of
** start-up: the version query and the optional-function loader.
*/
#ifndef VELMORA_WIN_H
#define VELMORA_WIN_H

#include "global.h"

/* Shows a system-modal box with txt under the caption hdg (and traces it);
** with err non-zero the program then ends with exit code 1.  Returns 0. */
int Alert(const char *hdg, const char *txt, int err);

/* Shows "* func *" with the platform's text for the last error and ends the
** program with exit code 1. */
[[noreturn]] void ErrorExit(const char *func);

/* Fills Win_Vers_Major, Win_Vers_Minor and Win_Platform. */
void Get_Version(void);

/* Resolves the table of optional system functions; a failure ends start-up
** with exit code 1 after the last record. */
void dll_loader(void);

/* The optional functions resolved by dll_loader (null when absent). */
extern pal_GetProfilesDirectory_fn xGetProfilesDirectory;
extern pal_SetThreadExecutionState_fn xSetThreadExecutionState;

#endif
