/*
** Windows process services: start-up, identity, environment, the command
** line, error codes and their texts, and the optional functions, which are
** the system's own through LoadLibraryA and GetProcAddress.
*/
#include "pal/common/pal_common.h"
#include "pal/pal.h"
#include "pal/win32/win32_internal.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <string>


std::wstring pal_widen(const char *s)
{
    if (!s || !*s) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring w((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s, -1, &w[0], n);
    w.resize((size_t)n - 1);
    return w;
}

std::string pal_narrow(const wchar_t *w)
{
    if (!w || !*w) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string s((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
    s.resize((size_t)n - 1);
    return s;
}

void pal_init(int argc, char **argv)
{
    /* Status lines and files are bytes: no CR is added behind the program's
    ** back, as on every other platform. */
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    /* No "program stopped working" box: a crash is reported and ends. */
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    pal_keep_command_line(argc, argv);
    pal_signals_init();
}

void pal_exit(int code)
{
    fflush(nullptr);
    ExitProcess((UINT)code);
}

int pal_process_id(void) { return (int)GetCurrentProcessId(); }

int pal_get_version(int *major, int *minor, int *platform)
{
    /* GetVersionEx answers what the program's manifest declares; the kernel's
    ** own query gives the real numbers. */
    typedef LONG(WINAPI * rtl_get_version_fn)(OSVERSIONINFOW *);
    OSVERSIONINFOW v;
    memset(&v, 0, sizeof v);
    v.dwOSVersionInfoSize = sizeof v;
    HMODULE nt = GetModuleHandleA("ntdll.dll");
    rtl_get_version_fn get = nt ? (rtl_get_version_fn)(void *)GetProcAddress(nt, "RtlGetVersion") : nullptr;
    if (!get || get(&v) != 0) return 0;
    *major = (int)v.dwMajorVersion;
    *minor = (int)v.dwMinorVersion;
    *platform = (int)v.dwPlatformId;
    return 1;
}

int pal_get_user_name(char *buf, unsigned long *size)
{
    if (!buf || !size || *size == 0) return 0;
    DWORD n = (DWORD)*size;
    if (!GetUserNameA(buf, &n)) return 0;
    *size = n > 0 ? n - 1 : 0;    /* GetUserNameA counts the NUL */
    return 1;
}

int pal_get_computer_name(char *buf, unsigned long *size)
{
    if (!buf || !size || *size == 0) return 0;
    DWORD n = (DWORD)*size;
    if (!GetComputerNameA(buf, &n)) return 0;
    *size = n;
    return 1;
}

/* The profile folder of the user is named after the account. */
int pal_get_profile_name(char *buf, unsigned long size)
{
    unsigned long n = size;
    return pal_get_user_name(buf, &n);
}

unsigned long pal_getenv(const char *name, char *buf, unsigned long size)
{
    char none[1];
    DWORD n = GetEnvironmentVariableA(name, buf && size ? buf : none, buf && size ? (DWORD)size : 0);
    if (n == 0) return 0;
    if (n >= size && buf && size > 0) {
        /* Too small: Windows leaves the buffer alone and tells the size. */
        std::string v((size_t)n, '\0');
        DWORD got = GetEnvironmentVariableA(name, &v[0], n);
        if (got == 0 || got >= n) return 0;
        memcpy(buf, v.data(), size - 1);
        buf[size - 1] = 0;
        return got;
    }
    return n;
}

int pal_last_error(void) { return (int)GetLastError(); }
void pal_set_last_error(int err) { SetLastError((DWORD)err); }

char *pal_error_text(int err, char *buf, size_t size)
{
    if (!buf || size == 0) return buf;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, (DWORD)err,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf, (DWORD)size, nullptr);
    if (n == 0) snprintf(buf, size, "Error %d", err);
    /* The system's texts end in CR LF; the trace adds its own line end. */
    size_t len = strlen(buf);
    while (len > 0 && (buf[len - 1] == '\n' || buf[len - 1] == '\r' || buf[len - 1] == ' ')) buf[--len] = 0;
    return buf;
}

/* ------------------------------------------------- optional functions */

void *pal_load_library(const char *dll) { return (void *)LoadLibraryA(dll); }

void *pal_get_proc_address(void *lib, const char *name)
{
    return lib ? (void *)GetProcAddress((HMODULE)lib, name) : nullptr;
}

/* The server keeps the machine awake with SetThreadExecutionState itself
** (through the optional-function table), which needs no helper here. */
const char *pal_keep_awake_text(void) { return "SetThreadExecutionState"; }

/* The desktop shows the dialogs; the panel opens only when asked. */
const char *pal_panel_default_address(void) { return "off"; }
