/*
** A stand-in for the Roku channel: it speaks to a Velmora server the way the
** channel does.  The first request goes without a cookie and is answered
** with a redirect whose "?r" is the start number; from then on every request
** carries a 40-digit cookie holding the client's own address and the next
** sequence number, hidden by a random second half.  Requests share one
** keep-alive connection until the server closes it.
*/
#ifndef VELMORA_ROKU_CHANNEL_H
#define VELMORA_ROKU_CHANNEL_H

#include <cstdint>
#include <string>

struct Channel_Answer {
    int status = 0;          /* the status number of the first line, 0 if none */
    std::string head;        /* everything up to and including the empty line */
    std::string body;
    bool closed = false;     /* the server closed the connection after it */
};

struct Channel {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string source;      /* the local address to connect from; any when empty */
    long sequence = -1;      /* the last sequence number used; -1 before the start */
    int sock = -1;

    /* Asks for a start number (a request without a cookie).  Returns the
    ** start number, or -1 when the server gave none. */
    long start(void);

    /* One request: method "GET" or "HEAD", the target as it goes on the wire
    ** (percent-encoded), optional extra header lines (each ending in "\r\n").
    ** Starts the sequence first when there is none.  Returns false when no
    ** answer could be read. */
    bool request(const std::string &method, const std::string &target, Channel_Answer &out,
                 const std::string &extra = "");

    /* The cookie for sequence number seq, claiming the address addr
    ** (a.b.c.d as a<<24|b<<16|c<<8|d). */
    static std::string cookie(uint32_t addr, long seq);

    /* Sends raw bytes on a new or the open connection and reads one answer. */
    bool raw(const std::string &bytes, Channel_Answer &out, bool head_only = false);

    void close_connection(void);
    ~Channel() { close_connection(); }

    /* Opens the connection when none is open.  False when it cannot. */
    bool ensure_connected(void);
    /* The local address of the open connection (the one cookies claim). */
    uint32_t local_address(void);

private:
    bool read_answer(Channel_Answer &out, bool head_only);
};

#endif
