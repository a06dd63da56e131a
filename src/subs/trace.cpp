/*
** The trace log: one line per event with the writer's slot, the local time to
** the millisecond and the release code letter; dumps of binary buffers; and
** the switch that opens and closes the trace and access logs.
**
** Writers and the switch share one lock, so a line is never written through
** a file that another thread is closing.  (The file's own lock serialises
** the writes anyway; a readers/writer lock would only let a busy trace
** starve the switch.)  Each line is one formatted write and a flush, so a
** trace shows everything up to a crash.
*/
#include "global.h"
#include "subs/trace.h"

#include <cstdarg>
#include <mutex>

#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"

std::atomic<FILE *> TRA{nullptr};
std::atomic<FILE *> AUD{nullptr};

static std::mutex switch_lock;
/* The application's hook, called with the status text after each switch. */
static std::atomic<Diag_Hook> diag_hook{nullptr};
/* Set by the crash report: from then on writers take no lock, since the
** failing thread may be the one holding it. */
static std::atomic<bool> crashing{false};

long trace_ms(void) { return (long)((pal_ticks() - strtick) % 1000u); }

/* Takes the switch's lock unless the process is crashing. */
struct log_reader {
    bool locked;
    log_reader() : locked(!crashing.load()) { if (locked) switch_lock.lock(); }
    ~log_reader() { if (locked) switch_lock.unlock(); }
};

/* About the bytes before each message: slot, time and code letter. */
#define LINE_HEAD 20

/* The trace bytes the calling thread may still write for its request, or
** -1 for no bound; and whether the line that says it was cut is out. */
static thread_local long budget = -1;
static thread_local bool budget_told = false;

void Trace_Budget(long bytes)
{
    budget = bytes < 0 ? -1 : bytes;
    budget_told = false;
}

/* Takes n bytes off the calling thread's budget.  Returns false when they
** do not fit: the line is then dropped, and the first dropped line is
** replaced by one that says so. */
static bool spend(size_t n)
{
    if (budget < 0) return true;
    if ((long)n <= budget) {
        budget -= (long)n;
        return true;
    }
    if (!budget_told) {
        budget_told = true;
        long left = budget;
        budget = -1;   /* the notice itself is always written */
        Debug("trace cut here: the rest of this request is left out");
        budget = left;
    }
    return false;
}

int trace(const char *fmt, va_list args)
{
    char msg[10000];
    vsnprintf(msg, sizeof msg, fmt, args);
    size_t n = strlen(msg);
    if (n > 0 && msg[n - 1] == '\n') msg[--n] = 0;
    if (!spend(n + LINE_HEAD)) return 0;
    struct tm tm;
    pal_localtime(pal_time(), &tm);
    log_reader r;
    FILE *f = TRA.load();
    if (!f) return 0;
    fprintf(f, "%d %02d:%02d:%02d.%03ld%c %s\n", GetMyID(), tm.tm_hour, tm.tm_min, tm.tm_sec,
            trace_ms(), OS_Code, msg);
    fflush(f);
    return 0;
}

void Debug(const char *fmt, ...)
{
    if (!TRA.load(std::memory_order_relaxed)) return;
    va_list ap;
    va_start(ap, fmt);
    trace(fmt, ap);
    va_end(ap);
}

int Dump(const char *tag, const void *buffer, int size)
{
    if (!TRA.load(std::memory_order_relaxed) || size < 0) return 0;
    /* A dump takes about nine bytes of trace for each byte dumped. */
    if (!spend(strlen(tag) + 9 * (size_t)size)) return 0;
    const unsigned char *b = (const unsigned char *)buffer;
    struct tm tm;
    pal_localtime(pal_time(), &tm);
    log_reader r;
    FILE *f = TRA.load();
    if (!f) return 0;
    fprintf(f, "%s - %02d:%02d:%02d.%03ld - %i\n", tag, tm.tm_hour, tm.tm_min, tm.tm_sec, trace_ms(), size);
    for (int off = 0; off < size; off += 16) {
        unsigned char g[16];
        /* The last group is padded with bytes of value 255. */
        for (int i = 0; i < 16; i++) g[i] = off + i < size ? b[off + i] : 255;
        char line[200];
        size_t n = sfmt(line, sizeof line, "%03i ", off);
        for (int i = 0; i < 16; i++) n += sfmt(line + n, sizeof line - n, " %03o", g[i]);
        n += sfmt(line + n, sizeof line - n, " - ");
        for (int i = 0; i < 16; i++) line[n++] = g[i] < 32 || g[i] > 127 ? '.' : (char)g[i];
        line[n] = 0;
        fprintf(f, "%s\n    ", line);
        for (int i = 0; i < 16; i++) fprintf(f, "  %02X", g[i]);
        fputc('\n', f);
    }
    fflush(f);
    return 0;
}

