/*
** The thread table and the per-thread call-trace stacks.  Every worker runs
** in one of MAX_THREADS slots, started by myfork and entered through
** New_Thread; every operation pushes its name on its thread's stack so the
** crash report can say what was running.
*/
#ifndef VELMORA_THREADS_H
#define VELMORA_THREADS_H

#include "global.h"

/* Job codes of the thread table. */
/* JOB_STATUS runs one action asked for from the panel's status view;
** JOB_TRACKS writes a music import's track files. */
enum {
    JOB_SERVER = 0, JOB_CLIENT = 1, JOB_TRANSCODE = 2, JOB_UPNP = 3, JOB_CONNECT = 4, JOB_STATUS = 5,
    JOB_TRACKS = 6, JOB_COUNT = 7
};

/* The operation each job code runs; New_Thread dispatches through it.  The
** modules that own the jobs fill it at start-up, one line each (see
** Connect_Modules in main.cpp); a code left empty ends its thread with -1. */
typedef int (*Job_Func)(int param);
extern Job_Func Jobs[JOB_COUNT];

extern MyData DataArray[MAX_THREADS];
extern std::atomic<pal_thread> hThreadArray[MAX_THREADS];
extern std::atomic<pal_tid> dwThreadIdArray[MAX_THREADS];

/* Starts job Func with Param in the first free slot.  Returns 1, or 0 when
** the table is full or the system refuses the thread: the job is then not
** run (the caller still owns Param) and the program goes on. */
int myfork(int Func, int Param);

/* The slots in use. */
int Threads_In_Use(void);

/* The thread entry: runs the slot's job and frees the slot.  Returns the
** job's result. */
int New_Thread(int slot);

/* The calling thread's slot, 0..MAX_THREADS-1, or -1 (the main thread). */
int GetMyID(void);

/* Push a name (a string that lives as long as the program) on the calling
** thread's call-trace stack; Pop removes the top name.  A stack full at
** MAX_WALKBACK names keeps counting but stores no further names. */
void Push(const char *name);
void Pop(void);

/* The calling thread's stack and its depth (for the crash report). */
const char *const *My_Walkback(int *depth);

/* Closes the handles of the active slots without waiting.  Returns 0. */
int Close_Threads(void);

/* Closes the workers' handles and ends the process with status. */
[[noreturn]] void ShutDown(int status);

/* Pushes an operation's name for the lifetime of the scope and pops it on
** every return; with option letter l it also traces the name. */
struct Walk {
    explicit Walk(const char *name);
    ~Walk();
    Walk(const Walk &) = delete;
    Walk &operator=(const Walk &) = delete;
};

/* Declares the call-trace entry of the enclosing operation. */
#define WALK(name) Walk walk_guard_(name)

#endif
