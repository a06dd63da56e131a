/*
** POSIX shell: the batch files that start and stop VLC run under /bin/sh,
** detached from the server.  Three things make VLC behave on Linux as it
** does on a desktop: it never runs as root (an unprivileged account when the
** server is root), it gets a private D-Bus session bus (its one-instance
** hand-over and the quit command travel over it), and nothing it starts
** outlives the server (a watchdog ends it when the server's end closes a
** pipe, whatever ended the server).
*/
#include "pal/pal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <mutex>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

/* The account VLC runs under when the server is root. */
#define SHELL_ACCOUNT "nobody"
/* Children remembered so that they can be reaped and asked about. */
#define MAX_CHILDREN 64
/* The largest batch file run; ours are a few hundred bytes. */
#define MAX_BATCH 65536
/* Milliseconds to wait for the session bus to tell its address. */
#define BUS_WAIT_MS 5000

/* Ends every process group it was told of once its standard input reaches
** its end, which happens when the last copy of the pipe's write end, the
** server's, closes: at exit, on a fatal signal or on SIGKILL alike.  Quit
** first (SIGTERM), then kill what is left after three seconds. */
static const char watchdog_script[] =
    "trap '' INT TERM HUP\n"
    "g=\n"
    "while read p; do g=\"$g $p\"; done\n"
    "for p in $g; do kill -TERM -$p 2>/dev/null; done\n"
    "for i in 1 2 3 4 5 6; do\n"
    "  left=\n"
    "  for p in $g; do kill -0 -$p 2>/dev/null && left=\"$left $p\"; done\n"
    "  [ -z \"$left\" ] && exit 0\n"
    "  sleep 0.5\n"
    "done\n"
    "for p in $g; do kill -KILL -$p 2>/dev/null; done\n";

static std::mutex shell_lock;           /* guards everything below */
static int watchdog_fd = -1;            /* write end of the watchdog's pipe */
static std::string bus_address;         /* the private session bus, once started */
static int bus_tried = 0;
static int children[MAX_CHILDREN];

/* Who the children run as: the server's own account, or SHELL_ACCOUNT when
** the server is root. */
struct account {
    int drop;
    uid_t uid;
    gid_t gid;
    std::string name, home;
};

static account shell_user(void)
{
    account a;
    a.drop = geteuid() == 0;
    a.uid = geteuid();
    a.gid = getegid();
    struct passwd pw, *res = nullptr;
    char tmp[4096];
    if (getpwuid_r(a.uid, &pw, tmp, sizeof tmp, &res) == 0 && res) a.name = res->pw_name;
    if (!a.drop) return a;
    if (getpwnam_r(SHELL_ACCOUNT, &pw, tmp, sizeof tmp, &res) == 0 && res) {
        a.uid = res->pw_uid;
        a.gid = res->pw_gid;
        a.name = res->pw_name;
        a.home = res->pw_dir;
    } else {
        /* The conventional numbers of the overflow account. */
        a.uid = 65534;
        a.gid = 65534;
        a.name = SHELL_ACCOUNT;
        a.home = "/";
    }
    return a;
}

int pal_shell_account(char *buf, size_t size)
{
    account a = shell_user();
    if (buf && size) snprintf(buf, size, "%s", a.name.c_str());
    return a.drop;
}

/* ------------------------------------------------------ private folders */

#define PRIVATE_FOLDER_MODE 0711
#define PRIVATE_READ_MODE   0644
#define PRIVATE_FILE_MODE   0600
/* How deep a taken-back folder is cleared. */
#define CLEAR_DEPTH 16

/* The names in the folder dir ("." and ".." left out). */
static std::vector<std::string> names_in(int dir)
{
    std::vector<std::string> names;
    int fd = dup(dir);
    DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!d) {
        if (fd >= 0) close(fd);
        return names;
    }
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
    closedir(d);
    return names;
}

/* Removes name from dir and, for a folder, all it holds, never following a
** link (each level is opened with O_NOFOLLOW relative to the one above). */
static void clear_at(int dir, const char *name, int depth)
{
    struct stat st;
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        unlinkat(dir, name, 0);
        return;
    }
    int fd = depth < CLEAR_DEPTH ? openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
    if (fd >= 0) {
        for (auto &n : names_in(fd)) clear_at(fd, n.c_str(), depth + 1);
        close(fd);
    }
    unlinkat(dir, name, AT_REMOVEDIR);
}

