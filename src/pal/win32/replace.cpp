/*
** Whole-file reads and atomic replacement on Windows, for the profile
** engine: the temporary file beside the target is opened without sharing
** (which locks it against other processes), written, flushed to the disk,
** closed and moved over the target with MoveFileExW, written through.
*/
#include "pal/pal.h"
#include "pal/win32/win32_internal.h"


const int pal_err_not_found = ERROR_FILE_NOT_FOUND;
const int pal_err_too_big = ERROR_FILE_TOO_LARGE;
const int pal_err_no_memory = ERROR_NOT_ENOUGH_MEMORY;
const int pal_err_busy = ERROR_BUSY;

/* Milliseconds between tries, and tries, to open a temporary file that
** another process holds. */
static const DWORD LOCK_RETRY_MS = 10;
static const int LOCK_TRIES = 1000;

/* Handles travel as ints through the layer's interface; Windows keeps kernel
** handles within 32 bits so that they can. */
static HANDLE H(int h) { return (HANDLE)(intptr_t)h; }

int pal_load_file(const char *file, std::string *out, size_t max, int *cut, unsigned *mode)
{
    out->clear();
    *cut = 0;
    if (!file || !*file) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    HANDLE h = CreateFileW(pal_widen(file).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    int ok = 0;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info)) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        SetLastError(ERROR_ACCESS_DENIED);
    } else {
        *mode = info.dwFileAttributes & FILE_ATTRIBUTE_READONLY ? 0444 : 0666;
        ok = 1;
        for (;;) {
            char chunk[65536];
            DWORD got = 0;
            if (!ReadFile(h, chunk, sizeof chunk, &got, nullptr)) {
                ok = 0;
                break;
            }
            if (got == 0) break;
            size_t room = max - out->size();
            if (got > room) {
                out->append(chunk, room);
                *cut = 1;
                break;
            }
            out->append(chunk, got);
        }
    }
    DWORD err = GetLastError();
    CloseHandle(h);
    SetLastError(err);
    return ok;
}

int pal_file_mode(const char *file, unsigned *mode)
{
    DWORD a = GetFileAttributesW(pal_widen(file).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return 0;
    *mode = a & FILE_ATTRIBUTE_READONLY ? 0444 : 0666;
    return 1;
}

std::string pal_replace_target(const char *file)
{
    std::wstring w = pal_widen(file);
    DWORD a = GetFileAttributesW(w.c_str());
    if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_REPARSE_POINT)) return std::string(file);
    HANDLE h = CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::string(file);
    wchar_t real[MAX_PATH * 4];
    DWORD n = GetFinalPathNameByHandleW(h, real, MAX_PATH * 4, FILE_NAME_NORMALIZED);
    CloseHandle(h);
    if (n == 0 || n >= MAX_PATH * 4) return std::string(file);
    const wchar_t *p = real;
    if (wcsncmp(p, L"\\\\?\\", 4) == 0) p += 4;
    return pal_narrow(p);
}

int pal_replace_lock(const char *tmp)
{
    std::wstring w = pal_widen(tmp);
    for (int tries = 0; tries < LOCK_TRIES; tries++) {
        HANDLE h = CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) return (int)(intptr_t)h;
        if (GetLastError() != ERROR_SHARING_VIOLATION) return -1;
        Sleep(LOCK_RETRY_MS);
    }
    SetLastError(ERROR_BUSY);
    return -1;
}

void pal_replace_abandon(int h, const char *tmp)
{
    DWORD err = GetLastError();
    CloseHandle(H(h));
    DeleteFileW(pal_widen(tmp).c_str());
    SetLastError(err);
}

int pal_replace_commit(int h, const char *tmp, const char *target, const char *data, size_t n,
                       int keep_mode, unsigned mode)
{
    if (SetFilePointer(H(h), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !SetEndOfFile(H(h))) {
        pal_replace_abandon(h, tmp);
        return 0;
    }
    if (!pal_write_handle(H(h), data, n)) {
        pal_replace_abandon(h, tmp);
        return 0;
    }
    if (!FlushFileBuffers(H(h))) {
        pal_replace_abandon(h, tmp);
        return 0;
    }
    CloseHandle(H(h));
    std::wstring wt = pal_widen(tmp), wd = pal_widen(target);
    /* No permission bits to carry over: the new file takes its folder's
    ** access rules, as the file it replaces had them. */
    (void)keep_mode;
    (void)mode;
    if (!MoveFileExW(wt.c_str(), wd.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD err = GetLastError();
        DeleteFileW(wt.c_str());
        SetLastError(err);
        return 0;
    }
    return 1;
}