/* The release code letter and name of the running Windows version. */
static const char *release(char *code)
{
    int mj = Win_Vers_Major, mn = Win_Vers_Minor;
    bool nt = Win_Platform == 2;
    if (mj == 6) {
        *code = (char)('d' + mn);
        if (mn == 0) return nt ? "Windows Vista" : "Windows Server 2008";
        if (mn == 1) return nt ? "Windows 7" : "Windows Server 2008 R2";
        return "Windows ";
    }
    *code = '?';
    return "Windows Unknown";
}

/* Opens or closes one log under the switch's lock.  Returns true when the
** log was opened by this call. */
static bool switch_log(std::atomic<FILE *> &log, int on, const char *name, const char *mode)
{
    std::lock_guard<std::mutex> g(switch_lock);
    if (on && !log.load()) {
        char path[MAX_PATH_TXT + 32];
        sfmt(path, sizeof path, "%s/%s", Roku_Path, name);
        log.store(My_fopen(path, mode));
        return log.load() != nullptr;
    }
    if (!on && log.load()) {
        fclose(log.exchange(nullptr));
    }
    return false;
}

int Set_Diag(void)
{
    if (OPT('l')) Debug("Set_Diag trace %d audit %d", My_Trace.load(), Audit.load());
    char code = ' ';
    const char *name = release(&code);
    {
        /* The code letter is set before the file opens, so the first line
        ** already carries it. */
        std::lock_guard<std::mutex> g(switch_lock);
        if (My_Trace && !TRA.load()) OS_Code = code;
    }
    if (switch_log(TRA, My_Trace, "trace.txt", "w")) Debug("Start %s Server %s", name, Version);
    switch_log(AUD, Audit, "access.txt", "a");
    bool t = TRA.load() != nullptr, a = AUD.load() != nullptr;
    Diag_Hook hook = diag_hook.load();
    if (hook) hook(a && t ? "Audit Trace" : a ? "Audit" : t ? "Trace" : "");
    return 0;
}

void Set_Diag_Hook(Diag_Hook hook) { diag_hook.store(hook); }

long Audit_Put(const char *line, size_t len)
{
    if (!AUD.load(std::memory_order_relaxed)) return -1;
    log_reader r;
    FILE *f = AUD.load();
    if (!f) return -1;
    size_t n = fwrite(line, 1, len, f);
    if (fflush(f) != 0 && n == len) n = 0;
    if (n < len) {
        /* A full disk or a vanished folder: stop logging rather than fail
        ** on every request. */
        AUD.store(nullptr);
        fclose(f);
    }
    return (long)n;
}

long Audit_Append(const char *line, size_t len)
{
    /* Under the switches' lock, so the log cannot open meanwhile and take
    ** a line of its own in the middle of this one. */
    std::lock_guard<std::mutex> g(switch_lock);
    if (FILE *open = AUD.load()) {
        size_t n = fwrite(line, 1, len, open);
        fflush(open);
        return (long)n;
    }
    char path[MAX_PATH_TXT + 32];
    sfmt(path, sizeof path, "%s/access.txt", Roku_Path);
    FILE *f = My_fopen(path, "a");
    if (!f) return 0;
    size_t n = fwrite(line, 1, len, f);
    if (fclose(f) != 0 && n == len) n = 0;
    return (long)n;
}

FILE *Crash_Trace(void)
{
    crashing.store(true);
    if (!TRA.load()) {
        /* By full path: the report must land in the data folder whatever
        ** the process's working folder is. */
        char path[MAX_PATH_TXT + 32];
        sfmt(path, sizeof path, "%s/trace.txt", Roku_Path);
        TRA.store(My_fopen(path, "w"));
        My_Trace = 1;
    }
    return TRA.load();
}
