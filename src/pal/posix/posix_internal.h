/*
** Declarations shared between the files of the POSIX platform layer only.
*/
#ifndef VELMORA_POSIX_INTERNAL_H
#define VELMORA_POSIX_INTERNAL_H

#include <cstddef>

/* The errno value behind a Windows Sockets error number (the number itself
** when it has no POSIX counterpart). */
int pal_errno_from_wsa(int wsa);

/* Ignores SIGPIPE and starts the thread that turns SIGTERM, SIGINT and SIGHUP
** into the main window's close request. */
void pal_signals_init(void);

/* Writes all n bytes at p to fd, going on after an interruption; 1 on
** success, else 0 with errno set. */
int pal_write_all(int fd, const char *p, size_t n);

#endif
