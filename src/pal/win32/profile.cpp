/*
** The profile (INI) functions on Windows: the system's own
** GetPrivateProfileStringA, GetPrivateProfileSectionA and
** WritePrivateProfileStringA, with the promises the portable engine keeps on
** Linux.
**
** Nothing lost: the system rewrites a profile in place, so a crash in the
** middle of a write could leave Velmora.ini torn.  Every write is therefore
** made on a copy, "<file>.tmp" beside the file, which is then flushed to the
** disk and moved over the file (MoveFileExW, written through): a crash leaves
** the old file or the new one, never a mixture.  A batch (pal_profile_begin
** to pal_profile_end) makes all its writes on one copy and moves it once.
** Writers in this process take turns on a mutex, writers in other processes
** on a system mutex named after the file.
**
** Some calls stay the portable engine's, since the system's own would change
** a setting or the bytes Linux writes (seen under Wine):
**  - deleting a key or a section: the system removes only the first line of
**    the key, or the first occurrence of the section, so a later duplicate
**    would bring the deleted setting back;
**  - writing a whole section: the system fills the section where it stands,
**    where Linux writes it at the end of the file;
**  - every call, when the ANSI code page does not carry every byte through
**    unchanged (a multi-byte or UTF-8 code page): the file's UTF-8 text, such
**    as folder names, would be altered on its way through the A calls; and
**    every call on a file whose path has a character outside that page.
** A name or value is cut at its first line end before the system sees it, as
** the portable engine cuts it, so no value can add lines to the file.
** What the system's write still does its own way changes no setting: it
** drops blank lines, writes LF line ends as CR LF, drops a value's leading
** blanks (which every read trims anyway) and puts a new key after comments
** that end its section.  A file the program writes itself has none of these,
** so its bytes are the ones Linux writes.
*/
#include "pal/win32/profile_own.h"
#include "pal/pal.h"
#include "pal/win32/win32_internal.h"

/* The calls this file defines under their own names. */
#undef pal_get_private_profile_string
#undef pal_get_private_profile_section
#undef pal_write_private_profile_string
#undef pal_write_private_profile_section
#undef pal_profile_begin
#undef pal_profile_end

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <mutex>
#include <string>

/* Tries, and milliseconds between them, to move the copy over a file that a
** reader holds open for a moment (the system's reads do not share the
** right to rename it). */
static const int MOVE_TRIES = 500;
static const DWORD MOVE_RETRY_MS = 10;

/* The longest path the wide calls take, in characters. */
static const DWORD WIDE_PATH_MAX = 32768;

/* FNV-1a, for the name of the system mutex of a file. */
static const uint64_t FNV_OFFSET = 14695981039346656037ULL;
static const uint64_t FNV_PRIME = 1099511628211ULL;

/* Writes to profiles never interleave inside the process. */
static std::mutex writers;

/* The batch: the writes of one thread to one file, made on the copy `work`
** of `target`.  The owner holds `writers` and the system mutex `cross` from
** the start of the batch to its end. */
static struct {
    std::atomic<pal_tid> owner{0};
    std::string file, target, work;
    HANDLE cross = nullptr;
} batch;

static bool batch_owner(void) { return batch.owner.load() == pal_thread_id(); }

static bool in_batch(const char *file) { return batch_owner() && file && batch.file == file; }

/* ------------------------------------------------- the system's calls */

/* 1 when the ANSI code page takes every byte to a character and back to the
** same byte (the single-byte pages of Western Windows do). */
static bool code_page_carries_bytes(void)
{
    static const bool yes = [] {
        for (int b = 1; b < 256; b++) {
            char c = (char)b, back[4];
            wchar_t w[2];
            BOOL lossy = FALSE;
            if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, &c, 1, w, 2) != 1 ||
                WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w, 1, back, sizeof back, nullptr, &lossy) != 1 ||
                lossy || back[0] != c)
                return false;
        }
        return true;
    }();
    return yes;
}

/* The full path of file with backslashes, as the wide calls take it. */
static std::wstring full_path(const std::string &file)
{
    std::wstring w = pal_widen(file.c_str()), full(WIDE_PATH_MAX, L'\0');
    DWORD n = GetFullPathNameW(w.c_str(), WIDE_PATH_MAX, &full[0], nullptr);
    if (n == 0 || n >= WIDE_PATH_MAX) return w;
    full.resize(n);
    return full;
}

