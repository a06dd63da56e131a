/*
** Windows shell: the batch files that start and stop VLC run with ShellExecuteA
** of cmd.exe, hidden, in their folder.  Every shell goes into one job object
** that is closed with the server, so nothing a batch starts outlives it,
** whatever ends the server.
*/
#include "pal/pal.h"
#include "pal/win32/win32_internal.h"

#include <cstring>
#include <mutex>
#include <string>

/* Shells remembered so that they can be asked about and killed. */
#define MAX_CHILDREN 64

static std::mutex shell_lock;           /* guards everything below */
static HANDLE job = nullptr;
static struct {
    int pid;
    HANDLE process;
} children[MAX_CHILDREN];

/* The job whose processes end when its last handle, the server's, closes. */
static HANDLE server_job(void)
{
    if (job) return job;
    job = CreateJobObjectA(nullptr, nullptr);
    if (!job) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION lim;
    memset(&lim, 0, sizeof lim);
    lim.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &lim, sizeof lim);
    return job;
}

int pal_shell_execute(const char *folder, const char *file)
{
    /* cmd.exe takes the rest of its line after /c as the command; the
    ** quotes around the name keep a blank in it. */
    std::string params = "/c \"" + std::string(file) + "\"";
    SHELLEXECUTEINFOA sei;
    memset(&sei, 0, sizeof sei);
    sei.cbSize = sizeof sei;
    sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NO_CONSOLE;
    sei.lpVerb = "open";
    sei.lpFile = "cmd.exe";
    sei.lpParameters = params.c_str();
    sei.lpDirectory = folder;
    sei.nShow = SW_HIDE;
    std::lock_guard<std::mutex> g(shell_lock);
    if (!ShellExecuteExA(&sei) || !sei.hProcess) return 0;
    HANDLE j = server_job();
    if (j) AssignProcessToJobObject(j, sei.hProcess);
    int pid = (int)GetProcessId(sei.hProcess);
    for (auto &c : children) {
        if (c.process) continue;
        c.pid = pid;
        c.process = sei.hProcess;
        return pid;
    }
    /* No room to remember it: it runs on, unasked. */
    CloseHandle(sei.hProcess);
    return pid;
}

/* The remembered shell with pid, or null. */
static HANDLE find_child(int pid)
{
    for (auto &c : children)
        if (c.process && c.pid == pid) return c.process;
    return nullptr;
}

static void forget_child(int pid)
{
    for (auto &c : children)
        if (c.process && c.pid == pid) {
            CloseHandle(c.process);
            c.process = nullptr;
            c.pid = 0;
        }
}

int pal_shell_running(int pid)
{
    std::lock_guard<std::mutex> g(shell_lock);
    HANDLE h = find_child(pid);
    if (!h) return 0;
    if (WaitForSingleObject(h, 0) == WAIT_TIMEOUT) return 1;
    forget_child(pid);
    return 0;
}

void pal_shell_kill(int pid)
{
    std::lock_guard<std::mutex> g(shell_lock);
    HANDLE h = find_child(pid);
    if (h) TerminateProcess(h, 1);
}

/* The batches run as the server's own account. */
int pal_shell_account(char *buf, size_t size)
{
    unsigned long n = (unsigned long)size;
    if (!pal_get_user_name(buf, &n) && buf && size) buf[0] = 0;
    return 0;
}

int pal_shell_grant_folder(const char *) { return 1; }

/* ------------------------------------------------- the batch files' syntax */

const char *const pal_vlc_folders[] = {"C:/Program Files/VideoLAN/VLC", "C:/Program Files (x86)/VideoLAN/VLC",
                                       nullptr};
const char *const pal_vlc_program = "vlc.exe";

/* Characters that cmd.exe takes for its own outside its quotes; a ^ before
** one makes it plain. */
static const char CMD_SPECIALS[] = "&|<>^";

/* A batch line is read twice.  cmd.exe reads it first: "%" starts one of its
** variables ("%%" is a plain one), and every double quote opens or closes its
** quotes, outside which CMD_SPECIALS are its own.  The program's start-up then
** splits the rest into words: in double quotes, a quote of the word is \" and
** the backslashes before a quote, or before the closing one, are doubled. */
void pal_shell_word(std::string &cmd, const char *text)
{
    bool cmd_quoted = true;
    size_t slashes = 0;
    cmd += '"';
    for (const char *p = text; *p; p++) {
        if (*p == '\\') {
            slashes++;
            cmd += '\\';
            continue;
        }
        if (*p == '"') {
            cmd.append(slashes + 1, '\\');
            cmd_quoted = !cmd_quoted;
        } else if (*p == '%') {
            cmd += '%';
        } else if (!cmd_quoted && strchr(CMD_SPECIALS, *p)) {
            cmd += '^';
        }
        cmd += *p;
        slashes = 0;
    }
    cmd.append(slashes, '\\');
    cmd += '"';
}

/* "/d" changes the drive as well; cmd.exe's cd wants backslashes. */
void pal_shell_cd(std::string &cmd, const char *folder)
{
    std::string f = folder;
    for (char &c : f)
        if (c == '/') c = '\\';
    cmd += "cd /d ";
    pal_shell_word(cmd, f.c_str());
}

/* cmd.exe looks in the current folder first. */
void pal_shell_run(std::string &cmd, const char *program) { cmd += program; }
