/*
** Windows threads and clocks: CreateThread with the stack committed as
** asked, tick count, calendar time.
*/
#include "pal/pal.h"
#include "pal/win32/win32_internal.h"

#include <new>

struct start_block {
    int (*entry)(int);
    int arg;
    pal_tid *id;
};

static DWORD WINAPI trampoline(LPVOID p)
{
    start_block b = *(start_block *)p;
    delete (start_block *)p;
    /* The identifier is stored before the job runs, so the thread can find
    ** its own slot from its first statement on. */
    if (b.id) __atomic_store_n(b.id, pal_thread_id(), __ATOMIC_RELEASE);
    return (DWORD)b.entry(b.arg);
}

pal_thread pal_thread_create(size_t stack, int (*entry)(int), int arg, pal_tid *id)
{
    start_block *b = new (std::nothrow) start_block{entry, arg, id};
    if (!b) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE h = CreateThread(nullptr, stack, trampoline, b, 0, nullptr);
    if (!h) {
        DWORD err = GetLastError();
        delete b;
        SetLastError(err);
    }
    return (pal_thread)h;
}

/* A pseudo handle that stands for the calling thread wherever it is used. */
pal_thread pal_thread_self(void) { return (pal_thread)GetCurrentThread(); }

void pal_thread_close(pal_thread h)
{
    if (h && h != GetCurrentThread()) CloseHandle((HANDLE)h);
}

pal_tid pal_thread_id(void) { return (pal_tid)GetCurrentThreadId(); }

void pal_sleep(unsigned ms) { Sleep(ms); }

uint32_t pal_ticks(void) { return (uint32_t)GetTickCount(); }

time_t pal_time(void) { return time(nullptr); }

void pal_localtime(time_t t, struct tm *out) { localtime_s(out, &t); }
