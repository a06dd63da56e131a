/*
** The file layer.  Inside Velmora every path is 8-bit text with "/"
** separators, normally UTF-8; here it becomes UTF-16 for the platform's
** wide-character calls.  A byte that cannot start a UTF-8 sequence stands
** for itself, so a Latin-1 name (é as the single byte 0xE9) opens the same
** file as its UTF-8 spelling.
*/
#include "global.h"
#include "subs/files.h"

#include <cctype>
#include <cerrno>
#include <mutex>

#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

/* Path and mode buffers of the conversion, in UTF-16 units. */
#define WPATH 1024
#define WMODE 100

int Close_Written(FILE *f, const char *path)
{
    /* The error of a write that failed before is still the last error. */
    int failed = fflush(f) != 0 || ferror(f);
    int err = pal_last_error();
    if (fclose(f) != 0 && !failed) {
        failed = 1;
        err = pal_last_error();
    }
    if (!failed) return 0;
    My_remove(path);
    return err ? err : -1;
}

int Write_Whole(const char *path, const void *data, size_t len)
{
    uint16_t wp[WPATH];
    utf8_to_utf16(path, wp, WPATH);
    if (pal_wwrite_file(wp, data, len) == 0) return 0;
    int err = pal_last_error();
    return err ? err : -1;
}

FILE *My_fopen(const char *path, const char *mode)
{
    uint16_t wp[WPATH], wm[WMODE];
    utf8_to_utf16(path, wp, WPATH);
    utf8_to_utf16(mode, wm, WMODE);
    return pal_wfopen(wp, wm);
}

FILE *My_fopen_untouched(const char *path, int *untouched)
{
    uint16_t wp[WPATH];
    utf8_to_utf16(path, wp, WPATH);
    return pal_wfopen_untouched(wp, untouched);
}

int My_stat(const char *path, My_Stat_Buf *st)
{
    uint16_t wp[WPATH];
    utf8_to_utf16(path, wp, WPATH);
    return pal_wstat(wp, st);
}

MY_DIR *My_opendir(const char *path)
{
    uint16_t wp[WPATH];
    utf8_to_utf16(path, wp, WPATH);
    return pal_wopendir(wp);
}

my_dirent *My_readdir(MY_DIR *dir)
{
    my_dirent *e = pal_wreaddir(dir);
    if (!e) return nullptr;
    /* The entry holds the name as UTF-16 units; it leaves as UTF-8 in the
    ** same buffer, which is sized for either. */
    char utf8[sizeof e->d_name];
    int n = Wide2UTF(utf8, e->d_name, 2 * e->d_namlen, 2, 0);
    memcpy(e->d_name, utf8, (size_t)n + 1);
    e->d_namlen = (unsigned short)n;
    return e;
}

int My_closedir(MY_DIR *dir) { return pal_wclosedir(dir); }

int My_stat_entry(MY_DIR *dir, My_Stat_Buf *st) { return pal_wstat_last(dir, st); }

/* One conversion for the single-path calls. */
static int with_path(const char *path, int (*call)(const uint16_t *))
{
    uint16_t wp[WPATH];
    utf8_to_utf16(path, wp, WPATH);
    return call(wp);
}

int My_mkdir(const char *path) { return with_path(path, pal_wmkdir); }
int My_remove(const char *path) { return with_path(path, pal_wremove); }
int My_chdir(const char *path) { return with_path(path, pal_wchdir); }

int My_chmod(const char *path, unsigned mode)
{
    uint16_t wp[WPATH];
    utf8_to_utf16(path, wp, WPATH);
    return pal_wchmod(wp, mode);
}

int My_realpath(const char *path, char *out, size_t size)
{
    uint16_t wp[WPATH];
    utf8_to_utf16(path, wp, WPATH);
    return pal_wrealpath(wp, out, size);
}

int is_folder(const char *path)
{
    My_Stat_Buf st;
    return My_stat(path, &st) == 0 && (st.st_mode & PAL_S_IFMT) == PAL_S_IFDIR;
}

int My_rename(const char *from, const char *to)
{
    uint16_t wf[WPATH], wt[WPATH];
    utf8_to_utf16(from, wf, WPATH);
    utf8_to_utf16(to, wt, WPATH);
    return pal_wrename(wf, wt);
}

