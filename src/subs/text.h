/*
** Text and byte utilities shared by the request handler, the media readers
** and the library importers: bounded copying and formatting, searches,
** percent coding, UTF-8 and UTF-16 conversion, address and hex parsing and
** readers of multi-byte numbers.  All work in caller buffers; none allocates.
*/
#ifndef VELMORA_TEXT_H
#define VELMORA_TEXT_H

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "pal/pal.h"

/* Bounded copy: copies src into dst of `size` bytes, always NUL-terminated
** (when size > 0).  Returns the length copied; a result of size - 1 with a
** longer src means the text was cut. */
size_t scopy(char *dst, size_t size, const char *src);

/* Bounded printf: formats into dst of `size` bytes, cutting what does not
** fit, always NUL-terminated (when size > 0).  Returns the length of the
** whole text, as snprintf does: a result of size or more means the text was
** cut to size - 1 characters, a smaller one that it fit. */
size_t sfmt(char *dst, size_t size, const char *fmt, ...)
    PAL_PRINTF(3, 4);

/* Bounded append of printf-style text at the end of the text in dst. */
size_t sappend(char *dst, size_t size, const char *fmt, ...)
    PAL_PRINTF(3, 4);

/* Appends in to out (a buffer of size bytes) at position cnt, NUL-terminated,
** cutting what does not fit.  Returns the new length. */
size_t bld(size_t cnt, char *out, size_t size, const char *in);

/* Writes n in decimal at p, filled on the left up to width characters
** with pad (' ' before a minus sign, '0' after it, as printf's "%*lld" and
** "%0*lld" do); returns the end.  No terminating zero; p has room for width
** and 21 characters. */
char *Put_Number(char *p, long long n, int width, char pad);

/* The clock text of t in local time, "Www Mmm dd hh:mm:ss yyyy" (English
** names, the day padded with a blank), into out.  Returns its length. */
size_t Clock_Text(time_t t, char *out, size_t size);

/* Position of the first case-insensitive occurrence of pat in str; 0 when
** none, and also when the occurrence is at position 0 (callers use it where a
** match at the very start cannot be the one they look for). */
int Scan(const char *str, const char *pat);

/* 1 if pat occurs anywhere in str, compared without regard to case. */
int locate(const char *str, const char *pat);

/* 1 when s begins with prefix, compared exactly. */
int starts(const char *s, const char *prefix);

/* 1 when the n bytes at a match the first n characters of b without regard
** to ASCII case (a need not be NUL-terminated). */
int same_nocase(const void *a, const char *b, size_t n);

/* Exact byte search of pat in the first size bytes of buf: the first offset,
** or 0 when none (a match at offset 0 also gives 0).  A pattern whose first
** byte is NUL is taken as 4 bytes long (MPEG start codes). */
long Find(const char *buf, const char *pat, long size);

/* Percent-escapes every byte below 33 or above 127 ("%E9"); out holds at
** most 999 characters.  Returns 0. */
int Encode(const char *in, char *out);

/* The reverse of Encode, with the UTF-8 fold of utf8_decode first and the
** entities &amp; and &apos; after; invalid escapes stay as they are.  out
** holds at most 999 characters.  Returns 0. */
int Decode(const char *in, char *out);

/* Folds two-byte UTF-8 sequences with lead byte 0xC0-0xC3 into one 8-bit
** character (0xC3 0xA9 becomes 0xE9); other bytes are copied.  Input of at
** most 1999 characters.  Returns 0. */
int utf8_decode(char *out, const char *in);

/* UTF-16 text of size bytes to UTF-8: order 1 big-endian, 2 little-endian, 0
** by byte-order mark (without one the bytes are copied unchanged).  With
** escape set every output byte is written as "%XX".  out must hold
** 3 * size + 1 bytes (9 * size + 1 with escape).  Returns the bytes written,
** the NUL not counted. */
int Wide2UTF(char *out, const char *in, int size, int order, int escape);

/* UTF-16LE to 8-bit text in place, keeping the low bytes. */
void pack(char *buf, int size);

/* Replaces every backslash with "/" in place.  Returns 0. */
int flip_slash(char *str);

/* Parses a dotted address into 4 bytes (missing parts 0). */
void Split_IP(const char *text, unsigned char out[4]);

/* Value of c as a digit of "0123456789ABCDEF", either case; -1 otherwise
** (the NUL byte included). */
int hex_digit(int c);

/* Reads a decimal number as "%lld" does: white space (" \t\n\v\f\r"), an
** optional sign, then every digit that follows.  The value is held within
** lo..hi, and a magnitude beyond what a long long holds counts as LLONG_MAX
** before the sign applies.  Returns the position after the digits, or null
** (with *out untouched) when there are none. */
const char *read_decimal(const char *p, long long lo, long long hi, long long *out);

/* The number read_decimal reads at the start of text, held to the int
** range; 0 when there is none. */
int decimal_int(const char *text);

/* Unsigned big-endian value of the first n bytes (n up to 4). */
uint32_t char2int(const unsigned char *buf, int n);

/* Little-endian 32 and 64-bit values; a big-endian IEEE double. */
uint32_t Get_Int(const unsigned char *buf);
uint64_t Get_LongLong(const unsigned char *buf);
double Get_Double(const unsigned char *buf);

/* Appends printf-style text to the text in buf, which holds at most 1024
** characters in all. */
int Param(char *buf, const char *fmt, ...) PAL_PRINTF(2, 3);

/* The UTF-8 to UTF-16 rule of the file layer: lead bytes with no, two or
** three leading one bits give a character of 1, 2 or 3 bytes; a stray
** continuation byte is a character by itself (so Latin-1 names still open).
** Writes at most max - 1 units and a terminating zero unit.  Returns the
** number of units written. */
int utf8_to_utf16(const char *in, uint16_t *out, int max);

#endif
