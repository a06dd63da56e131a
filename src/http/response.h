/*
** Answers: the one writer of header blocks, MIME types, byte ranges, files
** sent in blocks and pages of our own sent whole.
*/
#ifndef VELMORA_RESPONSE_H
#define VELMORA_RESPONSE_H

#include "global.h"

#define SEND_BLOCK 100000    /* bytes read and sent at a time through a buffer */
/* Bytes sent at a time straight from a file.  Larger than SEND_BLOCK: each
** block costs a system call, a progress update and a status line, and with
** no copy through the program these were a large part of the cost. */
#define DIRECT_BLOCK (1 << 20)

/* One line of a header block: "name: value". */
struct header_line {
    const char *name;
    const char *value;
};

/* Writes the header block "HTTP/1.1 status", the count lines in their
** order and the empty line, LF-only, into buf (size bytes, cut to fit).
** Returns its length.  Every header block of the server comes from here. */
size_t write_header(char *buf, size_t size, const char *status, const header_line *lines, int count);

/* Sends a page of our own as a text/plain answer with cnt bytes of output
** as its body (left out for HEAD), header and body in one buffer.  Returns
** the bytes sent, or the failed send's result. */
int send_page(pal_socket s, const char *output, size_t cnt, int req);

/* For the extension of in: the MIME type (idx 0), the extension list (1) or
** the description (2); "text/plain" and null when there is no such row. */
const char *getmime(const char *in, int idx);

/* Fits the asked range [start, end) (end one past the last byte, 0 for to
** the end; start below 0 for the last -start bytes) to a stream of size
** bytes, clamping an end past it.  Returns 0 when no byte of the stream is
** asked for: the answer is then 416. */
int fit_range(long long *start, long long *end, long long size);

/* What send_file answers: the request and the file it is answered with. */
struct SEND_FILE {
    int req;                  /* METHOD_GET or METHOD_HEAD */
    int status;               /* 0 (means 200), 206 or 404 */
    long long start, end;     /* the range; end one past the last byte, 0 = to the end */
    const char *item;         /* its extension picks the MIME type */
    const char *path;         /* the file's path, for the recent list */
    time_t mtime;             /* Last-Modified */
    const char *line;         /* the request line, for the access log */
    const char *referer;      /* the request's Referer, for the access log */
    const char *agent;        /* the request's User-Agent, for the access log */
};

/* Answers f's request with the stream in, which it closes: the header block
** for f->status (206 with the range; 404 without Last-Modified), the MIME
** type of f->item's extension and f->mtime as Last-Modified; for GET the body
** from f->start in blocks of DIRECT_BLOCK bytes sent straight from the file,
** or of SEND_BLOCK bytes read into buf where the stream cannot go straight
** (pal_send_file), with a shortfall under 1000
** bytes padded with zero bytes.  A video sent from its first byte enters the
** recent list by path.  Logs the request line with referer and agent.  buf
** (size bytes, at least SEND_BLOCK) holds the header and each block.
** Returns 0, or -1 when a send of the body failed. */
int send_file(pal_socket s, FILE *in, const SEND_FILE *f, char *buf, size_t size);

#endif
