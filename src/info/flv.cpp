/*
** The FLV reader of the info text: the numbers of the onMetaData script
** tag.  Each property is found by its name in one window of 10000 bytes,
** and its AMF number (a big-endian double after the type byte 0) is written
** truncated to an integer; the codec ids are written as names where known.
*/
#include "global.h"
#include "info/info.h"

#include <climits>
#include <cmath>

#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

#define FLV_WIN 10000       /* the one window read */

/* What each property's line is: a plain number, or a codec id. */
enum { PLAIN, VIDEO_ID, AUDIO_ID };

/* The properties in the order their lines are written. */
static const struct {
    const char *name, *key;
    int kind;
} props[] = {
    {"duration", "Duration", PLAIN},
    {"width", "Width", PLAIN},
    {"height", "Height", PLAIN},
    {"videodatarate", "Videodatarate", PLAIN},
    {"framerate", "Framerate", PLAIN},
    {"videocodecid", "Videocodecid", VIDEO_ID},
    {"audiodatarate", "Audiodatarate", PLAIN},
    {"audiocodecid", "Audiocodecid", AUDIO_ID},
};

/* The name of video codec id, or null. */
static const char *video_name(int id)
{
    switch (id) {
    case 2: return "Sorenson H.263";
    case 3: return "Screen Video";
    case 4: return "VP6";
    case 5: return "On2 VP6";
    case 6: return "Screen Video V2";
    }
    return nullptr;
}

/* The name of audio codec id, or null. */
static const char *audio_name(int id)
{
    switch (id) {
    case 0: return "Uncompressed";
    case 1: return "ADPCM";
    case 2: return "MP3";
    case 5: return "Nellymoser 8kHz";
    case 6: return "NellyMoser";
    }
    return nullptr;
}

/* d truncated toward zero.  A value int cannot hold, and NaN, read as
** INT_MIN: what the processor's own truncating conversion gives. */
static int to_int(double d)
{
    if (std::isnan(d) || d <= (double)INT_MIN - 1.0 || d >= (double)INT_MAX + 1.0)
        return INT_MIN;
    return (int)d;
}

int info_flv(FILE *in, FILE *out, int64_t sz)
{
    WALK("info_flv");
    (void)sz;
    /* No seek: the window starts where the file stands, which info_data
    ** leaves at 0 for the first reader that runs. */
    static_assert(FLV_WIN <= 16384, "window kept on the stack");
    unsigned char buf[FLV_WIN];
    long len = (long)fread(buf, 1, sizeof buf, in);
    Debug("info_flv rd %ld", len);
    const char *text = (const char *)buf;
    if (!Find(text, "MetaData", len))
        return 0;

    for (const auto &p : props) {
        /* The first occurrence anywhere in the window, then the first zero
        ** byte after it: the AMF number marker that follows the name. */
        long at = Find(text, p.name, len);
        if (!at)
            continue;
        while (at < len && buf[at])
            at++;
        if (at + 1 + 8 > len)
            continue;
        double d = Get_Double(buf + at + 1);
        int v = to_int(d);
        Debug("%s = %d %f", p.name, v, d);

        const char *name = p.kind == VIDEO_ID ? video_name(v) : p.kind == AUDIO_ID ? audio_name(v) : nullptr;
        if (name)
            fprintf(out, "%s:%s\n", p.key, name);
        else
            fprintf(out, "%s:%d\n", p.key, v);
    }
    return 0;
}
