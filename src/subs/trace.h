/*
** The trace log (trace.txt) and the switch that opens and closes it and the
** access log (access.txt).
*/
#ifndef VELMORA_TRACE_H
#define VELMORA_TRACE_H

#include <cstdarg>
#include "global.h"

/* The open trace and access logs, or null. */
extern std::atomic<FILE *> TRA;
extern std::atomic<FILE *> AUD;

/* One trace line, when the trace is open; otherwise nothing. */
void Debug(const char *fmt, ...) PAL_PRINTF(1, 2);

/* Formats and writes one trace line: slot, local time to the millisecond,
** the release code letter, the message.  Returns 0. */
int trace(const char *fmt, va_list args);

/* Bounds the trace the calling thread writes from now on to about bytes
** (a negative count lifts the bound).  The request handler sets it at the
** start of each request, so no request can fill the disk with its trace:
** past the bound one line says so and the rest is left out. */
void Trace_Budget(long bytes);

/* Writes an octal/hex dump of size bytes under a header line.  Returns 0. */
int Dump(const char *tag, const void *buffer, int size);

/* Applies My_Trace and Audit: opens or closes trace.txt and access.txt,
** then calls the hook set by Set_Diag_Hook with the status text ("Audit
** Trace", "Audit", "Trace" or "").  Returns 0. */
int Set_Diag(void);

/* The application's part of every Set_Diag: showing the status text (and
** whatever else it does at each switch).  Null (the default) calls nothing. */
typedef void (*Diag_Hook)(const char *status);
void Set_Diag_Hook(Diag_Hook hook);

/* Writes the len bytes of line to the access log in one write.  Returns the
** count written, or -1 when the log is closed.  A short write closes the log
** (AUD becomes null) until the switch opens it again. */
long Audit_Put(const char *line, size_t len);

/* Appends line to the access log whether it is open or not (opened and
** closed for it); the log switch stays as it is.  Returns the bytes
** written. */
long Audit_Append(const char *line, size_t len);

/* Opens trace.txt for the crash report when no trace is open; safe to call
** from a signal handler on the faulting thread.  Returns the file or null. */
FILE *Crash_Trace(void);

/* The milliseconds field of trace lines: (ticks - strtick) modulo 1000. */
long trace_ms(void);

#endif