/* Names are "Roku-" and the milliseconds since start.  Two threads asking in
** the same millisecond would build the same name, so a process-wide counter
** moves every name past the last one handed out. */
static std::atomic<uint32_t> last_temp{0};

/* Opens tried before get_temp_file gives up: a second's worth at one a
** millisecond.  An open that keeps failing (a full disk, no descriptors
** left) must not hold its thread for ever. */
#define TEMP_TRIES 1000

/* The names of the temporary files handed out and not yet released, by
** stream, so the one that sent a stream can remove its file. */
#define TEMP_NAMES 256
static struct {
    FILE *f;
    char name[MAX_PATH_TXT + 32];
} temp_names[TEMP_NAMES];
static std::mutex temp_names_lock;

/* Notes f's name; a stream whose slot is taken again is left to Drop_Temp. */
static void note_temp(FILE *f, const char *name)
{
    std::lock_guard<std::mutex> g(temp_names_lock);
    int pick = -1;
    for (int i = 0; i < TEMP_NAMES; i++) {
        if (temp_names[i].f == f) {       /* a stream closed without release */
            pick = i;
            break;
        }
        if (!temp_names[i].f && pick < 0) pick = i;
    }
    if (pick < 0) return;
    temp_names[pick].f = f;
    scopy(temp_names[pick].name, sizeof temp_names[pick].name, name);
}

FILE *get_temp_file(void)
{
    for (int tries = 0; tries < TEMP_TRIES; tries++) {
        uint32_t now = pal_ticks() - strtick;
        uint32_t prev = last_temp.load();
        uint32_t mine;
        do {
            mine = now > prev ? now : prev + 1;
        } while (!last_temp.compare_exchange_weak(prev, mine));
        char name[MAX_PATH_TXT + 32];
        sfmt(name, sizeof name, "%s/Roku-%06u", Roku_Path, mine);
        Debug("Open %s", name);
        FILE *f = My_fopen(name, "wb+");
        if (f) {
            note_temp(f, name);
            return f;
        }
        wSleep(1);
    }
    Debug("no temporary file");
    return nullptr;
}

void Temp_Release(FILE *f)
{
    char name[MAX_PATH_TXT + 32] = "";
    {
        std::lock_guard<std::mutex> g(temp_names_lock);
        for (int i = 0; i < TEMP_NAMES; i++)
            if (temp_names[i].f == f) {
                scopy(name, sizeof name, temp_names[i].name);
                temp_names[i].f = nullptr;
                break;
            }
    }
    /* The open stream keeps its data; where the platform cannot remove an
    ** open file, Drop_Temp takes it later. */
    if (name[0]) My_remove(name);
}

void Drop_Temp(void)
{
    WALK("Drop_Temp");
    MY_DIR *d = My_opendir(Roku_Path);
    if (!d) {
        Debug("Unable to open Roku folder !");
        return;
    }
    int dropped = 0;
    my_dirent *e;
    while (dropped < 11 && (e = My_readdir(d)) != nullptr) {
        if (strncmp(e->d_name, "Roku-", 5) != 0) continue;
        Debug("temp release %s", e->d_name);
        char path[MAX_PATH_TXT + 1100];
        sfmt(path, sizeof path, "%s/%s", Roku_Path, e->d_name);
        My_remove(path);
        dropped++;
    }
    My_closedir(d);
}

int My_fseek64(FILE *f, int64_t off, int whence)
{
    switch (whence) {
    case 0:
    case 1:
        return pal_fseek64(f, off, whence) == 0 ? 0 : -1;
    case 2: {
        fflush(f);
        int64_t len = pal_filelength64(f);
        if (len < 0) return -1;
        return pal_fseek64(f, len + off, 0) == 0 ? 0 : -1;
    }
    default:
        errno = 22;
        return -1;
    }
}

int wSleep(unsigned ms, void *)
{
    pal_pump_messages();
    if (ms) pal_sleep(ms);
    return 0;
}

void lib_path(const char *rest, char *out, size_t size)
{
    int drive = isalpha((unsigned char)rest[0]) && rest[1] == ':';
    if (drive || rest[0] == '/')
        scopy(out, size, rest);
    else
        sfmt(out, size, "/%s", rest);
}