/* The system's calls serve file when they can carry its text unchanged; the
** path as they take it (full, in the ANSI code page) goes to *out.  A bare
** name would be looked for in the Windows folder, hence the full path. */
static bool system_serves(const std::string &file, std::string *out)
{
    if (!code_page_carries_bytes()) return false;
    std::wstring w = full_path(file);
    BOOL lossy = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.c_str(), -1, nullptr, 0, nullptr, &lossy);
    if (w.empty() || n <= 0 || lossy) return false;
    out->assign((size_t)n, '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.c_str(), -1, &(*out)[0], n, nullptr, nullptr);
    out->resize((size_t)n - 1);
    return true;
}

/* s up to its first line end. */
static std::string one_line(const char *s) { return std::string(s, strcspn(s, "\r\n")); }

/* ------------------------------------------------------------- locks */

/* Takes the system mutex of target, which writers of the file in every
** process share (one that a crashed process left is taken over).  Null with
** the error code set when it cannot be had. */
static HANDLE cross_lock(const std::string &target)
{
    uint64_t h = FNV_OFFSET;
    for (wchar_t c : full_path(target)) h = (h ^ (uint64_t)towlower(c)) * FNV_PRIME;
    char name[64];
    snprintf(name, sizeof name, "Local\\Velmora-profile-%016llx", (unsigned long long)h);
    HANDLE m = CreateMutexA(nullptr, FALSE, name);
    if (!m) return nullptr;
    DWORD r = WaitForSingleObject(m, INFINITE);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) return m;
    DWORD err = GetLastError();
    CloseHandle(m);
    SetLastError(err);
    return nullptr;
}

static void cross_unlock(HANDLE m)
{
    ReleaseMutex(m);
    CloseHandle(m);
}

/* ------------------------------------------------------------- the copy */

