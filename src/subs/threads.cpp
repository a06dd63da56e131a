/*
** The thread table: every worker of the server runs in one of its slots, and
** beside each slot lies the thread's call-trace stack.  Threads that the
** table does not hold (the main thread) share one extra stack.
*/
#include "global.h"
#include "subs/threads.h"

#include "subs/crash.h"
#include "subs/trace.h"
#include "subs/win.h"

MyData DataArray[MAX_THREADS];
std::atomic<pal_thread> hThreadArray[MAX_THREADS];
std::atomic<pal_tid> dwThreadIdArray[MAX_THREADS];

/* The stack of the threads the table does not hold. */
static const char *Walkback[MAX_WALKBACK];
static int WalkbackIDX = 0;

/* Empty until the owners of the jobs fill it (Connect_Modules in main). */
Job_Func Jobs[JOB_COUNT];

/* The initial stack a worker asks for; the platform reserves more (see
** pal_thread_create), so deep recursion still has room. */
static const size_t THREAD_STACK = 110000;

/* The slots in use, kept beside the table so no one counts it. */
static std::atomic<int> in_use{0};

int Threads_In_Use(void) { return in_use.load(); }

int myfork(int Func, int Param)
{
    for (int slot = 0; slot < MAX_THREADS; slot++) {
        int free_slot = 0;
        if (!DataArray[slot].active.compare_exchange_strong(free_slot, 1)) continue;
        in_use++;
        Debug("Create thread %i", slot);
        MyData &d = DataArray[slot];
        d.ActID = slot;
        d.Func = Func;
        d.Param = Param;
        d.WalkbackIDX = 0;
        /* The new thread records its own handle and identifier: it may end
        ** and free the slot for another job before this call returns. */
        if (!pal_thread_create(THREAD_STACK, New_Thread, slot, nullptr)) {
            /* Out of threads or memory for now: this job is refused, the
            ** ones running go on. */
            Debug("CreateThread failed for job %i", Func);
            in_use--;
            d.active.store(0);
            return 0;
        }
        return 1;
    }
    Debug("Thread table full - job %i refused", Func);
    return 0;
}

/* A thread's slot is entered and cleared by the thread itself (in
** New_Thread), so each thread can keep its own answer and the call-trace
** guard of every operation need not search the table.  A thread without a
** slot answers -1. */
static thread_local int my_slot = -1;

int New_Thread(int slot)
{
    MyData &d = DataArray[slot];
    /* The creating thread handed us the slot; remember whose it is before
    ** anything looks the thread up. */
    hThreadArray[slot].store(pal_thread_self());
    dwThreadIdArray[slot].store(pal_thread_id());
    my_slot = slot;
    Push("New_Thread");
    Debug("Thread %i active", d.ActID);
    sig_setup();
    int rc;
    if (d.Func >= 0 && d.Func < JOB_COUNT && Jobs[d.Func]) {
        rc = Jobs[d.Func](d.Param);
    } else {
        Debug("Invalid fork address");
        rc = -1;
    }
    Debug("Thread %i exit st = %i", d.ActID, rc);
    /* The system hands a finished thread's identifier to later threads, so it
    ** leaves the table with the thread; otherwise a newcomer with the same
    ** identifier would find this slot first. */
    dwThreadIdArray[slot].store(0);
    my_slot = -1;
    in_use--;
    d.active.store(0);
    return rc;
}

int GetMyID(void) { return my_slot; }

/* The calling thread's stack: its slot's, or the extra one. */
static void my_stack(const char ***names, int **depth)
{
    int id = GetMyID();
    if (id < 0) {
        *names = Walkback;
        *depth = &WalkbackIDX;
    } else {
        *names = DataArray[id].Walkback;
        *depth = &DataArray[id].WalkbackIDX;
    }
}

void Push(const char *name)
{
    const char **names;
    int *depth;
    my_stack(&names, &depth);
    if (*depth >= 0 && *depth < MAX_WALKBACK) names[*depth] = name;
    (*depth)++;
}

void Pop(void)
{
    const char **names;
    int *depth;
    my_stack(&names, &depth);
    if (*depth > 0) (*depth)--;
}

const char *const *My_Walkback(int *depth)
{
    const char **names;
    int *d;
    my_stack(&names, &d);
    *depth = *d < MAX_WALKBACK ? *d : MAX_WALKBACK;
    return names;
}

void ShutDown(int status)
{
    Close_Threads();
    pal_exit(status);
}

int Close_Threads(void)
{
    for (int i = 0; i < MAX_THREADS; i++)
        if (DataArray[i].active.load() && hThreadArray[i].load()) pal_thread_close(hThreadArray[i].load());
    return 0;
}

Walk::Walk(const char *name)
{
    Push(name);
    if (OPT('l')) Debug("%s", name);
}

Walk::~Walk() { Pop(); }
