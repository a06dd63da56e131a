/*
** Start-up and shutdown of the process, the crash report and the start-up
** option letters.
*/
#ifndef VELMORA_MAIN_H
#define VELMORA_MAIN_H

#include "global.h"

/* Runs start-up, then the main dialog; returns the exit code the dialog
** ended with (0 unless Server_Exit said otherwise). */
int WinMain(void *hInstance, void *hPrevInstance, const char *lpCmdLine, int nCmdShow);

/* Fills the job table with the entry points of the modules that own the
** jobs and hands the utilities and the front ends the application's hooks
** (the status line of the logs, the server control).  WinMain calls it first; so does anything that runs the
** server without WinMain. */
void Connect_Modules(void);

/* Starts Windows Sockets 2.2; ends the program when it cannot. */
void startup_WSA(void);

/* Splits a command line into Args[1..] at single blanks (Args[0] is the
** product name); returns the number of entries. */
int Split_Args(const char *line);

/* Sets the option bit of every letter in text; with dash_only set only the
** letters of words that begin with "-" count. */
void Set_Options(const char *text, int dash_only);

/* The set letters among A to Y, upper-case, in alphabetical order. */
void Option_Text(char *out, size_t size);

/* The user name with its first letter upper-cased; the computer name
** lower-cased after its first letter and cut at the first ".", then its
** first letter upper-cased. */
void Cap_User(char *name);
void Cap_Mach(char *name);

#endif