/* Writes data as the whole of file, made anew. */
static int write_whole(const std::string &file, const std::string &data)
{
    HANDLE h = CreateFileW(pal_widen(file.c_str()).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    int ok = pal_write_handle(h, data.data(), data.size());
    DWORD err = GetLastError();
    CloseHandle(h);
    SetLastError(err);
    return ok;
}

/* Makes work a copy of target (an empty file when target is missing); *old
** receives target's bytes and *exists whether it was there. */
static int copy_in(const std::string &target, const std::string &work, std::string *old, int *exists)
{
    int cut;
    unsigned mode;
    *exists = pal_load_file(target.c_str(), old, PAL_PROFILE_MAX_BYTES, &cut, &mode);
    if ((!*exists && GetLastError() != ERROR_FILE_NOT_FOUND) || cut) {
        if (cut) SetLastError(ERROR_FILE_TOO_LARGE);
        return 0;
    }
    return write_whole(work, *old);
}

/* Flushes the copy work to the disk and moves it over target.  On failure
** the copy is removed and the error code kept. */
static int commit(const std::string &work, const std::string &target)
{
    std::wstring ww = pal_widen(work.c_str()), wt = pal_widen(target.c_str());
    HANDLE h = CreateFileW(ww.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    BOOL ok = h != INVALID_HANDLE_VALUE && FlushFileBuffers(h);
    DWORD err = GetLastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    for (int tries = 1; ok; tries++) {
        if (MoveFileExW(ww.c_str(), wt.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 1;
        err = GetLastError();
        if ((err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION) || tries >= MOVE_TRIES) break;
        Sleep(MOVE_RETRY_MS);
    }
    DeleteFileW(ww.c_str());
    SetLastError(err);
    return 0;
}

/* ------------------------------------------------------------- writes */

/* One write: key = value in section (a null value deletes the key, a null
** key the section), or with whole set, the section replaced by list. */
struct change {
    const char *section, *key, *value, *list;
    bool whole;
};

/* Makes the change on the copy work: a key's value by the system's call,
** everything else by the portable engine (see the top of the file). */
static int change_copy(const std::string &work, const change &c)
{
    std::string sys;
    if (c.whole) return pal_own_write_private_profile_section(c.section, c.list, work.c_str());
    if (!c.key || !c.value || !system_serves(work, &sys))
        return pal_own_write_private_profile_string(c.section, c.key, c.value, work.c_str());
    return WritePrivateProfileStringA(one_line(c.section).c_str(), one_line(c.key).c_str(),
                                      one_line(c.value).c_str(), sys.c_str()) != 0;
}

/* The change under the locks: on the batch's copy, or on a fresh copy that
** then replaces the file.  A change that leaves the bytes as they were
** leaves the file alone (and makes none). */
static int write_locked(const char *file, const change &c)
{
    if (in_batch(file)) return change_copy(batch.work, c);
    std::string target = pal_replace_target(file), work = target + ".tmp", old, now;
    HANDLE m = cross_lock(target);
    if (!m) return 0;
    int exists, cut, ok = 0;
    unsigned mode;
    if (copy_in(target, work, &old, &exists) && change_copy(work, c) &&
        pal_load_file(work.c_str(), &now, PAL_PROFILE_MAX_BYTES, &cut, &mode)) {
        if (now == old && (exists || now.empty())) {
            DeleteFileW(pal_widen(work.c_str()).c_str());
            ok = 1;
        } else {
            ok = commit(work, target);
        }
    }
    if (!ok) {
        DWORD err = GetLastError();
        DeleteFileW(pal_widen(work.c_str()).c_str());
        SetLastError(err);
    }
    cross_unlock(m);
    return ok;
}

/* write_locked under the process's lock, which a batch's owner holds
** already, whatever file it writes. */
static int write_change(const char *file, const change &c)
{
    if (batch_owner()) return write_locked(file, c);
    std::lock_guard<std::mutex> g(writers);
    return write_locked(file, c);
}

int pal_write_private_profile_string(const char *section, const char *key, const char *value, const char *file)
{
    if (!section) return !key && !value;
    if (!file || !*file) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    return write_change(file, change{section, key, value, nullptr, false});
}

int pal_write_private_profile_section(const char *section, const char *list, const char *file)
{
    if (!section || !file || !*file) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    return write_change(file, change{section, nullptr, nullptr, list, true});
}

/* ------------------------------------------------------------- lookups */

/* The file a lookup reads: the batch's copy for the batch's owner. */
static std::string read_path(const char *file) { return in_batch(file) ? batch.work : std::string(file); }

unsigned long pal_get_private_profile_string(const char *section, const char *key, const char *def, char *buf,
                                             unsigned long size, const char *file)
{
    if (!buf || size == 0) return 0;
    std::string path = file ? read_path(file) : std::string(), sys;
    if (!system_serves(path, &sys))
        return pal_own_get_private_profile_string(section, key, def, buf, size, path.c_str());
    return GetPrivateProfileStringA(section, key, def, buf, (DWORD)size, sys.c_str());
}

unsigned long pal_get_private_profile_section(const char *section, char *buf, unsigned long size, const char *file)
{
    if (!buf || size == 0) return 0;
    std::string path = file ? read_path(file) : std::string(), sys;
    if (!system_serves(path, &sys)) return pal_own_get_private_profile_section(section, buf, size, path.c_str());
    return GetPrivateProfileSectionA(section, buf, (DWORD)size, sys.c_str());
}

/* ------------------------------------------------------------- batches */

int pal_profile_begin(const char *file)
{
    if (!file || !*file || batch_owner()) {
        SetLastError(batch_owner() ? ERROR_BUSY : ERROR_FILE_NOT_FOUND);
        return 0;
    }
    writers.lock();
    std::string target = pal_replace_target(file), work = target + ".tmp", old;
    int exists;
    HANDLE m = cross_lock(target);
    if (m && copy_in(target, work, &old, &exists)) {
        batch.file = file;
        batch.target = target;
        batch.work = work;
        batch.cross = m;
        batch.owner = pal_thread_id();
        return 1;
    }
    DWORD err = GetLastError();
    if (m) {
        DeleteFileW(pal_widen(work.c_str()).c_str());
        cross_unlock(m);
    }
    writers.unlock();
    SetLastError(err);
    return 0;
}

int pal_profile_end(const char *file)
{
    if (!in_batch(file)) return 0;
    int ok = commit(batch.work, batch.target);
    DWORD err = GetLastError();
    cross_unlock(batch.cross);
    batch.cross = nullptr;
    batch.file.clear();
    batch.owner = 0;
    writers.unlock();
    SetLastError(err);
    return ok;
}
