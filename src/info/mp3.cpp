/*
** The MP3 reader of the info text: the text frames of an ID3v2 tag at the
** start, the bit rate of the first audio frame with a constant-bit-rate
** estimate of the duration, and for files without ID3v2 an ID3v1 or
** enhanced ("TAG+") tag near the end.  Pictures are skipped, never read.
** Every read of the windows below is checked against the bytes really read.
*/
#include "global.h"
#include "info/info.h"

#include "subs/files.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"

#define HEAD_BUF  10000     /* the head window */
#define TAG_WIN   1000      /* first read, tag windows and the tail */
#define VALUE_BUF 1000      /* one converted tag value */

/* Bit rates in kbit/s by the 4-bit index of the frame header. */
static const int rate_m1_l1[16] = {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0};
static const int rate_m1_l2[16] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0};
static const int rate_m1_l3[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
static const int rate_m2_l1[16] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0};
static const int rate_m2_l23[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};

/* The ID3v1 genres with the Winamp extensions, in their original order and
** spelling ("Psychadelic" and "A capella" included): players match them. */
static const char *const genre[126] = {
    "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop",
    "Jazz", "Metal", "New Age", "Oldies", "Other", "Pop", "R&B", "Rap",
    "Reggae", "Rock", "Techno", "Industrial", "Alternative", "Ska", "Death Metal", "Pranks",
    "Soundtrack", "Euro-Techno", "Ambient", "Trip-Hop", "Vocal", "Jazz+Funk", "Fusion", "Trance",
    "Classical", "Instrumental", "Acid", "House", "Game", "Sound Clip", "Gospel", "Noise",
    "AlternRock", "Bass", "Soul", "Punk", "Space", "Meditative", "Instrumental Pop", "Instrumental Rock",
    "Ethnic", "Gothic", "Darkwave", "Techno-Industrial", "Electronic", "Pop-Folk", "Eurodance", "Dream",
    "Southern Rock", "Comedy", "Cult", "Gangsta", "Top 40", "Christian Rap", "Pop/Funk", "Jungle",
    "Native American", "Cabaret", "New Wave", "Psychadelic", "Rave", "Showtunes", "Trailer", "Lo-Fi",
    "Tribal", "Acid Punk", "Acid Jazz", "Polka", "Retro", "Musical", "Rock & Roll", "Hard Rock",
    "Folk", "Folk-Rock", "National Folk", "Swing", "Fast Fusion", "Bebob", "Latin", "Revival",
    "Celtic", "Bluegrass", "Avantgarde", "Gothic Rock", "Progressive Rock", "Psychedelic Rock", "Symphonic Rock", "Slow Rock",
    "Big Band", "Chorus", "Easy Listening", "Acoustic", "Humour", "Speech", "Chanson", "Opera",
    "Chamber Music", "Sonata", "Symphony", "Booty Bass", "Primus", "Porn Groove", "Satire", "Slow Jam",
    "Club", "Tango", "Samba", "Folklore", "Ballad", "Power Ballad", "Rhythmic Soul", "Freestyle",
    "Duet", "Punk Rock", "Drum Solo", "A capella", "Euro-House", "Dance Hall",
};

/* A text frame identifier and the key its value is written under. */
struct text_frame {
    const char *id;
    const char *key;
};
static const text_frame frames_v3[] = {
    {"TALB", "album"}, {"TIT2", "title"}, {"TPE1", "artist"},
    {"TYER", "year"},  {"TRCK", "track"}, {"TCON", "genre"},
};
static const text_frame frames_v2[] = {
    {"TAL", "album"}, {"TT2", "title"}, {"TP1", "artist"},
    {"TYE", "year"},  {"TRK", "track"}, {"TCO", "genre"},
};

/* Big-endian frame size of n bytes at p; with syncsafe set, 7 bits a byte. */
static int64_t frame_size(const unsigned char *p, int n, int syncsafe)
{
    int64_t v = 0;
    for (int i = 0; i < n; i++)
        v = syncsafe ? (v << 7) | (p[i] & 0x7F) : (v << 8) | p[i];
    return v;
}

/* The text frame at p (len bytes left in the window), or null. */
static const text_frame *text_id(const unsigned char *p, long len, const text_frame *set, int idlen)
{
    if (len < idlen)
        return nullptr;
    /* The scan asks at every byte: the first letter decides most. */
    for (int i = 0; i < 6; i++)
        if (p[0] == (unsigned char)set[i].id[0] && memcmp(p, set[i].id, (size_t)idlen) == 0)
            return &set[i];
    return nullptr;
}