int pal_private_open(const char *path, int take)
{
    if (take) mkdir(path, PRIVATE_FOLDER_MODE);
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    if (st.st_uid == geteuid() && (st.st_mode & 07777) == PRIVATE_FOLDER_MODE) return fd;
    /* A folder of ours that no one else could write only gets its mode; one
    ** of another account, or open to others, may hold planted names. */
    int planted = st.st_uid != geteuid() || (st.st_mode & 022);
    if (planted && !take) {
        close(fd);
        return -1;
    }
    if (fchown(fd, geteuid(), getegid()) != 0 || fchmod(fd, PRIVATE_FOLDER_MODE) != 0) {
        close(fd);
        return -1;
    }
    if (planted)
        for (auto &n : names_in(fd)) clear_at(fd, n.c_str(), 0);
    return fd;
}

void pal_private_close(int dir)
{
    if (dir >= 0) close(dir);
}

FILE *pal_private_create(int dir, const char *name, int who)
{
    if (dir < 0) return nullptr;
    unlinkat(dir, name, 0);
    int fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, PRIVATE_FILE_MODE);
    if (fd < 0) return nullptr;
    int ok = 1;
    if (who == PAL_PRIVATE_READ) ok = fchmod(fd, PRIVATE_READ_MODE) == 0;
    if (who == PAL_PRIVATE_GIVE) {
        account a = shell_user();
        ok = !a.drop || fchown(fd, a.uid, a.gid) == 0;
    }
    FILE *f = ok ? fdopen(fd, "wb") : nullptr;
    if (!f) {
        close(fd);
        unlinkat(dir, name, 0);
    }
    return f;
}

FILE *pal_private_read(int dir, const char *name)
{
    if (dir < 0) return nullptr;
    int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    FILE *f = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fdopen(fd, "rb") : nullptr;
    if (!f && fd >= 0) close(fd);
    return f;
}

int pal_private_plain(int dir, const char *name)
{
    struct stat st;
    return dir >= 0 && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           st.st_uid == geteuid() && st.st_nlink == 1;
}

int pal_private_remove(int dir, const char *name)
{
    return dir >= 0 && unlinkat(dir, name, 0) == 0 ? 0 : -1;
}

int pal_private_rename(int dir, const char *from, const char *to)
{
    return dir >= 0 && renameat(dir, from, dir, to) == 0 ? 0 : -1;
}

/* What a child needs, prepared before fork: after fork only calls that are
** safe in a child of a threaded process are made. */
struct spawn {
    std::vector<std::string> args, env;
    std::vector<char *> argv, envp;
    std::string folder;
    int in = -1, out = -1;              /* descriptors for 0 and 1; -1 = /dev/null */
    int setsid = 1;
    account who;
};

static void spawn_prepare(spawn &sp, const std::string &bus)
{
    sp.who = shell_user();
    for (char **e = environ; e && *e; e++) {
        if (!strncmp(*e, "DBUS_SESSION_BUS_ADDRESS=", 25)) continue;
        if (sp.who.drop && (!strncmp(*e, "HOME=", 5) || !strncmp(*e, "USER=", 5) || !strncmp(*e, "LOGNAME=", 8)))
            continue;
        sp.env.push_back(*e);
    }
    if (!bus.empty()) sp.env.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus);
    if (sp.who.drop) {
        sp.env.push_back("HOME=" + sp.who.home);
        sp.env.push_back("USER=" + sp.who.name);
        sp.env.push_back("LOGNAME=" + sp.who.name);
    }
    for (auto &a : sp.args) sp.argv.push_back(&a[0]);
    sp.argv.push_back(nullptr);
    for (auto &e : sp.env) sp.envp.push_back(&e[0]);
    sp.envp.push_back(nullptr);
}

/* Starts sp; returns the child's process id or -1. */
static pid_t spawn_run(spawn &sp, int as_user)
{
    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0) return -1;
    const char *folder = sp.folder.empty() ? nullptr : sp.folder.c_str();
    pid_t pid = fork();
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        if (sp.setsid) setsid();
        dup2(sp.in >= 0 ? sp.in : null_fd, 0);
        dup2(sp.out >= 0 ? sp.out : null_fd, 1);
        dup2(null_fd, 2);
        /* No socket or file of the server reaches the child. */
        syscall(SYS_close_range, 3u, ~0u, 0u);
        if (as_user && sp.who.drop) {
            if (setgroups(0, nullptr) != 0 || setgid(sp.who.gid) != 0 || setuid(sp.who.uid) != 0) _exit(126);
        }
        if (folder && chdir(folder) != 0) _exit(126);
        execve(sp.argv[0], sp.argv.data(), sp.envp.data());
        _exit(127);
    }
    close(null_fd);
    return pid;
}

