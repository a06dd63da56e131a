/*
** Private folders on Windows.  A folder below the user's profile is the
** user's own by its access rules, so a handle is the folder's path, kept in
** a table; names inside it are used only when they are plain files, never
** through a link (a reparse point).
*/
#include "pal/pal.h"
#include "pal/win32/win32_internal.h"

#include <mutex>
#include <string>

#define MAX_PRIVATE 32

static std::mutex private_lock;          /* guards folders */
static std::wstring folders[MAX_PRIVATE];

/* The path of name inside the folder with handle dir, or empty. */
static std::wstring inside(int dir, const char *name)
{
    std::lock_guard<std::mutex> g(private_lock);
    if (dir < 0 || dir >= MAX_PRIVATE || folders[dir].empty()) return std::wstring();
    return folders[dir] + L"\\" + pal_widen(name);
}

int pal_private_open(const char *path, int take)
{
    std::wstring w = pal_widen(path);
    if (take) CreateDirectoryW(w.c_str(), nullptr);
    DWORD a = GetFileAttributesW(w.c_str());
    if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY) || (a & FILE_ATTRIBUTE_REPARSE_POINT))
        return -1;
    std::lock_guard<std::mutex> g(private_lock);
    for (int i = 0; i < MAX_PRIVATE; i++)
        if (folders[i].empty()) {
            folders[i] = w;
            return i;
        }
    return -1;
}

void pal_private_close(int dir)
{
    std::lock_guard<std::mutex> g(private_lock);
    if (dir >= 0 && dir < MAX_PRIVATE) folders[dir].clear();
}

FILE *pal_private_create(int dir, const char *name, int)
{
    std::wstring p = inside(dir, name);
    if (p.empty()) return nullptr;
    DeleteFileW(p.c_str());
    return pal_wfopen((const uint16_t *)p.c_str(), (const uint16_t *)L"wbx");
}

int pal_private_plain(int dir, const char *name)
{
    std::wstring p = inside(dir, name);
    if (p.empty()) return 0;
    HANDLE h = CreateFileW(p.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    int plain = GetFileInformationByHandle(h, &info) &&
                !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
                info.nNumberOfLinks == 1;
    CloseHandle(h);
    return plain;
}

FILE *pal_private_read(int dir, const char *name)
{
    std::wstring p = inside(dir, name);
    if (p.empty() || !pal_private_plain(dir, name)) return nullptr;
    return pal_wfopen((const uint16_t *)p.c_str(), (const uint16_t *)L"rb");
}

int pal_private_remove(int dir, const char *name)
{
    std::wstring p = inside(dir, name);
    return !p.empty() && DeleteFileW(p.c_str()) ? 0 : -1;
}

int pal_private_rename(int dir, const char *from, const char *to)
{
    std::wstring a = inside(dir, from), b = inside(dir, to);
    return !a.empty() && !b.empty() && MoveFileExW(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : -1;
}
