/*
** Windows faults and close events.  A fault (access violation, stack
** overflow, illegal instruction, division by zero) reaches the crash report
** through the structured-exception filter, an abort through SIGABRT.  The
** console's close events (Ctrl-C, Ctrl-Break, the window's close, log-off,
** shut-down) ask the main window to close, whose close is the server
** control's Exit: the configuration is saved and the exit code is 0.
*/
#include "pal/pal.h"
#include "pal/common/pal_common.h"
#include "pal/win32/win32_internal.h"

#include <atomic>
#include <csignal>

/* Room kept on each thread's stack for the report of a stack overflow: it
** formats trace lines of up to 10000 bytes. */
static const ULONG OVERFLOW_RESERVE = 64 * 1024;
/* How long a close event waits for the save before the system ends us. */
static const DWORD CLOSE_WAIT_MS = 10000;

static std::atomic<void (*)(int)> crash_handler{nullptr};

/* The crash report's number for a structured exception. */
static int exception_number(DWORD code)
{
    switch (code) {
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
        return SIGILL;
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_UNDERFLOW:
        return SIGFPE;
    default:
        return SIGSEGV;
    }
}

static LONG WINAPI on_exception(EXCEPTION_POINTERS *ep)
{
    void (*handler)(int) = crash_handler.load();
    if (handler) handler(exception_number(ep->ExceptionRecord->ExceptionCode));
    return EXCEPTION_EXECUTE_HANDLER;    /* the process ends here */
}

static void on_abort(int sig)
{
    void (*handler)(int) = crash_handler.load();
    if (handler) handler(pal_signal_number(sig));
    signal(sig, SIG_DFL);
    raise(sig);
}

/* The C runtime's signal numbers are the ones the report names. */
int pal_signal_number(int sig) { return sig; }

void pal_signal_setup(void (*handler)(int))
{
    crash_handler = handler;
    ULONG reserve = OVERFLOW_RESERVE;
    SetThreadStackGuarantee(&reserve);
    SetUnhandledExceptionFilter(on_exception);
    signal(SIGABRT, on_abort);
}

static BOOL WINAPI on_console_event(DWORD event)
{
    pal_close_request();
    /* After the window's close, log-off or shut-down the system ends the
    ** process when this returns; the close ends it first. */
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(CLOSE_WAIT_MS);
    return TRUE;
}

void pal_signals_init(void)
{
    SetConsoleCtrlHandler(on_console_event, TRUE);
}
