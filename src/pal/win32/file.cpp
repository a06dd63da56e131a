/*
** Windows wide-character file calls.  The file layer hands us UTF-16 names,
** which are the system's own, so they go to the wide calls unchanged.
*/
#include "pal/pal.h"
#include "pal/win32/win32_internal.h"

#include <cstdlib>
#include <cstring>
#include <cctype>
#include <cerrno>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <sys/stat.h>
#include <sys/utime.h>

static const wchar_t *W(const uint16_t *p) { return (const wchar_t *)p; }

/* The C library's errno for a system error of an open. */
static int open_errno(DWORD err)
{
    switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
        return ENOSPC;
    default:
        return EINVAL;
    }
}

/*
** fopen with a wide name.  The file is opened with every sharing right, so
** that, as elsewhere, an open file can be renamed over or removed (the
** playlist is renamed while it is written, a listing's temporary file is
** removed once it is open for sending).  Files are bytes here as on every
** other platform: the stream is binary, so no CR is added or taken away
** and a Ctrl-Z inside a movie does not end it.
*/
FILE *pal_wfopen(const uint16_t *path, const uint16_t *mode)
{
    std::wstring m = mode ? W(mode) : L"";
    if (!path || !path[0] || m.empty()) {
        errno = ENOENT;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    bool plus = m.find(L'+') != std::wstring::npos, excl = m.find(L'x') != std::wstring::npos;
    DWORD access, how;
    int flags = _O_BINARY;
    std::string cmode;
    switch (m[0]) {
    case L'r':
        access = GENERIC_READ | (plus ? GENERIC_WRITE : 0);
        how = OPEN_EXISTING;
        flags |= plus ? _O_RDWR : _O_RDONLY;
        cmode = plus ? "r+b" : "rb";
        break;
    case L'w':
        access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
        how = excl ? CREATE_NEW : CREATE_ALWAYS;
        flags |= plus ? _O_RDWR : _O_WRONLY;
        cmode = plus ? "w+b" : "wb";
        break;
    case L'a':
        access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
        how = OPEN_ALWAYS;
        flags |= _O_APPEND | (plus ? _O_RDWR : _O_WRONLY);
        cmode = plus ? "a+b" : "ab";
        break;
    default:
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE h = CreateFileW(W(path), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, how,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        errno = open_errno(err);
        SetLastError(err);
        return nullptr;
    }
    int fd = _open_osfhandle((intptr_t)h, flags);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE *f = _fdopen(fd, cmode.c_str());
    if (!f) _close(fd);
    return f;
}

FILE *pal_wfopen_untouched(const uint16_t *path, int *untouched)
{
    /* The access time is put back by its caller where it moved. */
    *untouched = 0;
    return pal_wfopen(path, (const uint16_t *)L"rb");
}

int pal_write_handle(HANDLE h, const char *p, size_t n)
{
    while (n > 0) {
        DWORD put = 0, part = n > 0x40000000 ? 0x40000000 : (DWORD)n;
        if (!WriteFile(h, p, part, &put, nullptr)) return 0;
        if (put == 0) {
            SetLastError(ERROR_DISK_FULL);
            return 0;
        }
        p += put;
        n -= put;
    }
    return 1;
}

int pal_wwrite_file(const uint16_t *path, const void *data, size_t len)
{
    if (!path || !path[0]) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return -1;
    }
    HANDLE h = CreateFileW(W(path), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    DWORD err = 0;
    if (!pal_write_handle(h, (const char *)data, len) && !(err = GetLastError())) err = ERROR_WRITE_FAULT;
    if (!CloseHandle(h) && !err) err = GetLastError();
    if (!err) return 0;
    DeleteFileW(W(path));
    SetLastError(err);
    return -1;
}

/* The record from the runtime's status, and the file's identity (its
** volume and file number) from the handle h, when there is one. */
static void fill_stat(const struct _stat64 &s, HANDLE h, struct pal_stat *st)
{
    st->st_size = (int64_t)s.st_size;
    st->st_mode = (s.st_mode & _S_IFDIR ? PAL_S_IFDIR : s.st_mode & _S_IFREG ? PAL_S_IFREG : 0) |
                  (unsigned)(s.st_mode & 0777);
    st->mtime = (time_t)s.st_mtime;
    st->atime = (time_t)s.st_atime;
    st->ctime = (time_t)s.st_ctime;
    st->dev = st->ino = 0;
    BY_HANDLE_FILE_INFORMATION info;
    if (h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info)) {
        st->dev = info.dwVolumeSerialNumber;
        st->ino = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    }
}

int pal_wstat(const uint16_t *path, struct pal_stat *st)
{
    struct _stat64 s;
    if (!path || !path[0] || _wstat64(W(path), &s) != 0) return -1;
    if (st) {
        /* No access asked: a file open elsewhere, even for writing, still
        ** gives its identity; backup semantics lets a folder be opened. */
        HANDLE h = CreateFileW(W(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        fill_stat(s, h, st);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    return 0;
}

int pal_fstat(FILE *f, struct pal_stat *st)
{
    struct _stat64 s;
    int fd = f ? _fileno(f) : -1;
    if (fd < 0 || _fstat64(fd, &s) != 0) return -1;
    if (st) fill_stat(s, (HANDLE)_get_osfhandle(fd), st);
    return 0;
}

/* Windows has no user-space stream: a temporary file that the system
** deletes when it is closed stands in.  It takes any length, so a text
** past limit is never cut here. */
FILE *pal_memory_stream(size_t limit)
{
    (void)limit;
    wchar_t dir[MAX_PATH + 1], name[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, dir);
    if (n == 0 || n > MAX_PATH || !GetTempFileNameW(dir, L"vlm", 0, name)) return nullptr;
    HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DeleteFileW(name);
        return nullptr;
    }
    int fd = _open_osfhandle((intptr_t)h, _O_RDWR | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE *f = _fdopen(fd, "w+b");
    if (!f) _close(fd);
    return f;
}

int pal_wmkdir(const uint16_t *path) { return _wmkdir(W(path)); }

/* remove() takes an empty folder too, as it does elsewhere. */
int pal_wremove(const uint16_t *path)
{
    if (_wremove(W(path)) == 0) return 0;
    DWORD a = GetFileAttributesW(W(path));
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) return _wrmdir(W(path));
    return -1;
}

/* Windows keeps one permission bit: whether the owner may write. */
int pal_wchmod(const uint16_t *path, unsigned mode)
{
    return _wchmod(W(path), mode & 0200 ? _S_IREAD | _S_IWRITE : _S_IREAD);
}

int pal_wchdir(const uint16_t *path) { return _wchdir(W(path)); }

/* A rename replaces an existing target, as rename() does elsewhere. */
int pal_wrename(const uint16_t *from, const uint16_t *to)
{
    return MoveFileExW(W(from), W(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) ? 0 : -1;
}

struct pal_wdir {
    HANDLE find;
    bool first;              /* the entry of FindFirstFileW is still unread */
    WIN32_FIND_DATAW data;
    pal_wdirent ent;
    wchar_t *folder;         /* the folder's path, ending in a separator */
};

pal_wdir *pal_wopendir(const uint16_t *path)
{
    std::wstring pattern = W(path);
    if (pattern.empty()) return nullptr;
    if (pattern.back() != L'/' && pattern.back() != L'\\') pattern += L'\\';
    pattern += L'*';
    pal_wdir *d = (pal_wdir *)calloc(1, sizeof *d);
    if (!d) return nullptr;
    d->find = FindFirstFileW(pattern.c_str(), &d->data);
    if (d->find == INVALID_HANDLE_VALUE) {
        free(d);
        return nullptr;
    }
    pattern.pop_back();
    d->folder = _wcsdup(pattern.c_str());
    if (!d->folder) {
        FindClose(d->find);
        free(d);
        return nullptr;
    }
    d->first = true;
    return d;
}

/* Windows has no status relative to an open folder: the folder's path
** and the name make the whole path. */
int pal_wstat_last(pal_wdir *d, struct pal_stat *st)
{
    if (!d || d->first || !d->data.cFileName[0]) return -1;
    std::wstring full = std::wstring(d->folder) + d->data.cFileName;
    return pal_wstat((const uint16_t *)full.c_str(), st);
}

pal_wdirent *pal_wreaddir(pal_wdir *d)
{
    if (!d) return nullptr;
    if (!d->first && !FindNextFileW(d->find, &d->data)) return nullptr;
    d->first = false;
    size_t units = wcslen(d->data.cFileName);
    if (units > 1023) units = 1023;
    memcpy(d->ent.d_name, d->data.cFileName, units * 2);
    d->ent.d_name[2 * units] = d->ent.d_name[2 * units + 1] = 0;
    d->ent.d_namlen = (unsigned short)units;
    /* A reparse point (a symbolic link or a junction) is a link here. */
    DWORD attr = d->data.dwFileAttributes;
    d->ent.d_link = (attr & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    d->ent.d_kind = d->ent.d_link ? PAL_DK_UNKNOWN
                    : (attr & FILE_ATTRIBUTE_DIRECTORY) ? PAL_DK_FOLDER
                                                        : PAL_DK_FILE;
    return &d->ent;
}

int pal_wclosedir(pal_wdir *d)
{
    if (!d) return -1;
    FindClose(d->find);
    free(d->folder);
    free(d);
    return 0;
}

int pal_fseek64(FILE *f, int64_t off, int whence)
{
    return _fseeki64(f, off, whence == 0 ? SEEK_SET : whence == 1 ? SEEK_CUR : SEEK_END);
}

int64_t pal_ftell64(FILE *f) { return _ftelli64(f); }

int64_t pal_filelength64(FILE *f) { return _filelengthi64(_fileno(f)); }

int pal_wrealpath(const uint16_t *path, char *out, size_t size)
{
    HANDLE h = CreateFileW(W(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    std::wstring real(32768, L'\0');
    DWORD n = GetFinalPathNameByHandleW(h, &real[0], (DWORD)real.size(), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(h);
    if (n == 0 || n >= real.size()) return 0;
    real.resize(n);
    if (real.compare(0, 4, L"\\\\?\\") == 0) real.erase(0, 4);
    std::string r = pal_narrow(real.c_str());
    for (char &c : r)
        if (c == '\\') c = '/';
    if (r.size() >= size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    memcpy(out, r.c_str(), r.size() + 1);
    return 1;
}

int pal_set_file_times(const uint16_t *path, time_t atime, time_t mtime)
{
    struct __utimbuf64 t = {atime, mtime};
    return _wutime64(W(path), &t);
}

int pal_list_folder(const char *path, void (*each)(void *ctx, const char *name, int is_folder), void *ctx)
{
    std::wstring pattern = pal_widen(path);
    if (pattern.empty() || (pattern.back() != L'/' && pattern.back() != L'\\')) pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(pattern.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return 0;
    do {
        if (!wcscmp(fd.cFileName, L".") || !wcscmp(fd.cFileName, L"..")) continue;
        each(ctx, pal_narrow(fd.cFileName).c_str(), (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return 1;
}

int pal_is_separator(char c) { return c == '/' || c == '\\'; }

size_t pal_path_root(const char *path)
{
    if (isalpha((unsigned char)path[0]) && path[1] == ':') return pal_is_separator(path[2]) ? 3 : 0;
    return pal_is_separator(path[0]) ? 1 : 0;
}
