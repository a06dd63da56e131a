/*
** The FLAC reader of the info text: the metadata blocks after the stream
** marker, walked in one window of 10000 bytes.  STREAMINFO gives the
** channels, sample rate and total samples; each Vorbis comment NAME=value
** becomes a line NAME:value.  The other blocks are only traced.
*/
#include "global.h"
#include "info/info.h"


#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

#define FLAC_WIN 10000      /* the one window read */
#define TAG_BUF  200        /* one Vorbis comment, cut at 199 bytes */

/* Names of the block types that are only traced, by type number. */
static const char *const traced[7] = {
    nullptr, "PADDING", "APPLICATION", "SEEKTABLE", nullptr, "CUESHEET", "PICTURE",
};

/* STREAMINFO at block offset at, body length blen (len bytes read): the
** channels and sample rate from body bytes 10 to 12, the 36-bit sample
** count from 13 to 17.  The fields are read even when the block says it is
** shorter, as long as they lie within the bytes read. */
static void stream_info(FILE *out, const unsigned char *buf, long at, long blen, long len)
{
    const unsigned char *b = buf + at + 4;
    long body = len - (at + 4);
    Debug("STREAMINFO");
    Dump("STREAMINFO", b, (int)(blen < body ? blen : body));
    if (body >= 10)
        Debug("min blk %u max blk %u min frm %u max frm %u", char2int(b, 2), char2int(b + 2, 2),
              char2int(b + 4, 3), char2int(b + 7, 3));
    if (body < 13)
        return;
    uint32_t v = char2int(b + 10, 3);
    fprintf(out, "Channels:%d\n", (int)((v >> 1) & 7) + 1);
    fprintf(out, "Samplerate:%d\n", (int)(v >> 4));
    if (body < 18)
        return;
    int64_t samples = (int64_t)(b[13] & 0x0F) << 32 | char2int(b + 14, 4);
    fprintf(out, "Samples:%lld\n", (long long)samples);
}

/* Writes the comment of n bytes at p when it holds "=" past its first
** character: the first "=" becomes ":".  The text ends at a zero byte. */
static void comment_line(FILE *out, const unsigned char *p, long n)
{
    char tag[TAG_BUF];
    if (n > TAG_BUF - 1)
        n = TAG_BUF - 1;
    memcpy(tag, p, (size_t)n);
    tag[n] = 0;
    if (!tag[0] || !strchr(tag + 1, '='))
        return;
    *strchr(tag, '=') = ':';
    fprintf(out, "%s\n", tag);
    Debug("TAG [%s]", tag);
}

/* VORBIS_COMMENT at block offset at, body length blen.  Only the low byte
** of each 32-bit length is read, on purpose: a vendor text or comment of
** 256 bytes or more is misread, never read past the window.  A field past
** the bytes read ends the walk. */
static void vorbis_comment(FILE *out, const unsigned char *buf, long at, long blen, long len)
{
    const unsigned char *b = buf + at + 4;
    long body = len - (at + 4);
    Debug("VORBIS_COMMENT");
    Dump("VORBIS_COMMENT", b, (int)(blen < body ? blen : body));
    if (body < 1)
        return;
    long j = at + 4 + 4 + b[0];          /* the comment count */
    if (j >= len)
        return;
    /* A count whose low byte is 0 starts the walk at the count itself: it
    ** reads as an empty comment, and the walk goes on from the next field. */
    if (buf[j])
        j += 4;
    /* The limit compares the offset from the block header with the length
    ** of the body alone. */
    while (j - at < blen && j + 4 <= len) {
        long n = buf[j];
        long from = j + 4;
        comment_line(out, buf + from, n < len - from ? n : len - from);
        j = from + n;
        if (j >= len || buf[j] == 0)
            break;
    }
}

int info_flac(FILE *in, FILE *out, int64_t sz)
{
    WALK("info_flac");
    (void)sz;
    /* No seek: the window starts where the file stands, which info_data
    ** leaves at 0 for the first reader that runs. */
    static_assert(FLAC_WIN <= 16384, "window kept on the stack");
    unsigned char buf[FLAC_WIN];
    long len = (long)fread(buf, 1, sizeof buf, in);
    Debug("info_flac rd %ld", len);
    if (len < 4 || !same_nocase(buf, "flac", 4))
        return 0;

    /* Each step moves on by at least the 4 bytes of a block header. */
    long at = 4;
    while (at + 4 <= len) {
        int head = buf[at];
        long blen = (long)char2int(buf + at + 1, 3);
        int type = head & 0x7F;
        Debug("blk %02X length %ld", head, blen);
        if (type == 0)
            stream_info(out, buf, at, blen, len);
        else if (type == 4)
            vorbis_comment(out, buf, at, blen, len);
        else if (type < 7)
            Debug("%s adrs %ld - length = %ld", traced[type], at, blen);
        if (head & 0x80)
            break;
        at += 4 + blen;
    }
    return 0;
}
