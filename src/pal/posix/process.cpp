/*
** POSIX process services: start-up of the process, identity, environment,
** the command line, error codes and texts, the optional-function table and
** the keep-awake request.
*/
#include "pal/common/pal_common.h"
#include "pal/pal.h"
#include "pal/posix/posix_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>


/* Opens /dev/null on any of the standard descriptors that is closed, so the
** first socket never gets number 0 (which the server reads as "none"). */
static void hold_std_descriptors(void)
{
    for (int fd = 0; fd < 3; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            int n = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (n >= 0 && n != fd) {
                dup2(n, fd);
                close(n);
            }
        }
    }
}

void pal_init(int argc, char **argv)
{
    hold_std_descriptors();
    pal_keep_command_line(argc, argv);
    pal_signals_init();
}

void pal_exit(int code)
{
    fflush(nullptr);
    _exit(code);
}

int pal_process_id(void) { return (int)getpid(); }

int pal_get_version(int *major, int *minor, int *platform)
{
    *major = 6;
    *minor = 2;
    *platform = 2;
    return 1;
}

/* The login name of the account running the process. */
int pal_get_user_name(char *buf, unsigned long *size)
{
    if (!buf || !size || *size == 0) return 0;
    const char *name = nullptr;
    struct passwd pw, *res = nullptr;
    char tmp[4096];
    if (getpwuid_r(getuid(), &pw, tmp, sizeof tmp, &res) == 0 && res) name = res->pw_name;
    if (!name) name = getenv("USER");
    if (!name || !*name) {
        errno = ENOENT;
        return 0;
    }
    size_t n = strlen(name);
    if (n + 1 > *size) {
        errno = ENAMETOOLONG;
        return 0;
    }
    memcpy(buf, name, n + 1);
    *size = (unsigned long)n;
    return 1;
}

int pal_get_computer_name(char *buf, unsigned long *size)
{
    if (!buf || !size || *size == 0) return 0;
    char host[256];
    if (gethostname(host, sizeof host) != 0) return 0;
    host[sizeof host - 1] = 0;
    size_t n = strlen(host);
    if (n + 1 > *size) {
        errno = ENAMETOOLONG;
        return 0;
    }
    memcpy(buf, host, n + 1);
    *size = (unsigned long)n;
    return 1;
}

/* The user's home: $HOME, or the account's home folder when HOME is unset. */
static std::string home_folder(void)
{
    const char *h = getenv("HOME");
    if (h && *h) return h;
    struct passwd pw, *res = nullptr;
    char tmp[4096];
    if (getpwuid_r(getuid(), &pw, tmp, sizeof tmp, &res) == 0 && res && res->pw_dir) return res->pw_dir;
    return "/";
}

/* Splits the home folder into the profiles folder (all but the last
** component) and the profile name (the last component), without trailing
** slashes. */
static void split_home(std::string &parent, std::string &name)
{
    std::string h = home_folder();
    while (h.size() > 1 && h.back() == '/') h.pop_back();
    size_t cut = h.rfind('/');
    if (cut == std::string::npos) {
        parent = ".";
        name = h;
    } else {
        parent = h.substr(0, cut);
        name = h.substr(cut + 1);
    }
}

/* GetProfilesDirectoryA: the folder that holds the user's home. */
static int get_profiles_directory(char *buf, unsigned long *size)
{
    std::string parent, name;
    split_home(parent, name);
    if (!size) return 0;
    if (!buf || parent.size() + 1 > *size) {
        *size = (unsigned long)parent.size() + 1;
        errno = ENOBUFS;
        return 0;
    }
    memcpy(buf, parent.c_str(), parent.size() + 1);
    *size = (unsigned long)parent.size() + 1;
    return 1;
}

int pal_get_profile_name(char *buf, unsigned long size)
{
    std::string parent, name;
    split_home(parent, name);
    if (!buf || name.size() + 1 > size) return 0;
    memcpy(buf, name.c_str(), name.size() + 1);
    return 1;
}