/* Writes the line of key for the n text bytes at p: UTF-16 text with a
** byte-order mark is percent-escaped UTF-8, other text goes as it is.  The
** encoding byte is not consulted.  A value longer than the value buffer is
** cut, never inside an escape. */
static void text_line(FILE *out, const char *key, const unsigned char *p, long n)
{
    static_assert(TAG_WIN <= 1000, "conversion buffer sized for a tag window");
    char wide[9 * TAG_WIN + 1];
    if (n > TAG_WIN)
        n = TAG_WIN;
    int len = Wide2UTF(wide, (const char *)p, (int)n, 0, 1);
    if (len > VALUE_BUF - 1) {
        len = VALUE_BUF - 1;
        if (len >= 1 && wide[len - 1] == '%')
            len -= 1;
        else if (len >= 2 && wide[len - 2] == '%')
            len -= 2;
        wide[len] = 0;
    }
    /* A value without a byte-order mark stops at its first NUL. */
    if (!wide[0])
        return;
    fprintf(out, "%s:%s\n", key, wide);
    Debug("%s", wide);
}

/* Scans the text frames of an ID3v2 tag whose first window (len bytes) is in
** buf: every byte position is tried, so unknown frames are crossed byte by
** byte.  A picture frame ("APIC", or "PIC" in version 2) is skipped by its
** size, reading a new window when it ends past this one.  Returns the file
** position where the scan stopped: the audio starts there. */
static int64_t scan_tag(FILE *in, FILE *out, unsigned char *buf, long len, int version, int64_t sz)
{
    const int v2 = version == 2;
    const int idlen = v2 ? 3 : 4, head = v2 ? 6 : 10;
    const text_frame *set = v2 ? frames_v2 : frames_v3;
    const char *pic = v2 ? "PIC" : "APIC";
    int64_t win = 0;        /* file position of buf[0] */
    int64_t j = 10;

    while (j < len) {
        const unsigned char *p = buf + j;
        long left = len - (long)j;
        const text_frame *tf = text_id(p, left, set, idlen);
        if (tf) {
            if (left < idlen + idlen) {      /* size field cut off */
                j++;
                continue;
            }
            int64_t s = frame_size(p + idlen, idlen, version == 4);
            /* A frame of only its encoding byte is passed over: the scan
            ** goes on at the next byte, so padding after it does not end
            ** the tag. */
            if (s == 1) {
                j++;
                continue;
            }
            /* The text follows the header and the encoding byte; only the
            ** part inside the window is read. */
            int64_t from = j + head + 1;
            int64_t n = s - 1;
            if (from >= len || n <= 0)
                n = 0;
            else if (n > len - from)
                n = len - from;
            if (n > 0)
                text_line(out, tf->key, buf + from, (long)n);
            j += head + s;
            if (j < len && buf[j] == 0)       /* padding: the tag ends */
                break;
            continue;
        }
        if (left >= idlen + idlen && p[0] == (unsigned char)pic[0] && memcmp(p, pic, (size_t)idlen) == 0) {
            j += head + frame_size(p + idlen, idlen, version == 4);
            Debug("j after APIC %04llX", (long long)j);
            if (j >= len) {
                int64_t pos = win + j;
                if (sz >= 0 && pos > sz)
                    return pos;
                len = info_read_at(in, pos, buf, TAG_WIN, sz);
                Debug("Skip Pos %lld rd %ld", (long long)pos, len);
                win = pos;
                j = 0;
            }
            continue;
        }
        j++;
    }
    return win + j;
}

/* The bit-rate table of a stream version (3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5)
** and layer (3 Layer I, 2 Layer II, 1 Layer III); reserved values read as
** MPEG-2 Layer II and III. */
static const int *rate_table(int vers, int layer)
{
    if (vers == 3)
        return layer == 3 ? rate_m1_l1 : layer == 2 ? rate_m1_l2 : layer == 1 ? rate_m1_l3 : rate_m2_l23;
    if ((vers == 2 || vers == 0) && layer == 3)
        return rate_m2_l1;
    return rate_m2_l23;
}

