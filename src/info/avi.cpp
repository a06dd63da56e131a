/*
** The AVI reader of the info text: the main header ("avih") gives the
** maximum data rate and the frame size, the first stream header ("strh")
** the frame rate and, through its length, the duration.  One window of
** 1000 bytes is read where the file stands; every field is checked against
** the bytes really read.
*/
#include "global.h"
#include "info/info.h"

#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

#define AVI_WIN 1000        /* the one window read */

/* Does a 4-byte field at offset at lie inside the len bytes read? */
static int inside(long at, long len)
{
    return at >= 0 && at + 4 <= len;
}

/* The 32-bit value at offset at, written as the signed decimal the info
** text uses. */
static int int_at(const unsigned char *buf, long at)
{
    return (int)Get_Int(buf + at);
}

int info_avi(FILE *in, FILE *out, int64_t sz)
{
    WALK("info_avi");
    (void)sz;
    /* No seek: the window starts where the file stands, which info_data
    ** leaves at 0 for the first reader that runs. */
    unsigned char buf[AVI_WIN];
    long len = (long)fread(buf, 1, sizeof buf, in);
    Debug("info_avi rd %ld", len);

    /* A field past the bytes read ends the reader with the lines so far. */
    long a = Find((const char *)buf, "avih", len);
    if (!a)
        return 0;
    Debug("avih at %ld", a);
    if (!inside(a + 12, len))
        return 0;
    /* Bytes per second in the header; the line is in bits per second, in
    ** 32-bit arithmetic like the field itself. */
    fprintf(out, "Maxbitrate:%d\n", (int)(Get_Int(buf + a + 12) * 8u));
    if (!inside(a + 40, len))
        return 0;
    fprintf(out, "Width:%d\n", int_at(buf, a + 40));
    if (!inside(a + 44, len))
        return 0;
    fprintf(out, "Height:%d\n", int_at(buf, a + 44));

    /* The first stream header, whatever its stream type. */
    long s = Find((const char *)buf, "strh", len);
    if (!s || !inside(s + 32, len))
        return 0;
    Debug("strh at %ld", s);
    /* The fields are unsigned, and so is the division: no sign trouble
    ** with values of 2^31 and more. */
    uint32_t scale = Get_Int(buf + s + 28), rate = Get_Int(buf + s + 32);
    if (!scale)
        scale = 1;
    if (!rate)
        rate = 1;
    uint32_t fps = rate / scale;
    Debug("scale %u rate %u", scale, rate);
    /* Whole frames per second: 30000/1001 gives 29, 1000/1001 gives 0 and
    ** then no duration. */
    fprintf(out, "Framerate:%d\n", (int)fps);
    if (fps && inside(s + 40, len))
        fprintf(out, "Duration:%d\n", (int)(Get_Int(buf + s + 40) / fps));
    return 0;
}