/* Starts the watchdog on first use.  Called under shell_lock. */
static void watchdog_start(void)
{
    if (watchdog_fd >= 0) return;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    spawn sp;
    sp.args = {"/bin/sh", "-c", watchdog_script};
    sp.in = fds[0];
    spawn_prepare(sp, "");
    pid_t pid = spawn_run(sp, 0);
    close(fds[0]);
    if (pid < 0) {
        close(fds[1]);
        return;
    }
    watchdog_fd = fds[1];
    /* The watchdog is reaped by whoever inherits it after the server; its
    ** exit status is of no interest, so it is remembered like the rest. */
    for (int &c : children)
        if (c == 0) {
            c = pid;
            break;
        }
}

/* Tells the watchdog of a process group to end with the server.  Called
** under shell_lock. */
static void watchdog_add(pid_t group)
{
    if (watchdog_fd < 0) return;
    char line[32];
    int n = snprintf(line, sizeof line, "%d\n", (int)group);
    if (write(watchdog_fd, line, (size_t)n) != n) {
        /* A watchdog that is gone cannot be told; nothing else to do. */
    }
}

/* Reads one line from fd into out, waiting at most until deadline (ticks). */
static int read_line(int fd, std::string &out, uint32_t deadline)
{
    out.clear();
    for (;;) {
        int left = (int)(deadline - pal_ticks());
        if (left <= 0) return 0;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) return 0;
        char c;
        if (read(fd, &c, 1) != 1) return 0;
        if (c == '\n') return 1;
        out += c;
    }
}

/* Starts the private session bus on first use, owned by the shell's
** account.  Called under shell_lock. */
static void bus_start(void)
{
    if (bus_tried) return;
    bus_tried = 1;
    const char *daemon = access("/usr/bin/dbus-daemon", X_OK) == 0 ? "/usr/bin/dbus-daemon" : "/bin/dbus-daemon";
    if (access(daemon, X_OK) != 0) return;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    spawn sp;
    sp.args = {daemon, "--session", "--fork", "--nopidfile", "--print-address=1", "--print-pid=1"};
    sp.out = fds[1];
    spawn_prepare(sp, "");
    pid_t pid = spawn_run(sp, 1);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return;
    }
    std::string address, daemon_pid;
    uint32_t deadline = pal_ticks() + BUS_WAIT_MS;
    if (read_line(fds[0], address, deadline) && read_line(fds[0], daemon_pid, deadline)) {
        int dp = atoi(daemon_pid.c_str());
        /* The forked daemon leads a session of its own. */
        if (dp > 0) watchdog_add(dp);
        bus_address = address;
    }
    close(fds[0]);
    /* The first process only forks the daemon and ends. */
    int status;
    waitpid(pid, &status, 0);
}

/* Reaps the children that ended.  Called under shell_lock. */
static void reap(void)
{
    for (int &c : children) {
        int status;
        if (c > 0 && waitpid(c, &status, WNOHANG) != 0) c = 0;
    }
}

int pal_shell_execute(const char *folder, const char *file)
{
    std::lock_guard<std::mutex> guard(shell_lock);
    reap();
    watchdog_start();
    bus_start();
    /* The batch is read here, by the server: its file stays closed to the
    ** account the shell may run under. */
    std::string path = std::string(folder) + "/" + file, text;
    int cut = 0;
    unsigned mode;
    if (!pal_load_file(path.c_str(), &text, MAX_BATCH, &cut, &mode) || cut || text.find('\0') != std::string::npos)
        return 0;
    spawn sp;
    sp.args = {"/bin/sh", "-c", text, file};
    sp.folder = folder;
    spawn_prepare(sp, bus_address);
    pid_t pid = spawn_run(sp, 1);
    if (pid <= 0) return 0;
    watchdog_add(pid);
    for (int &c : children)
        if (c == 0) {
            c = pid;
            break;
        }
    return (int)pid;
}

int pal_shell_running(int pid)
{
    if (pid <= 0) return 0;
    std::lock_guard<std::mutex> guard(shell_lock);
    for (int &c : children) {
        if (c != pid) continue;
        int status;
        if (waitpid(c, &status, WNOHANG) == 0) return 1;
        c = 0;
        return 0;
    }
    return 0;
}

void pal_shell_kill(int pid)
{
    if (pid > 0) kill(-pid, SIGKILL);
}

/* ------------------------------------------------- the batch files' syntax */

const char *const pal_vlc_folders[] = {"/usr/bin", "/usr/local/bin", nullptr};
const char *const pal_vlc_program = "vlc";

void pal_shell_word(std::string &cmd, const char *text)
{
    cmd += '\'';
    for (const char *p = text; *p; p++) {
        if (*p == '\'') cmd += "'\\''";
        else cmd += *p;
    }
    cmd += '\'';
}

void pal_shell_cd(std::string &cmd, const char *folder)
{
    cmd += "cd ";
    pal_shell_word(cmd, folder);
}

void pal_shell_run(std::string &cmd, const char *program)
{
    cmd += "./";
    cmd += program;
}
