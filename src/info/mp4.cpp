/*
** The MP4 and QuickTime reader of the info text: a walk over the file's
** atoms from the start to the end, descending into the containers and
** stepping over everything else (the media data included) by its size.  It
** writes the movie duration, the iTunes items, the free-form ("----") items,
** the video track's codec and size, the audio track's codec, channels, sample
** size and rate, and a frame-rate estimate from the chunk-offset table.
** Every field is read only when it lies inside both its atom and the bytes
** really read into the window.
*/
#include "global.h"
#include "info/info.h"

#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

#define ATOM_WIN 10000      /* the window of file bytes the walk reads */
#define NAME_BUF 256        /* the name of a free-form item */
#define ATOM_HEAD 8         /* size and type: the least an atom can be */
/* Atoms one walk visits at most.  A movie has a few hundred, a fragmented
** one a few per second of playing time; a file of tiny made-up atoms would
** otherwise cost a step per 8 bytes of a file of any size. */
#define MAX_ATOMS 100000

/* The atoms the walk enters: it steps over their 8-byte header only, so the
** next atom read is their first child.  The items named here are also
** metadata items; their "data" child is met as an atom of its own. */
static const char *const containers[] = {
    "moov", "clip", "udta", "trak", "edts", "matt", "mdia", "dinf", "minf",
    "stbl", "meta", "ilst", "----", ".nam", ".ART", ".gen", ".too",
};

/* The metadata items and the keys of their lines. */
static const struct {
    const char *type, *key;
} items[] = {
    {".alb", "Album"},   {".ART", "Artist"},       {"catg", "Category"},
    {".cmt", "Comment"}, {".wrt", "Composer"},     {".day", "Date"},
    {"desc", "Description"}, {".gen", "Genre"},    {"ldes", "More"},
    {".nam", "Title"},
};

/* What the walk remembers from atom to atom. */
struct walk_state {
    int audio, video;        /* the current track's kind, set by "hdlr" and "tkhd" */
    int64_t duration;        /* movie duration in seconds, or the raw value */
    int mean;                /* a free-form item's "mean" has been met */
    char name[NAME_BUF];     /* and the item's name */
};

/* Is the 4-byte type t one of the n types of list? */
static int one_of(const char *t, const char *const *list, size_t n)
{
    for (size_t k = 0; k < n; k++)
        if (memcmp(t, list[k], 4) == 0)
            return 1;
    return 0;
}

/* Length of the text of at most max bytes at p, up to its first zero byte. */
static long text_len(const unsigned char *p, long max)
{
    const void *z = memchr(p, 0, (size_t)max);
    return z ? (long)((const unsigned char *)z - p) : max;
}

/* Copies the four-character code at p into code (5 bytes). */
static void four_cc(char *code, const unsigned char *p)
{
    memcpy(code, p, 4);
    code[4] = 0;
}

/* The 32-bit big-endian value at p as a signed number: "greater than zero"
** tests on the movie header treat values with the top bit set as negative. */
static int64_t be32s(const unsigned char *p)
{
    return (int32_t)char2int(p, 4);
}

/* The 64-bit big-endian value at p. */
static uint64_t be64(const unsigned char *p)
{
    return ((uint64_t)char2int(p, 4) << 32) | char2int(p + 4, 4);
}

