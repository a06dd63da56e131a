/*
** The MPEG program stream reader of the info text: the picture size and
** frame rate of the first video sequence header, and a duration estimated
** from the time codes of two group-of-pictures headers, one in the first
** window and one in a window stepped back from the end of the file.  A start
** code counts only when the 32-bit word after it lies inside the bytes read.
*/
#include "global.h"
#include "info/info.h"

#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

#define MPG_WIN   10000     /* one window of the file */
#define END_WINS  9         /* windows tried back from the end */

/* The start codes searched for: four bytes each (Find takes a pattern that
** begins with NUL as four bytes long). */
static const char seq_code[] = "\0\0\1\xB3";
static const char gop_code[] = "\0\0\1\xB8";

/* The frame rates of the sequence header's codes 1 to 8, as text. */
static const char *const rates[9] = {
    nullptr, "23.976", "24", "25", "29.97", "30", "50", "59.94", "60",
};

/* The word after the first code in the rd bytes of buf, in *word; 0 when
** none is there.  The search leaves out the last 4 bytes, so a code found
** always has its word inside the window; like every Find, a code at the
** window's very first byte is not found. */
static int code_word(const unsigned char *buf, long rd, const char *code, uint32_t *word,
                     long *at)
{
    if (rd < 8)
        return 0;
    long off = Find((const char *)buf, code, rd - 4);
    if (!off)
        return 0;
    *word = char2int(buf + off + 4, 4);
    *at = off;
    return 1;
}

/* Hours, minutes and seconds of a group-of-pictures time code; the
** drop-frame flag, the marker bit and the picture count are not used. */
static int tc_hours(uint32_t t) { return (int)((t >> 26) & 0x1F); }
static int tc_minutes(uint32_t t) { return (int)((t >> 20) & 0x3F); }
static int tc_seconds(uint32_t t) { return (int)((t >> 13) & 0x3F); }

int info_mpg(FILE *in, FILE *out, int64_t sz)
{
    WALK("info_mpg");
    unsigned char buf[MPG_WIN];
    /* The first window is read where the file stands: at its start. */
    long rd = (long)fread(buf, 1, MPG_WIN, in);
    uint32_t word;
    long at;

    if (code_word(buf, rd, seq_code, &word, &at)) {
        int code = (int)(word & 0xF);
        int width = (int)(word >> 20), height = (int)((word >> 8) & 0xFFF);
        if (code >= 1 && code <= 8) {
            Debug("frame rate = %s", rates[code]);
            fprintf(out, "Framerate:%s\n", rates[code]);
        }
        Debug("height = %d", height);
        fprintf(out, "Height:%d\n", height);
        Debug("width = %d", width);
        fprintf(out, "Width:%d\n", width);
    }

    if (!code_word(buf, rd, gop_code, &word, &at))
        return 0;
    uint32_t start = word;
    Debug("Start");
    Dump("Start", buf + at, rd - at < 16 ? (int)(rd - at) : 16);
    Debug("start = %04x", start);

    uint32_t end = 0;
    int found = 0;
    for (int n = 1; n <= END_WINS && !found; n++) {
        int64_t pos = sz - (int64_t)MPG_WIN * n;
        if (pos < 0)
            return 0;
        Debug("pos = %lld", (long long)pos);
        if (My_fseek64(in, pos, 0))
            return 0;
        rd = (long)fread(buf, 1, MPG_WIN, in);
        if (rd < MPG_WIN) {
            Debug("read %ld %d", rd, MPG_WIN);
            return 0;
        }
        if (code_word(buf, rd, gop_code, &word, &at)) {
            end = word;
            found = 1;
            Debug("End");
            Dump("End", buf + at, rd - at < 16 ? (int)(rd - at) : 16);
            Debug("end = %04x", end);
        }
    }
    if (!found)
        return 0;

    /* Field by field, without carrying: a time code that wraps or starts
    ** again gives the difference as it comes out, negative included. */
    int h = tc_hours(end) - tc_hours(start);
    int m = tc_minutes(end) - tc_minutes(start);
    int s = tc_seconds(end) - tc_seconds(start);
    Debug("h = %d  m = %d s = %d", h, m, s);
    int duration = s + (m + h * 60) * 60;
    Debug("duration = %d", duration);
    fprintf(out, "Duration:%d\n", duration);
    return 0;
}
