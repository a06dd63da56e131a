/*
** POSIX signals.  A player that hangs up must never end the process, so
** SIGPIPE is ignored.  SIGTERM, SIGINT and SIGHUP ask the main window to
** close (as Windows does at log-off), whose close is the server control's
** Exit: the configuration is saved and the exit code is 0; a thread of their own waits for them, so the close runs as
** ordinary code and not inside a signal handler.  Faults and the other
** signals that would end the process go to the crash report.
*/
#include "pal/pal.h"
#include "pal/common/pal_common.h"
#include "pal/posix/posix_internal.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

/* Platform signal and the number the crash report names it by. */
static const struct {
    int sig;
    int number;
} signal_numbers[] = {
    {SIGINT, 2},     {SIGILL, 4},      {SIGFPE, 8},     {SIGSEGV, 11},   {SIGTERM, 15},
    {SIGABRT, 22},   {SIGQUIT, 101},   {SIGTRAP, 102},  {SIGKILL, 104},  {SIGBUS, 105},
    {SIGSYS, 106},   {SIGPIPE, 107},   {SIGALRM, 108},  {SIGURG, 109},   {SIGSTOP, 110},
    {SIGTSTP, 111},  {SIGCONT, 112},   {SIGTTIN, 113},  {SIGTTOU, 114},  {SIGIO, 115},
    {SIGXCPU, 116},  {SIGXFSZ, 117},   {SIGVTALRM, 118}, {SIGPROF, 119}, {SIGWINCH, 120},
    {SIGUSR1, 122},  {SIGUSR2, 123},
};

/* Signals whose default action ends the process and that the crash report
** therefore serves. */
static const int reported[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGQUIT, SIGTRAP,
                               SIGSYS,  SIGALRM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF,
                               SIGUSR1, SIGUSR2};

int pal_signal_number(int sig)
{
    for (const auto &m : signal_numbers)
        if (m.sig == sig) return m.number;
    return 200 + sig;
}

/* Every thread installs the same handler; the store is atomic so that the
** threads never race on it. */
static std::atomic<void (*)(int)> crash_handler{nullptr};

static void on_signal(int sig)
{
    void (*handler)(int) = crash_handler.load();
    if (handler) handler(pal_signal_number(sig));
    /* A handler that returns from a fault would fault again: end here. */
    signal(sig, SIG_DFL);
    raise(sig);
}

/* The alternate stack of one thread: the report of a thread whose own stack
** overflowed runs here.  It is given up when the thread ends. */
struct alt_stack {
    void *mem = nullptr;
    ~alt_stack()
    {
        if (!mem) return;
        stack_t off;
        memset(&off, 0, sizeof off);
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        free(mem);
    }
};
static thread_local alt_stack my_alt_stack;

/* Room for the report: it formats trace lines of up to 10000 bytes. */
static const size_t ALT_STACK_SIZE = 128 * 1024;

/* Gives the calling thread its alternate stack, once. */
static void install_alt_stack(void)
{
    if (my_alt_stack.mem) return;
    void *mem = malloc(ALT_STACK_SIZE);
    if (!mem) return;
    stack_t st;
    memset(&st, 0, sizeof st);
    st.ss_sp = mem;
    st.ss_size = ALT_STACK_SIZE;
    if (sigaltstack(&st, nullptr) != 0) {
        free(mem);
        return;
    }
    my_alt_stack.mem = mem;
}

void pal_signal_setup(void (*handler)(int))
{
    crash_handler = handler;
    install_alt_stack();
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    /* SA_NODEFER: a fault inside the report ends the process at once.
    ** SA_ONSTACK: the report runs on the thread's alternate stack, so a
    ** stack overflow is reported too. */
    sa.sa_flags = SA_NODEFER | SA_ONSTACK;
    for (int sig : reported) sigaction(sig, &sa, nullptr);
}

static sigset_t close_signals(void)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

static void *close_watch(void *)
{
    sigset_t set = close_signals();
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) == 0) pal_close_request();
    }
    return nullptr;
}

void pal_signals_init(void)
{
    signal(SIGPIPE, SIG_IGN);
    /* Blocked here, before any other thread exists, so every thread inherits
    ** the mask and only the watcher receives them. */
    sigset_t set = close_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_create(&t, &attr, close_watch, nullptr);
    pthread_attr_destroy(&attr);
}