/* Handles one atom.  a points at its header; len is how many of its bytes
** are held (its size, or less when the window ends first).  *size may be
** replaced by the 64-bit size of an "mdat". */
static void handle(FILE *out, walk_state *w, const char *type, const unsigned char *a, long len,
                   int64_t *size)
{
    for (const auto &it : items)
        if (memcmp(type, it.type, 4) == 0 && len >= 24) {
            /* The text of the first "data" child: item header, data header,
            ** data type and locale come first.  The data type is not
            ** consulted, so a number item would print as raw bytes. */
            long n = text_len(a + 24, len - 24);
            fprintf(out, "%s:%.*s\n", it.key, (int)n, (const char *)(a + 24));
            Debug("%s = %.*s", it.key, (int)n, (const char *)(a + 24));
        }

    if (memcmp(type, "stsd", 4) == 0) {
        char code[5];
        if (w->audio && len >= 24) {
            four_cc(code, a + 20);
            fprintf(out, "Acodec:%s\n", code);
            if (len >= 42)
                fprintf(out, "Channels:%d\n", (int)char2int(a + 40, 2));
            if (len >= 44)
                fprintf(out, "Bits:%d\n", (int)char2int(a + 42, 2));
            if (len >= 50)
                fprintf(out, "Rate:%d\n", (int)char2int(a + 48, 2));
        }
        if (w->video && len >= 24) {
            four_cc(code, a + 20);
            fprintf(out, "Vcodec:%s\n", code);
        }
    }

    if (memcmp(type, "hdlr", 4) == 0) {
        /* Every handler clears the flags, the data handler of a QuickTime
        ** "minf" and the one of "meta" included. */
        w->audio = w->video = 0;
        if (len >= 20) {
            w->video = memcmp(a + 16, "vide", 4) == 0;
            w->audio = memcmp(a + 16, "soun", 4) == 0;
        }
    }

    if (memcmp(type, "mvhd", 4) == 0) {
        /* Version 1 headers hold 64-bit times further on; others are read
        ** at the version 0 offsets. */
        int v1 = len >= 9 && a[8] == 1;
        int64_t scale = 0, dur = 0;
        int have = 0;
        if (v1 && len >= 40) {
            scale = be32s(a + 28);
            uint64_t d = be64(a + 32);
            dur = d > (uint64_t)INT64_MAX ? -1 : (int64_t)d;
            have = 1;
        } else if (!v1 && len >= 28) {
            scale = be32s(a + 20);
            dur = be32s(a + 24);
            have = 1;
        }
        if (have && scale > 0 && dur > 0) {
            w->duration = dur / scale;
            Debug("duration %lld %lld = %lld", (long long)dur, (long long)scale, (long long)w->duration);
            fprintf(out, "Duration:%lld\n", (long long)w->duration);
        } else if (have) {
            /* The raw value stays: the frame-rate estimate divides by it. */
            Debug("***** Failed to locate duration");
            w->duration = dur;
        }
    }

    if (memcmp(type, "tkhd", 4) == 0 && !w->video) {
        int at = len >= 9 && a[8] == 1 ? 56 : 44;
        if (len >= at + 1) {
            /* The high byte of the volume: a silent track counts as video.
            ** A volume of 2.0 or more sets both flags. */
            w->audio = a[at];
            w->video = w->audio ^ 1;
            /* Width and height end the header, whatever its version. */
            if (*size >= 8 && *size <= len) {
                int wd = (int)char2int(a + *size - 8, 2), ht = (int)char2int(a + *size - 4, 2);
                if (w->video && wd && ht) {
                    Debug("resolution %dx%d", wd, ht);
                    fprintf(out, "Width:%d\n", wd);
                    fprintf(out, "Height:%d\n", ht);
                }
            }
        }
    }

    if (memcmp(type, "stco", 4) == 0 && w->video && w->duration != 0) {
        /* The table's size in 4-byte words per second: chunks per second
        ** plus a small constant, the frame rate when every chunk is a
        ** frame.  The entries themselves are never read. */
        int64_t rate = *size / 4 / w->duration;
        Debug("frame rate %lld", (long long)rate);
        fprintf(out, "%s:%lld\n", "Framerate", (long long)rate);
    }

    if (memcmp(type, "data", 4) == 0) {
        if (len >= 16) {
            long n = text_len(a + 16, len - 16);
            /* Property lists ("<?xml ...") are left out. */
            if ((n == 0 || a[16] != '<') && w->mean && w->name[0]) {
                fprintf(out, "%s:%.*s\n", w->name, (int)n, (const char *)(a + 16));
                Debug("%s = %.*s", w->name, (int)n, (const char *)(a + 16));
            }
        }
        w->mean = 0;
        w->name[0] = 0;
    }

    if (memcmp(type, "name", 4) == 0 && w->mean && len >= 12) {
        long n = text_len(a + 12, len - 12);
        if (n > NAME_BUF - 1)
            n = NAME_BUF - 1;
        memcpy(w->name, a + 12, (size_t)n);
        w->name[n] = 0;
    }

    if (memcmp(type, "mean", 4) == 0)
        w->mean = 1;

    if (memcmp(type, "mdat", 4) == 0 && *size == 1 && len >= 16) {
        /* A size beyond what a signed 64-bit position holds can only run
        ** past the end: it is kept as the largest one. */
        uint64_t big = be64(a + 8);
        *size = big > (uint64_t)INT64_MAX ? INT64_MAX : (int64_t)big;
        Debug("mdat 64-bit size %lld", (long long)*size);
    }
}

