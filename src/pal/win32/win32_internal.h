/*
** Declarations shared between the files of the Windows platform layer only.
*/
#ifndef VELMORA_WIN32_INTERNAL_H
#define VELMORA_WIN32_INTERNAL_H

#include <string>

#include "pal/pal.h"

/* The system's headers, with the system's window handle named apart from
** the layer's own HWND (the dialog manager's windows). */
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#define HWND win32_HWND
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>
#undef HWND

/* Writes all n bytes at p to the file h, in pieces WriteFile takes; 1 on
** success, else 0 with the system's error set. */
int pal_write_handle(HANDLE h, const char *p, size_t n);

/* UTF-8 text to UTF-16 and back, for the system's wide calls. */
std::wstring pal_widen(const char *s);
std::string pal_narrow(const wchar_t *w);

/* Starts Windows Sockets and routes the console's close events (Ctrl-C,
** closing the window, log-off, shut-down) to the main window's close request. */
void pal_signals_init(void);

#endif
