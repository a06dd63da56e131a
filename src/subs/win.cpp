/*
** Error reporting to the person at the machine, and the start-up glue that
** asks the platform for its version and its optional functions.
*/
#include "global.h"
#include "subs/win.h"

#include "subs/status.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

pal_GetProfilesDirectory_fn xGetProfilesDirectory = nullptr;
pal_SetThreadExecutionState_fn xSetThreadExecutionState = nullptr;

int Alert(const char *hdg, const char *txt, int err)
{
    Push("Alert");
    Debug("Alert %d %s - %s", err, hdg, txt);
    Status_Box(txt, hdg);
    if (err) {
        Close_Threads();
        pal_exit(1);
    }
    Pop();
    return 0;
}

void ErrorExit(const char *func)
{
    /* The error code first, before any other call can change it. */
    int err = pal_last_error();
    if (OPT('l')) Debug("ErrorExit");
    char sys[300], msg[401];
    pal_error_text(err, sys, sizeof sys);
    sfmt(msg, sizeof msg, "* %s *\n%s", func, sys);
    Debug("Alert %d %s - %s", 1, "Error", msg);
    Status_Box(msg, "Error");
    Close_Threads();
    pal_exit(1);
}

void Get_Version(void)
{
    WALK("Get_Version");
    if (!pal_get_version(&Win_Vers_Major, &Win_Vers_Minor, &Win_Platform)) ErrorExit("Failed Get Version");
}

/* The optional system functions; every Windows the program runs on (6
** and later) has each, so each must be there. */
static LD dlls[] = {
    {(void **)&xSetThreadExecutionState, "SetThreadExecutionState", "Kernel32.dll"},
    {(void **)&xGetProfilesDirectory, "GetProfilesDirectoryA", "Userenv.dll"},
    {nullptr, nullptr, nullptr},
};

void dll_loader(void)
{
    WALK("dll_loader");
    int failed = 0;
    char msg[300];
    for (LD *d = dlls; d->adrs; d++) {
        void *lib = pal_load_library(d->dll);
        if (!lib) {
            sfmt(msg, sizeof msg, "LoadLibrary failed %i for %s\n", pal_last_error(), d->dll);
            Alert("DLL Loader", msg, 0);
            failed = 1;
            continue;
        }
        *d->adrs = pal_get_proc_address(lib, d->ent);
        if (!*d->adrs) {
            sfmt(msg, sizeof msg, "GetProcAddress failed %i for %s\n", pal_last_error(), d->ent);
            Alert("DLL Loader", msg, 0);
            failed = 1;
        }
    }
    if (failed) ShutDown(1);
}