/* How many bytes of an atom of the type and size the handlers read, so that
** the window can be moved to the atom when they are not all held. */
static int64_t wanted(const char *type, int64_t size)
{
    static const char *const readers[] = {
        ".alb", ".ART", "catg", ".cmt", ".wrt", ".day", "desc", ".gen", "ldes", ".nam",
        "stsd", "hdlr", "mvhd", "tkhd", "data", "name",
    };
    if (one_of(type, readers, sizeof readers / sizeof readers[0]))
        return size < ATOM_WIN ? size : ATOM_WIN;
    if (memcmp(type, "mdat", 4) == 0 && size == 1)
        return 16;
    return 0;
}

int info_mpeg(FILE *in, FILE *out, int64_t sz)
{
    WALK("info_mpeg");
    static_assert(ATOM_WIN > 16, "the window holds an atom header");
    unsigned char buf[ATOM_WIN];
    walk_state w;
    memset(&w, 0, sizeof w);
    int64_t pos = 0;        /* file position of the atom */
    long i = 0;             /* its offset in the window */
    long rd = info_read_at(in, 0, buf, ATOM_WIN, sz);
    int zero = 0;           /* the last step was over a size of 0 */

    for (int atoms = 0; rd > 0; atoms++) {
        /* A file that ends inside an atom header ends the walk. */
        if (rd - i < 8)
            break;
        if (atoms == MAX_ATOMS) {
            Debug("walk stopped after %d atoms", MAX_ATOMS);
            break;
        }
        int64_t size = char2int(buf + i, 4);
        /* An unknown file size (-1) puts every atom past the end: a file
        ** that cannot be measured gets no lines. */
        if (pos + size > sz) {
            Debug("Broken file sz = %lld pos = %lld", (long long)sz, (long long)pos);
            break;
        }
        char type[5];
        four_cc(type, buf + i + 4);
        if ((unsigned char)type[0] == 0xA9)
            type[0] = '.';
        if (size)
            Debug("pos %08llx %c%c%c%c size %lld -> %08llx\n", (long long)pos, type[0], type[1],
                  type[2], type[3], (long long)size, (long long)(pos + size));

        /* Handlers read the atom whole: when it begins inside the window
        ** but runs past what was read, the window moves to the atom. */
        int64_t want = wanted(type, size);
        if (i > 0 && i + want > rd) {
            long got = info_read_at(in, pos, buf, ATOM_WIN, sz);
            if (got < 8)
                break;
            rd = got;
            i = 0;
        }
        /* A 64-bit "mdat" size follows a 32-bit size of 1: its header is
        ** the one atom read past its own size field's count. */
        long held = rd - i;
        int64_t span = size == 1 && memcmp(type, "mdat", 4) == 0 ? 16 : size;
        long len = span < held ? (long)span : held;
        handle(out, &w, type, buf + i, len, &size);

        /* What cannot be an atom ends the walk: a size too small for its
        ** own header, or a second size of 0 in a row.  One size of 0 is
        ** the version and flags of a "meta" or the end of a QuickTime
        ** list, and is stepped over; a run of them is a file of zeros,
        ** such as a movie whose download has not reached it yet. */
        if ((size > 0 && size < ATOM_HEAD) || (size == 0 && zero)) {
            Debug("no atom at %lld", (long long)pos);
            break;
        }
        zero = size == 0;

        /* "meta" is a full box: stepping 8 lands on its version and flags,
        ** which read as an atom of size 0 and are stepped over by 4. */
        int64_t step = one_of(type, containers, sizeof containers / sizeof containers[0]) ? 8
                       : size ? size : 4;
        if (step > sz - pos) {
            Debug("Broken file sz = %lld pos = %lld", (long long)sz, (long long)pos);
            break;
        }
        pos += step;
        Debug("pos %lld  i %lld  sz %lld, result %lld", (long long)pos, (long long)(i + step),
              (long long)sz, (long long)rd);
        if (step >= rd - i - 8) {
            rd = info_read_at(in, pos, buf, ATOM_WIN, sz);
            i = 0;
        } else {
            i += (long)step;
        }
    }
    return 0;
}