/* Writes the bit rate of the first frame header within 10000 bytes of pos
** and the duration it gives for the rest of the file.  Only that frame is
** read: a variable-bit-rate file gets the estimate of its first frame. */
static void first_frame(FILE *in, FILE *out, int64_t pos, int64_t sz, unsigned char *buf)
{
    long rd = info_read_at(in, pos, buf, HEAD_BUF, sz);
    Debug("Flags Pos %lld rd %ld", (long long)pos, rd);
    for (long k = 0; k + 2 < rd; k++) {
        if (buf[k] != 0xFF || (buf[k + 1] & 0xE0) != 0xE0 || buf[k + 2] == 0xFF)
            continue;
        int index = buf[k + 2] >> 4;
        if (index == 0 || index == 15)
            continue;
        Dump("blk start", buf + k, rd - k < 16 ? (int)(rd - k) : 16);
        int vers = (buf[k + 1] & 0x18) >> 3, layer = (buf[k + 1] & 0x06) >> 1;
        Debug("vers %d layer %d rate %d samp %d", vers, layer, index, (buf[k + 2] >> 2) & 3);
        int64_t bps = (int64_t)rate_table(vers, layer)[index] * 1000;
        fprintf(out, "bitrate:%lld\n", (long long)bps);
        /* The size is -1 when unknown; the estimate then comes out negative. */
        int64_t audio = sz - (pos + k);
        fprintf(out, "duration:%lld\n", (long long)(audio * 8 / bps));
        return;
    }
}

/* Writes the line of key for the fixed-width field at p: cut at its first
** NUL, stripped of trailing spaces, nothing when no text remains. */
static void field_line(FILE *out, const char *key, const unsigned char *p, int width)
{
    char v[64];
    int n = 0;
    while (n < width && n < (int)sizeof v - 1 && p[n])
        n++;
    memcpy(v, p, (size_t)n);
    while (n > 0 && v[n - 1] == ' ')
        n--;
    v[n] = 0;
    if (n)
        fprintf(out, "%s:%s\n", key, v);
}

/* Reads the tags at the end of a file without ID3v2: an enhanced tag
** ("TAG+") or an ID3v1 tag, whichever comes first in the last 1000 bytes.
** APE tag markers are stepped over, their items not read. */
static void tail_tags(FILE *in, FILE *out, int64_t sz, unsigned char *buf)
{
    int64_t from = sz > TAG_WIN ? sz - TAG_WIN : 0;
    long n = info_read_at(in, from, buf, TAG_WIN, sz);
    Debug("Read tail = %ld", n);
    int ape = 0;
    for (long i = 0; i < n; i++) {
        const unsigned char *p = buf + i;
        long left = n - i;
        /* Most bytes begin no marker: the first letter decides. */
        if (*p != 'A' && *p != 'T')
            continue;
        if (left >= 7 && memcmp(p, "APETAGE", 7) == 0) {
            Debug(ape ? "found APETAGE end" : "found APETAGE begin");
            ape = !ape;
            i += 6;
            continue;
        }
        if (left >= 4 && memcmp(p, "TAG+", 4) == 0) {
            /* An enhanced tag cut off by the end of the file is not an
            ** ID3v1 tag either. */
            if (left < 227)
                continue;
            Debug("found TAG+");
            field_line(out, "title", p + 4, 60);
            field_line(out, "artist", p + 64, 60);
            field_line(out, "album", p + 124, 60);
            field_line(out, "genre", p + 185, 30);
            field_line(out, "stime", p + 215, 6);
            field_line(out, "etime", p + 221, 6);
            return;
        }
        if (left >= 128 && memcmp(p, "TAG", 3) == 0) {
            Debug("found TAG");
            field_line(out, "title", p + 3, 30);
            field_line(out, "artist", p + 33, 30);
            field_line(out, "album", p + 63, 30);
            field_line(out, "year", p + 93, 4);
            field_line(out, "comment", p + 97, 30);
            if (p[127] < 126)
                fprintf(out, "genre:%s\n", genre[p[127]]);
            return;
        }
    }
}

int info_mp3(FILE *in, FILE *out, int64_t sz)
{
    WALK("info_mp3");
    unsigned char buf[HEAD_BUF + 1];
    long len = info_read_at(in, 0, buf, TAG_WIN, sz);
    buf[len] = 0;
    Debug("Head = %s", (const char *)buf);

    /* Only the version byte of the tag header is used, not its size: the
    ** frames themselves say where the tag ends. */
    int id3 = len >= 3 && memcmp(buf, "ID3", 3) == 0;
    int64_t audio = 0;
    if (id3 && len >= 4) {
        int version = buf[3];
        Debug("found ID3 version %d", version);
        if (version == 2 || version == 3 || version == 4)
            audio = scan_tag(in, out, buf, len, version, sz);
    }

    first_frame(in, out, audio, sz, buf);
    if (!id3)
        tail_tags(in, out, sz, buf);
    return 0;
}
