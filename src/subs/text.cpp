/*
** Text and byte utilities: bounded copying and formatting, case-insensitive
** and binary searches, percent coding of links and request paths, the
** UTF-8 fold to 8-bit names, UTF-16 to UTF-8 and back, dotted addresses,
** hex digits and readers of multi-byte numbers in either byte order.
**
** Everything works in the caller's buffers or on the stack; nothing
** allocates.  No function reads or writes outside its buffers whatever the
** bytes it is given: every loop stops at the terminating NUL or the stated
** size, and every fixed output is cut rather than overrun.
*/
#include "global.h"
#include "subs/text.h"

#include <cstdarg>
#include <climits>

#include "subs/threads.h"
#include "subs/trace.h"

/* Digits of every "%XX" escape this module writes. */
static const char hexdig[] = "0123456789ABCDEF";

/* Fixed sizes of the percent-coded and folded texts, NUL included. */
#define CODE_BUF  1000    /* Encode and Decode: 999 characters */
#define FOLD_BUF  2000    /* utf8_decode: 1999 characters */
#define PARAM_BUF 1024    /* Param: the caller's command-line buffers */

/* ASCII lower case; other bytes unchanged.  The C library's tolower() would
** depend on the locale and is undefined for negative chars. */
static int lower(int c)
{
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

/* ASCII upper case; other bytes unchanged. */
static int upper(int c)
{
    return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c;
}

/* Length of s, looking at no more than max bytes. */
static size_t bounded_len(const char *s, size_t max)
{
    size_t n = 0;
    while (n < max && s[n])
        n++;
    return n;
}

/* ------------------------------------------------------- bounded strings */

/* Copies src into dst of size bytes, cutting what does not fit.  Returns
** the length copied. */
size_t scopy(char *dst, size_t size, const char *src)
{
    if (size == 0)
        return 0;
    size_t n = bounded_len(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = 0;
    return n;
}

/* Formats into the size bytes at dst.  Returns the length of the whole
** text, which is size or more when it was cut. */
static size_t vformat(char *dst, size_t size, const char *fmt, va_list ap)
{
    int n = vsnprintf(size ? dst : nullptr, size, fmt, ap);
    if (n < 0) {                   /* encoding error: leave an empty text */
        if (size)
            dst[0] = 0;
        return 0;
    }
    return (size_t)n;
}

/* Appends formatted text to the text in dst.  Returns the new length of
** the whole text in dst. */
static size_t vappend(char *dst, size_t size, const char *fmt, va_list ap)
{
    if (size == 0)
        return 0;
    size_t len = bounded_len(dst, size);
    if (len == size) {             /* no terminator inside dst: cut it */
        dst[size - 1] = 0;
        return size - 1;
    }
    /* On an encoding error vformat writes only the NUL already at len. */
    size_t n = vformat(dst + len, size - len, fmt, ap);
    return n < size - len ? len + n : size - 1;
}

/* Bounded printf into dst.  Returns the length of the whole text, as
** snprintf does. */
size_t sfmt(char *dst, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    size_t n = vformat(dst, size, fmt, ap);
    va_end(ap);
    return n;
}

/* Bounded append of formatted text to the text in dst.  Returns the new
** length of the text in dst; size - 1 means it may have been cut. */
size_t sappend(char *dst, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    size_t n = vappend(dst, size, fmt, ap);
    va_end(ap);
    return n;
}

/* Appends formatted text to buf, a command-line or reply buffer of 1024
** bytes.  Returns the new length of the text in buf. */
int Param(char *buf, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    size_t n = vappend(buf, PARAM_BUF, fmt, ap);
    va_end(ap);
    return (int)n;
}

/* -------------------------------------------------------------- searches */

/* Position of the first case-insensitive occurrence of pat in str, or -1.
** An empty pat occurs at position 0. */
static long search(const char *str, const char *pat)
{
    if (!pat[0])
        return 0;
    int first = lower((unsigned char)pat[0]);
    for (long i = 0; str[i]; i++) {
        if (lower((unsigned char)str[i]) != first)
            continue;
        long k = 1;
        while (pat[k] && str[i + k] &&
               lower((unsigned char)str[i + k]) == lower((unsigned char)pat[k]))
            k++;
        if (!pat[k])
            return i;
        if (!str[i + k])           /* str ended first: no later match fits */
            return -1;
    }
    return -1;
}

/* Position of the first case-insensitive occurrence of pat in str.  Returns
** 0 for no match and, on purpose, for a match at position 0: the header and
** tag searches that use it look for a name that cannot start the text. */
int Scan(const char *str, const char *pat)
{
    long pos = search(str, pat);
    return pos > 0 ? (int)pos : 0;
}

/* Returns 1 if pat occurs anywhere in str, without regard to case, else 0. */
int locate(const char *str, const char *pat)
{
    return search(str, pat) >= 0;
}

/* Exact search of pat in the first size bytes of buf; only a whole match
** inside those bytes counts.  Returns its offset, or 0 for none and for a
** match at offset 0 (as Scan).  A pattern starting with a NUL byte is read
** as 4 bytes, so the media readers can look for start codes 00 00 01 xx. */
long Find(const char *buf, const char *pat, long size)
{
    long len = pat[0] ? (long)strlen(pat) : 4;
    if (size < len)
        return 0;
    long last = size - len;        /* last offset where a match fits */
    for (long i = 0; i <= last; i++) {
        const void *hit = memchr(buf + i, pat[0], (size_t)(last - i + 1));
        if (!hit)
            return 0;
        i = (const char *)hit - buf;
        /* The second byte rules out most places the first one found. */
        if ((len < 2 || buf[i + 1] == pat[1]) && memcmp(buf + i, pat, (size_t)len) == 0)
            return i;
    }
    return 0;
}

/* -------------------------------------------------------- percent coding */

/* Percent-escapes every byte below 33 or above 127 for use in a link; the
** result is cut at 999 characters, never inside an escape.  Returns 0. */
int Encode(const char *in, char *out)
{
    WALK("Encode");
    char tmp[CODE_BUF];            /* so that in and out may be the same */
    size_t o = 0;
    for (const unsigned char *p = (const unsigned char *)in; *p; p++) {
        if (*p < 33 || *p > 127) {
            if (o + 3 > CODE_BUF - 1)
                break;
            tmp[o++] = '%';
            tmp[o++] = hexdig[*p >> 4];
            tmp[o++] = hexdig[*p & 15];
        } else {
            if (o + 1 > CODE_BUF - 1)
                break;
            tmp[o++] = (char)*p;
        }
    }
    tmp[o] = 0;
    memcpy(out, tmp, o + 1);
    return 0;
}

int hex_digit(int c)
{
    if (!c)
        return -1;
    const char *d = strchr(hexdig, upper(c));
    return d ? (int)(d - hexdig) : -1;
}

int starts(const char *s, const char *prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

int same_nocase(const void *a, const char *b, size_t n)
{
    const unsigned char *p = (const unsigned char *)a;
    for (size_t i = 0; i < n; i++)
        if (lower(p[i]) != lower((unsigned char)b[i])) return 0;
    return 1;
}

/* Undoes Encode for request paths and library locations: folds two-byte
** UTF-8 (utf8_decode), turns each valid "%XX" into its byte and then
** "&amp;" and "&apos;" into "&" and "'".  An invalid escape is traced and
** left in the text as it was.  Input is cut at 999 characters.  Returns 0. */
int Decode(const char *in, char *out)
{
    WALK("Decode");
    char src[CODE_BUF], txt[CODE_BUF], esc[CODE_BUF];
    scopy(src, sizeof src, in);    /* in and out may be the same buffer */

    /* The fold runs before unescaping, so an escaped "%C3%A9" stays two
    ** bytes while a literal UTF-8 "é" becomes one. */
    utf8_decode(txt, src);

    size_t o = 0;
    for (size_t i = 0; txt[i];) {
        if (txt[i] != '%') {
            esc[o++] = txt[i++];
            continue;
        }
        int x = hex_digit((unsigned char)txt[i + 1]);
        int y = -1;
        if (x < 0)
            Debug("***** decode failed [%s]", txt);
        if (txt[i + 1]) {          /* never look past the end of the text */
            y = hex_digit((unsigned char)txt[i + 2]);
            if (y < 0)
                Debug("***** decode failed [%s]", txt);
        }
        if (x >= 0 && y >= 0) {
            esc[o++] = (char)(x * 16 + y);
            i += 3;
        } else {
            esc[o++] = txt[i++];   /* keep the "%", go on after it */
        }
    }
    esc[o] = 0;

    /* "&amp;apos;" also becomes "'": after "&amp;" turns into "&" the same
    ** position is looked at again for "&apos;".  Nothing else is. */
    o = 0;
    for (const char *p = esc; *p;) {
        if (starts(p, "&amp;")) {
            if (starts(p + 5, "apos;")) {
                out[o++] = '\'';
                p += 10;
            } else {
                out[o++] = '&';
                p += 5;
            }
        } else if (starts(p, "&apos;")) {
            out[o++] = '\'';
            p += 6;
        } else {
            out[o++] = *p++;
        }
    }
    out[o] = 0;

    if (strcmp(out, src) != 0) {
        Debug("in [%s]", src);
        Debug("out [%s]", out);
    }
    return 0;
}

/* ------------------------------------------------------------- UTF forms */

/* Folds each two-byte UTF-8 sequence with lead byte 0xC0-0xC3 (the Latin-1
** range) into its 8-bit character; longer sequences and lone bytes are
** copied.  Input is cut at 1999 characters.  Returns 0. */
int utf8_decode(char *out, const char *in)
{
    WALK("utf8_decode");
    char src[FOLD_BUF];            /* in and out may be the same buffer */
    scopy(src, sizeof src, in);

    size_t o = 0;
    for (size_t i = 0; src[i]; i++) {
        unsigned char c1 = (unsigned char)src[i];
        unsigned char c2 = (unsigned char)src[i + 1];
        /* Only a real continuation byte completes the pair; a lead byte at
        ** the end of the text or before ASCII stays as it is. */
        if (c1 >= 0xC0 && c1 <= 0xC3 && (c2 & 0xC0) == 0x80) {
            Debug("c1 = %02x  c2 = %02x", (unsigned)c1, (unsigned)c2);
            out[o++] = (char)(c2 | ((c1 & 3) << 6));
            i++;
        } else {
            out[o++] = (char)c1;
        }
    }
    out[o] = 0;

    if (strcmp(out, src) != 0) {
        Debug("in [%s]", src);
        Debug("out [%s]", out);
    }
    return 0;
}

/* Converts size bytes of UTF-16 to UTF-8 in out (3 * size + 1 bytes, or
** 9 * size + 1 with escape): order 1 big-endian, 2 little-endian, 0 by the
** byte-order mark.  Returns the bytes written, the NUL not counted. */
int Wide2UTF(char *out, const char *in, int size, int order, int escape)
{
    const unsigned char *p = (const unsigned char *)in;
    int pos = 0, n = 0;

    if (size < 0)
        size = 0;
    if (order == 0) {
        if (size >= 2 && p[0] == 0xFE && p[1] == 0xFF) {
            order = 1;
            pos = 2;
        } else if (size >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
            order = 2;
            pos = 2;
        } else {
            /* No mark: the text is taken to be 8-bit already (ID3 frames in
            ** ISO-8859-1) and is copied as it is, never escaped. */
            memcpy(out, in, (size_t)size);
            out[size] = 0;
            return size;
        }
    }

    while (size - pos >= 2) {
        unsigned u = order == 1 ? (unsigned)(p[pos] << 8 | p[pos + 1])
                                : (unsigned)(p[pos] | p[pos + 1] << 8);
        pos += 2;
        if (u == 0)
            break;

        /* Surrogate pairs are not combined: each half becomes 3 bytes. */
        unsigned char b[3];
        int k;
        if (u < 0x80) {
            b[0] = (unsigned char)u;
            k = 1;
        } else if (u < 0x800) {
            b[0] = (unsigned char)(0xC0 | u >> 6);
            b[1] = (unsigned char)(0x80 | (u & 0x3F));
            k = 2;
        } else {
            b[0] = (unsigned char)(0xE0 | u >> 12);
            b[1] = (unsigned char)(0x80 | ((u >> 6) & 0x3F));
            b[2] = (unsigned char)(0x80 | (u & 0x3F));
            k = 3;
        }
        for (int j = 0; j < k; j++) {
            if (escape) {
                out[n++] = '%';
                out[n++] = hexdig[b[j] >> 4];
                out[n++] = hexdig[b[j] & 15];
            } else {
                out[n++] = (char)b[j];
            }
        }
    }
    out[n] = 0;
    return n;
}

/* Narrows UTF-16LE text in place to its low bytes, stopping after the first
** NUL copied or when the next even offset would reach size.  It adds no
** terminator of its own: the text ends at the NUL it copied. */
void pack(char *buf, int size)
{
    for (int j = 0; 2 * j < size; j++) {
        buf[j] = buf[2 * j];
        if (!buf[j])
            break;
    }
}

/* Turns every backslash in str into "/".  Returns 0. */
int flip_slash(char *str)
{
    WALK("flip_slash");
    for (; *str; str++)
        if (*str == '\\')
            *str = '/';
    return 0;
}

/* Converts a UTF-8 path to UTF-16 units in out, writing at most max - 1
** units and a zero unit.  A byte that does not lead a 2 or 3-byte sequence
** (ASCII, a stray continuation byte, a 4-byte lead) is a character by
** itself, so Latin-1 names still open; so is a lead byte that is not
** followed by its continuation bytes.  Returns the units written, the zero
** not counted. */
int utf8_to_utf16(const char *in, uint16_t *out, int max)
{
    if (max <= 0)
        return 0;
    const unsigned char *p = (const unsigned char *)in;
    int n = 0;
    /* "caf\xE9.txt" and "caf\xC3\xA9.txt" name the same file. */
    while (*p && n < max - 1) {
        unsigned b0 = p[0], ch;
        if ((b0 & 0xE0) == 0xC0 && (p[1] & 0xC0) == 0x80) {
            ch = (b0 & 0x1F) << 6 | (p[1] & 0x3Fu);
            p += 2;
        } else if ((b0 & 0xF0) == 0xE0 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80) {
            ch = (b0 & 0x0F) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
            p += 3;
        } else {
            ch = b0;
            p++;
        }
        out[n++] = (uint16_t)ch;
    }
    out[n] = 0;
    return n;
}

/* --------------------------------------------------------------- numbers */

/* Parses a dotted address into out[0..3], all first set to 0.  Digits
** build the current byte (kept to 8 bits: "300" gives 44); any other
** character moves to the next byte, and the fourth separator ends it. */
void Split_IP(const char *text, unsigned char out[4])
{
    memset(out, 0, 4);
    int k = 0;
    for (; *text; text++) {
        int c = (unsigned char)*text;
        if (c >= '0' && c <= '9')
            out[k] = (unsigned char)(out[k] * 10 + (c - '0'));
        else if (++k == 4)
            break;
    }
}


const char *read_decimal(const char *p, long long lo, long long hi, long long *out)
{
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    int neg = 0;
    if (*p == '+' || *p == '-')
        neg = *p++ == '-';
    if (*p < '0' || *p > '9')
        return nullptr;
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        int d = *p - '0';
        v = v > (LLONG_MAX - d) / 10 ? LLONG_MAX : v * 10 + d;
    }
    if (neg)
        v = -v;
    *out = v < lo ? lo : v > hi ? hi : v;
    return p;
}

int decimal_int(const char *text)
{
    long long v = 0;
    read_decimal(text, INT_MIN, INT_MAX, &v);
    return (int)v;
}

/* Unsigned big-endian value of the first n bytes of buf. */
uint32_t char2int(const unsigned char *buf, int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; i++)
        v = v * 256 + buf[i];
    return v;
}

/* 32-bit little-endian value at buf. */
uint32_t Get_Int(const unsigned char *buf)
{
    return (uint32_t)buf[0] | (uint32_t)buf[1] << 8 |
           (uint32_t)buf[2] << 16 | (uint32_t)buf[3] << 24;
}

/* 64-bit little-endian value at buf. */
uint64_t Get_LongLong(const unsigned char *buf)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = v << 8 | buf[i];
    return v;
}

