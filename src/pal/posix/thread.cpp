/*
** POSIX threads and clocks.  Threads are created detached: nothing ever
** waits for a worker, and a finished worker must not hold its stack until
** its slot is used again.
*/
#include "pal/pal.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <new>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

/* Windows commits the requested stack and reserves 1 MiB; reserve the same. */
static const size_t STACK_RESERVE = 1024 * 1024;

struct start_block {
    int (*entry)(int);
    int arg;
    pal_tid *id;
};

static void *trampoline(void *p)
{
    start_block b = *(start_block *)p;
    delete (start_block *)p;
    /* The identifier is stored before the job runs, so the thread can find
    ** its own slot from its first statement on. */
    if (b.id) __atomic_store_n(b.id, pal_thread_id(), __ATOMIC_RELEASE);
    intptr_t rc = b.entry(b.arg);
    return (void *)rc;
}

pal_thread pal_thread_create(size_t stack, int (*entry)(int), int arg, pal_tid *id)
{
    start_block *b = new (std::nothrow) start_block{entry, arg, id};
    if (!b) {
        errno = ENOMEM;
        return nullptr;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, stack > STACK_RESERVE ? stack : STACK_RESERVE);
    pthread_t t;
    int rc = pthread_create(&t, &attr, trampoline, b);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete b;
        errno = rc;
        return nullptr;
    }
    return (pal_thread)(uintptr_t)t;
}

pal_thread pal_thread_self(void) { return (pal_thread)(uintptr_t)pthread_self(); }

/* The thread is detached: its handle owns nothing. */
void pal_thread_close(pal_thread) {}

pal_tid pal_thread_id(void)
{
    static thread_local pal_tid me = 0;
    if (!me) me = (pal_tid)syscall(SYS_gettid);
    return me;
}

void pal_sleep(unsigned ms)
{
    struct timespec ts = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

uint32_t pal_ticks(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32_t)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

time_t pal_time(void) { return time(nullptr); }

void pal_localtime(time_t t, struct tm *out) { localtime_r(&t, out); }
