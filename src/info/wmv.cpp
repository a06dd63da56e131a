/*
** The WMV (ASF) reader of the info text: the file properties object gives
** the duration and maximum bit rate, the first stream properties object
** with no error correction the picture size.  Both are found by byte
** patterns of their identifiers in one window of 10000 bytes; every field
** is checked against the bytes really read.
*/
#include "global.h"
#include "info/info.h"

#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

#define WMV_WIN 10000       /* the one window read */

/* The first bytes of the file properties object's identifier. */
static const char file_props[] = "\xA1\xDC\xAB\x8C";
/* Bytes 1 to 4 of the no-error-correction identifier: its first byte is 0,
** which the search would take as a 4-byte start code, so it is left out. */
static const char no_correction[] = "\x57\xFB\x20\x55";

int info_wmv(FILE *in, FILE *out, int64_t sz)
{
    WALK("info_wmv");
    (void)sz;
    /* No seek: the window starts where the file stands, which info_data
    ** leaves at 0 for the first reader that runs. */
    static_assert(WMV_WIN <= 16384, "window kept on the stack");
    unsigned char buf[WMV_WIN];
    long len = (long)fread(buf, 1, sizeof buf, in);
    Debug("info_wmv rd %ld", len);
    const char *text = (const char *)buf;

    /* Send duration at +72 in units of 100 ns, maximum bit rate at +100. */
    long f = Find(text, file_props, len);
    if (f && f + 80 <= len) {
        int64_t sd = (int64_t)Get_LongLong(buf + f + 72);
        Debug("sd = %lld", (long long)sd);
        fprintf(out, "Duration:%lld\n", (long long)(sd / 10000000));
        if (f + 104 <= len)
            fprintf(out, "Maxbitrate:%d\n", (int)Get_Int(buf + f + 100));
    }

    /* The match is 41 bytes into a stream properties object; its
    ** type-specific data starts 37 bytes later with the image width and
    ** height.  The first match is taken, whatever the stream's type. */
    long p = Find(text, no_correction, len);
    if (!p)
        return 0;
    if (p + 41 <= len)
        fprintf(out, "Width:%d\n", (int)Get_Int(buf + p + 37));
    if (p + 45 <= len)
        fprintf(out, "Height:%d\n", (int)Get_Int(buf + p + 41));
    return 0;
}