/* IEEE 754 double stored big-endian at buf (sign and exponent first). */
double Get_Double(const unsigned char *buf)
{
    uint64_t bits = 0;
    for (int i = 0; i < 8; i++)
        bits = bits << 8 | buf[i];
    double d;
    memcpy(&d, &bits, sizeof d);
    return d;
}

char *Put_Number(char *p, long long n, int width, char pad)
{
    unsigned long long m = n < 0 ? 0ULL - (unsigned long long)n : (unsigned long long)n;
    char d[24];
    int k = 0;
    do {
        d[k++] = (char)('0' + m % 10);
        m /= 10;
    } while (m);
    int len = k + (n < 0);
    if (pad != '0')
        for (; len < width; len++) *p++ = pad;
    if (n < 0) *p++ = '-';
    for (; len < width; len++) *p++ = '0';
    while (k) *p++ = d[--k];
    return p;
}

/* The 24-character clock text of t in local time. */
size_t Clock_Text(time_t t, char *out, size_t size)
{
    WALK("Clock_Text");
    static const char days[] = "SunMonTueWedThuFriSat";
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (!size) return 0;
    struct tm tm = {};   /* a time the system cannot convert reads as zeros */
    pal_localtime(t, &tm);
    int wd = tm.tm_wday >= 0 && tm.tm_wday < 7 ? tm.tm_wday : 0;
    int mo = tm.tm_mon >= 0 && tm.tm_mon < 12 ? tm.tm_mon : 0;
    /* English names whatever the locale: players parse this.  Written by
    ** hand, not through a format: a listing writes one per entry. */
    char text[96], *p = text;   /* room for every field at its widest */
    memcpy(p, days + 3 * wd, 3);
    p[3] = ' ';
    memcpy(p + 4, months + 3 * mo, 3);
    p += 7;
    p = Put_Number(p, tm.tm_mday, 3, ' ');
    *p++ = ' ';
    p = Put_Number(p, tm.tm_hour, 2, '0');
    *p++ = ':';
    p = Put_Number(p, tm.tm_min, 2, '0');
    *p++ = ':';
    p = Put_Number(p, tm.tm_sec, 2, '0');
    *p++ = ' ';
    p = Put_Number(p, (long long)tm.tm_year + 1900, 1, ' ');
    size_t n = (size_t)(p - text);
    if (n > size - 1) n = size - 1;
    memcpy(out, text, n);
    out[n] = 0;
    return n;
}

/* No call-trace entry here: answers are built from dozens of calls, and a
** fault inside one is already placed by its caller's entry. */
size_t bld(size_t cnt, char *out, size_t size, const char *in)
{
    if (!size) return 0;
    if (cnt > size - 1) cnt = size - 1;
    size_t n = strnlen(in, size - 1 - cnt);
    memcpy(out + cnt, in, n);
    out[cnt + n] = 0;
    return cnt + n;
}
