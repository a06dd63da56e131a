/*
** The request handler: one thread per accepted connection, the parsing of a
** request into lines and the headers it knows, and the small helpers that
** build and send answers.
*/
#ifndef VELMORA_CLIENT_H
#define VELMORA_CLIENT_H

#include "global.h"

#define REQ_LINES  20        /* lines of a request that are kept */
#define REQ_LINE   1024      /* one line: 1023 characters and the NUL */
#define REQ_RECV   4096      /* a request arrives in one receive of this size */
#define CONN_BUF   100000    /* receive, header and send buffer of a connection */

/* The headers of one request that the handler acts on.  The texts point
** into the line table they were scanned from. */
struct REQ_HEAD {
    const char *referer;     /* "-" when absent */
    const char *agent;       /* "-" when absent */
    const char *cookie;      /* null when absent */
    long long start, end;    /* byte range, end one past the last byte; 0 = none */
    int status;              /* 206 when a range was asked for, else 0 */
    int close;               /* 1 when the client asked to close the connection */
};

/* Serves the connection on socket s until it ends; closes s.  Returns 0. */
int client(int s);

/* Splits the n received bytes of buf into the line table arg (emptied
** first): a line feed ends a line, carriage returns are dropped, a line is
** cut at REQ_LINE - 1 characters and lines after the REQ_LINES-th are
** ignored.  Returns the number of lines filled. */
int split_request(const char *buf, size_t n, char arg[REQ_LINES][REQ_LINE]);

/* The length of the request at the start of buf (n bytes), up to and with
** its empty line; 0 while that has not arrived. */
size_t request_length(const char *buf, size_t n);

/* In every non-empty line but the first, turns the first colon into "=" and
** removes the one character after it ("Range: bytes=0-" becomes
** "Range=bytes=0-").  Returns 0. */
int fold_headers(char arg[REQ_LINES][REQ_LINE]);

/* Fills h from the start of each line: Connection, Referer, User-Agent,
** Cookie and Range.  Returns 0. */
int scan_headers(char arg[REQ_LINES][REQ_LINE], REQ_HEAD *h);

/* Reads a range "first-last" (as "%lld-%lld") from text into start and end;
** end becomes one past the last byte when it is not 0; a suffix of no
** bytes ("-0") gives start 0 and end -1, a range no stream satisfies.
** Values are held within +/-10^18.  Returns the number of values read (0,
** 1 or 2); 0 means the text is no range. */
int get_range(const char *text, long long *start, long long *end);

/* The methods a request line can name, as get_method numbers them. */
enum { METHOD_GET = 0, METHOD_POST = 1, METHOD_PUT = 2, METHOD_HEAD = 3, METHOD_OTHER = 4 };

/* The method of a request line: the METHOD_ number of its first four
** characters ("GET ", "POST", "PUT ", "HEAD"), METHOD_OTHER for any other. */
int get_method(const char *line);

/* Copies the request target out of a request line (from its fifth character
** on): leading blanks skipped, then up to a blank, a control character or
** the end; out holds at most size - 1 characters.  Returns the count. */
int request_target(char *out, const char *in, size_t size);

/* Sends the len bytes of buf to the connection s, waiting while the peer
** takes them, but no longer than Stall_Seconds without any progress (10
** seconds when Crowded): the connection is then to end, and is reset when
** it closes.  Returns len, or fewer (-1 for none) on failure or stall. */
int send_bounded(pal_socket s, const void *buf, int len);
/* The same for len bytes of the open stream f from its byte off, sent
** straight from the file (pal_send_file).  Returns the bytes sent (fewer
** when the file ends sooner), -1 on failure or stall, or
** PAL_SEND_FILE_REFUSED when the stream must be read and sent instead. */
long long send_file_bounded(pal_socket s, FILE *f, long long off, long long len);

/* The bound of a stalled send, in seconds: 300.  Start-up sets it from the
** environment variable VELMORA_STALL_SECONDS, so tests need not wait. */
extern std::atomic<int> Stall_Seconds;

/* Answers the target item as the /Roku/ tree decides (Map_Target): a page of
** its own is sent here and the send's result returned; else 0 with the path
** to serve in out (MAX_PATH_TXT bytes), empty for a missing one. */
int Serve_Roku(pal_socket s, char *item, char *out, int req);

/* Sends ans followed by two line feeds in one send.  Returns the send's
** result. */
int reply(pal_socket s, const char *ans);

#endif
