/*
** The server control.  Start and Stop flip `Active` and start the server's
** jobs; the accept loop and discovery read `Active` and end by themselves.
** The front end learns of every change of state, from whichever thread made
** it, so the Start button follows the server and not the other way round.
*/
#include "global.h"
#include "control/control.h"

#include <mutex>

#include "config/config.h"
#include "discovery/launch.h"
#include "discovery/ssdp.h"
#include "http/server.h"
#include "library/itunes.h"
#include "subs/threads.h"
#include "subs/trace.h"

std::atomic<int> Active{0};
std::atomic<int> Connecting{0};

static std::atomic<const server_front *> front{nullptr};

/* Held while the state is changed and shown, so the last state shown is
** the state the server is in. */
static std::mutex state_lock;

void Server_Set_Front(const server_front *f) { front = f; }

/* Shows the state; state_lock held. */
static void show_state(void)
{
    const server_front *f = front.load();
    if (f && f->state_changed) f->state_changed(Active.load());
}

/* The accept loop.  It clears Active itself when it cannot listen; the
** state is shown again when it ends, whatever ended it. */
static int server_job(int)
{
    int rc = server();
    std::lock_guard<std::mutex> g(state_lock);
    show_state();
    return rc;
}

static int upnp_job(int) { return UPNP_Init(); }

/* The launch job clears Connecting when it ends, so Connect works again. */
static int connect_job(int)
{
    int rc = Roku_Connect();
    Connecting = 0;
    return rc;
}

void Server_Init(void)
{
    Jobs[JOB_SERVER] = server_job;
    Jobs[JOB_UPNP] = upnp_job;
    Jobs[JOB_CONNECT] = connect_job;
}

int Server_Start(void)
{
    {
        std::lock_guard<std::mutex> g(state_lock);
        if (Active) return 0;
        Debug("User Started Server");
        Active = 1;
        show_state();
    }
    int code = Chk_iTunes_iPhoto();
    if (code) Bld_Tables(code);
    myfork(JOB_SERVER, 0);
    myfork(JOB_UPNP, 0);
    return 1;
}

int Server_Stop(void)
{
    std::lock_guard<std::mutex> g(state_lock);
    if (!Active) return 0;
    Debug("User Stoped Server");
    Active = 0;
    show_state();
    return 1;
}

int Server_Active(void) { return Active.load(); }

int Server_Connect(void)
{
    Debug("Option connect - %d", Connecting.load());
    if (Connecting.exchange(1)) return 0;
    if (!myfork(JOB_CONNECT, 0)) Connecting = 0;
    return 1;
}

void Server_Exit(int code)
{
    save_config();
    const server_front *f = front.load();
    if (f && f->end) f->end(code);
}
