/*
** Access control (the cookie sequence that admits a player) and the access
** log.
*/
#ifndef VELMORA_ACCESS_H
#define VELMORA_ACCESS_H

#include "global.h"

#define MAX_ALLOWED 100      /* slots of the access tables; one more is shared */
#define LOG_TXT     1000     /* one access-log line, NUL included */
#define SLOT_QUIET_SECONDS 1800   /* quiet time after which a full table lends a slot */

/* Chk_Cookie's decisions. */
enum { ACCESS_REFUSE = 0, ACCESS_ACCEPT = 1, ACCESS_START = 2 };

/* Decides on a request from address rip with cookie (null when none) and the
** request line req: ACCESS_ACCEPT, ACCESS_START (start a cookie sequence) or
** ACCESS_REFUSE.  A connection passes its held slot (-1 at first): the
** first accepted request sets it to the address's slot, which is then kept
** from other addresses until Release_Slot(*held) at the connection's end. */
int Chk_Cookie(uint32_t rip, const char *cookie, const char *req, int *held = nullptr);

/* 1 when address rip holds a slot in which a request was accepted: a
** player that has been served before. */
int Known_Player(uint32_t rip);

/* Ends a connection's hold on its slot (nothing for -1). */
void Release_Slot(int held);

/* How long an address with no connection open must have been quiet before
** a full table gives its slot to another: SLOT_QUIET_SECONDS.  Start-up sets
** it from the environment variable VELMORA_SLOT_QUIET_SECONDS. */
extern std::atomic<int> Slot_Quiet_Seconds;

/* Decodes a 40-character cookie into the claimed address cip and the
** sequence number tok.  Returns 1, or 0 when cookie is not 40 characters. */
int decode_cookie(const char *cookie, uint32_t *cip, int *tok);

/* How a bare answer (a status line and its header lines) goes out on s: the
** request handler's reply.  Returns the send's result. */
typedef int (*Bare_Answer)(pal_socket s, const char *ans);

/* Starts a cookie sequence for the peer rip on socket s: a fresh start number
** in its slot, sent with answer in a redirect.  The caller then closes s.
** Returns the send's result. */
int Start_Sequence(pal_socket s, uint32_t rip, Bare_Answer answer);

/* The pause after a refusal, in milliseconds: 5000.  Start-up sets it from
** the environment variable VELMORA_REFUSE_PAUSE_MS, so tests need not wait. */
extern std::atomic<int> Refuse_Pause_ms;

/* Refuses the request line req on socket s: logs it with status 403 even
** when the access log is off, counts and shows the intruder attempt, and
** waits Refuse_Pause_ms (not while the thread table is more than half
** full).  Nothing is sent; the caller then closes s.  Returns 0. */
int Refuse_Access(pal_socket s, const char *req, const char *referer, const char *agent);

/* Writes one access-log line for the request on socket s.  Returns 0. */
int http_log(pal_socket s, const char *arg, int stat, long long size, const char *referer,
             const char *agent, int always = 0);

/* Formats the access-log line of a request from peer at the time given as
** clock text into out (size bytes), cutting the request line and the header
** values so that the line always ends in its closing quote and line feed.
** Returns the line's length. */
size_t log_line(char *out, size_t size, uint32_t peer, const char *clock, const char *arg,
                int stat, long long bytes, const char *referer, const char *agent);

#endif