unsigned long pal_getenv(const char *name, char *buf, unsigned long size)
{
    const char *v = getenv(name);
    if (!v) return 0;
    size_t n = strlen(v);
    if (buf && size > 0) {
        size_t k = n < size - 1 ? n : size - 1;
        memcpy(buf, v, k);
        buf[k] = 0;
    }
    return (unsigned long)n;
}

int pal_last_error(void) { return errno; }
void pal_set_last_error(int err) { errno = err; }

char *pal_error_text(int err, char *buf, size_t size)
{
    if (!buf || size == 0) return buf;
    int e = err >= PAL_WSABASEERR ? pal_errno_from_wsa(err) : err;
    const char *txt;
    if (err >= PAL_WSAHOST_NOT_FOUND && err <= PAL_WSANO_DATA)
        txt = "The requested name is valid, but no data of the requested type was found.";
    else if (e == 0)
        txt = "The operation completed successfully.";
    else
        txt = strerror(e);    /* glibc returns a static table entry */
    snprintf(buf, size, "%s", txt);
    return buf;
}

/* ------------------------------------------------- optional functions */

/* Keep-awake: a logind sleep inhibitor held by a child process for as long as
** Velmora runs (the child dies with us).  Where no logind is reachable the
** request is refused, as Windows refuses an execution state it cannot give. */
static pid_t inhibitor = 0;
static char awake_text[160] = "not requested";
static unsigned long exec_state = 0;

static int logind_reachable(void)
{
    struct stat st;
    return stat("/run/systemd/seats", &st) == 0 &&
           stat("/run/dbus/system_bus_socket", &st) == 0 &&
           (access("/usr/bin/systemd-inhibit", X_OK) == 0 || access("/bin/systemd-inhibit", X_OK) == 0);
}

static unsigned long set_thread_execution_state(unsigned long flags)
{
    unsigned long prev = exec_state ? exec_state : PAL_ES_CONTINUOUS;
    if (!(flags & PAL_ES_SYSTEM_REQUIRED)) return prev;
    if (inhibitor > 0) return prev;
    if (!logind_reachable()) {
        snprintf(awake_text, sizeof awake_text, "no logind sleep inhibitor available");
        return 0;
    }
    pid_t pid = fork();
    if (pid < 0) {
        snprintf(awake_text, sizeof awake_text, "fork failed: %s", strerror(errno));
        return 0;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execlp("systemd-inhibit", "systemd-inhibit", "--what=sleep:idle", "--who=Velmora",
               "--why=Serving media to Roku players", "--mode=block", "sleep", "infinity", (char *)nullptr);
        _exit(127);
    }
    /* A refused inhibitor makes the child end at once; give it a moment. */
    for (int i = 0; i < 20; i++) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            snprintf(awake_text, sizeof awake_text, "logind refused the sleep inhibitor");
            return 0;
        }
        usleep(10000);
    }
    inhibitor = pid;
    exec_state = flags;
    snprintf(awake_text, sizeof awake_text, "logind sleep inhibitor held by pid %d", (int)pid);
    return prev;
}

const char *pal_keep_awake_text(void) { return awake_text; }

struct proc_entry {
    const char *dll;
    const char *name;
    void *fn;
};
static const proc_entry optional_functions[] = {
    {"kernel32.dll", "SetThreadExecutionState", (void *)set_thread_execution_state},
    {"userenv.dll", "GetProfilesDirectoryA", (void *)get_profiles_directory},
};

/* Library names compare without regard to case, as Windows compares them. */
static int same_name(const char *a, const char *b) { return strcasecmp(a, b) == 0; }

void *pal_load_library(const char *dll)
{
    for (const proc_entry &e : optional_functions)
        if (same_name(e.dll, dll)) return (void *)e.dll;
    errno = ENOENT;
    return nullptr;
}

void *pal_get_proc_address(void *lib, const char *name)
{
    for (const proc_entry &e : optional_functions)
        if (lib == (void *)e.dll && strcmp(e.name, name) == 0) return e.fn;
    errno = ENOSYS;
    return nullptr;
}

/* The panel is the dialogs' screen here: on, on loopback. */
const char *pal_panel_default_address(void) { return "127.0.0.1"; }
