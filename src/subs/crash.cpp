/*
** The crash report: a fault signal on any thread writes the signal's name and
** the thread's call-trace stack to the trace (opening it when it is off),
** tells the person at the machine and ends the process.
*/
#include "global.h"
#include "subs/crash.h"

#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"
#include "subs/win.h"

/* The names of the crash report, by the number the platform gives a signal. */
static const struct {
    int number;
    const char *name;
} signal_names[] = {
    {2, "Interrupt program"},
    {4, "Illegal instruction"},
    {8, "Floating-point exception"},
    {11, "Segmentation violation"},
    {15, "Software termination signal"},
    {22, "Abort"},
    {101, "Quit program"},
    {102, "Trace trap"},
    {103, "Emulate instruction executed"},
    {104, "Kill program"},
    {105, "Bus error"},
    {106, "Bad argument to system call"},
    {107, "Write to pipe with no reader"},
    {108, "Real-time timer expired"},
    {109, "Urgent condition on I/O channel"},
    {110, "Stop signal not from terminal"},
    {111, "Stop signal from terminal"},
    {112, "Stopped process is continued"},
    {113, "Rd on terminal by bg process"},
    {114, "Wrt to terminal by bg process"},
    {115, "I/O possible on a descriptor"},
    {116, "CPU time limit exceeded"},
    {117, "File-size limit exceeded"},
    {118, "Virtual timer expired"},
    {119, "Profiling timer expired"},
    {120, "Window size changed"},
    {121, "Information request"},
    {122, "User-defined signal 1"},
    {123, "User-defined signal 2"},
};

void sig_handler(int sig)
{
    /* Only the first signal writes a report; a later one (a fault inside the
    ** report, or one that arrives while its box is open) ends the process. */
    if (TERM.fetch_add(1) != 0) pal_exit(sig);
    char unknown[40];
    const char *name = nullptr;
    for (const auto &s : signal_names)
        if (s.number == sig) name = s.name;
    if (!name) {
        sfmt(unknown, sizeof unknown, "Signal %d Unknown", sig);
        name = unknown;
    }
    Crash_Trace();
    Debug("\n*\nSignal %ld - %s", (long)pal_thread_id(), name);
    Debug("Walkback %d", GetMyID());
    int depth;
    const char *const *stack = My_Walkback(&depth);
    for (int i = 0; i < depth; i++) Debug("%2d - %s", i, stack[i] ? stack[i] : "?");
    Debug("\n*\n");
    Alert("Signal Error", name, 1);
    pal_exit(1);
}

void sig_setup(void) { pal_signal_setup(sig_handler); }
