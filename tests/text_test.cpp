/* The text utilities: searches, percent coding, UTF conversions, bounded helpers. */
#include "global.h"
#include "subs/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

TEST(TextSearch, ScanLocateFind)
{
    struct { const char *str, *pat; int scan, loc; } cases[] = {
        {"Range: bytes=0-", "Range", 0, 1},   /* at position 0: same as none */
        {"X-Range: bytes=0-", "range", 2, 1},
        {"GET / HTTP/1.1", "http/", 6, 1},
        {"abc", "abcd", 0, 0},                /* pattern longer than text */
        {"abcab", "abd", 0, 0},
        {"aab", "ab", 1, 1},                  /* restart after a partial match */
        {"ab", "", 0, 1},
    };
    for (auto &c : cases) {
        EXPECT_EQ(Scan(c.str, c.pat), c.scan) << c.str << " / " << c.pat;
        EXPECT_EQ(locate(c.str, c.pat), c.loc) << c.str << " / " << c.pat;
    }

    /* An MPEG pack header: the pattern starts with NUL, so it is 4 bytes. */
    const char mpg[] = "\x00\x00\x01\xB9xx\x00\x00\x01\xBAyy";
    const char pack_code[] = "\x00\x00\x01\xBA";
    EXPECT_EQ(Find(mpg, pack_code, 12), 6);
    EXPECT_EQ(Find(mpg, pack_code, 9), 0);   /* match must fit inside size */
    EXPECT_EQ(Find(mpg, pack_code, 10), 6);
    EXPECT_EQ(Find("moovmoov", "moov", 8), 0);   /* first match at offset 0 */
    EXPECT_EQ(Find("xxmoov", "moov", 6), 2);
    EXPECT_EQ(Find("xxmoov", "moov", -1), 0);
}

TEST(TextEscape, EncodeDecode)
{
    char out[1000];
    Encode("My Music/\xC3\xA9.mp3", out);
    EXPECT_STREQ(out, "My%20Music/%C3%A9.mp3");
    Encode("a\x7F\x80\x1F!", out);               /* 127 stays, 128 does not */
    EXPECT_STREQ(out, "a\x7F%80%1F!");

    struct { const char *in, *out; } cases[] = {
        {"My%20Music", "My Music"},
        {"100%", "100%"},
        {"50%2", "50%2"},
        {"%zz%4", "%zz%4"},
        {"%%41", "%A"},                 /* bad escape keeps "%", goes on */
        {"caf%e9", "caf\xE9"},          /* lower-case digits */
        {"Tom &amp; Jerry", "Tom & Jerry"},
        {"Rock&apos;n", "Rock'n"},
        {"&amp;apos;", "'"},
        {"&amp;amp;", "&amp;"},         /* only one level of &amp; */
        {"&lt;&#39;", "&lt;&#39;"},
        /* The UTF-8 fold runs before unescaping. */
        {"caf\xC3\xA9", "caf\xE9"},
        {"caf%C3%A9", "caf\xC3\xA9"},
        {"%26amp;", "&"},
    };
    for (auto &c : cases) {
        Decode(c.in, out);
        EXPECT_STREQ(out, c.out) << c.in;
    }

    /* Round trip of every byte Encode touches (except NUL). */
    std::string all;
    for (int c = 1; c < 256; c++)
        if (c != '%' && c != '&')
            all += (char)c;
    char enc[1000];
    Encode(all.c_str(), enc);
    Decode(enc, out);
    EXPECT_EQ(std::string(out), all);

    /* Long input is cut at 999 characters, never inside an escape. */
    std::string big(2000, '\x80');
    memset(out, 'Z', sizeof out);
    Encode(big.c_str(), out);
    EXPECT_EQ(strlen(out), 999u);
    Decode(std::string(2000, 'a').c_str(), out);
    EXPECT_EQ(strlen(out), 999u);

    /* In place. */
    char buf[1000] = "a b%41";
    Encode(buf, buf);
    EXPECT_STREQ(buf, "a%20b%41");
    Decode(buf, buf);
    EXPECT_STREQ(buf, "a bA");
}

TEST(TextUnicode, Utf16AndFold)
{
    char out[64];
    EXPECT_EQ(Wide2UTF(out, "\xFF\xFE\x41\x00\xE9\x00", 6, 0, 0), 3);
    EXPECT_STREQ(out, "A\xC3\xA9");
    EXPECT_EQ(Wide2UTF(out, "\xFE\xFF\x20\xAC\x00\x41", 6, 0, 0), 4);
    EXPECT_STREQ(out, "\xE2\x82\xAC" "A");
    EXPECT_EQ(Wide2UTF(out, "\xFF\xFES\0o\0n\0g\0", 10, 0, 1), 12);
    EXPECT_STREQ(out, "%53%6F%6E%67");
    EXPECT_EQ(Wide2UTF(out, "Song", 4, 0, 1), 4);   /* no mark: copied as is */
    EXPECT_STREQ(out, "Song");
    EXPECT_EQ(Wide2UTF(out, "A", 1, 0, 0), 1);
    EXPECT_EQ(Wide2UTF(out, "A\0B\0\0\0C\0", 8, 2, 0), 2);   /* stops at 0 */
    EXPECT_STREQ(out, "AB");
    EXPECT_EQ(Wide2UTF(out, "\0A\0", 3, 1, 0), 1);   /* odd byte left over */
    EXPECT_EQ(Wide2UTF(out, "\0", 1, 1, 0), 0);
    EXPECT_STREQ(out, "");

    uint16_t w[12];
    struct { const char *in; std::u16string want; } cases[] = {
        {"a\xC3\xA9", u"a\u00E9"},
        {"\xE2\x82\xAC", u"\u20AC"},
        {"\xA9 1999", u"\u00A9 1999"},              /* Latin-1 name */
        {"caf\xE9.mp3", u"caf\u00E9.mp3"},          /* Latin-1 lead byte alone */
        {"\x80\xF0\x9F", u"\u0080\u00F0\u009F"},     /* stray and 4-byte lead */
        {"x\xE2\x82", u"x\u00E2\u0082"},             /* cut by the NUL */
        {"\xC3", u"\u00C3"},
    };
    for (auto &c : cases) {
        int n = utf8_to_utf16(c.in, w, 12);
        EXPECT_EQ(std::u16string(w, w + n), c.want) << c.in;
        EXPECT_EQ(w[n], 0);
    }
    w[3] = 0xAAAA;
    EXPECT_EQ(utf8_to_utf16("abcdef", w, 3), 2);
    EXPECT_EQ(w[2], 0);
    EXPECT_EQ(w[3], 0xAAAA);

    static char fold[2000];
    utf8_decode(fold, "Beyonc\xC3\xA9 \xE2\x82\xAC \xC3" "A \xC3");
    EXPECT_STREQ(fold, "Beyonc\xE9 \xE2\x82\xAC \xC3" "A \xC3");
    utf8_decode(fold, std::string(3000, 'x').c_str());
    EXPECT_EQ(strlen(fold), 1999u);

    char wide[] = "T\0i\0t\0\0\0Z";
    pack(wide, 10);
    EXPECT_STREQ(wide, "Tit");
}

TEST(TextBounded, CutNeverOverrun)
{
    char four[4];
    EXPECT_EQ(sfmt(four, 4, "abc"), 3u);   /* a fit and a cut tell apart */
    EXPECT_EQ(sfmt(four, 4, "abcd"), 4u);
    EXPECT_STREQ(four, "abc");

    char buf[8] = "42-x";
    EXPECT_EQ(sappend(buf, 8, "%s", "12345"), 7u);
    EXPECT_STREQ(buf, "42-x123");
    EXPECT_EQ(sappend(buf, 8, "more"), 7u);

    char line[1100];
    memset(line, 'Z', sizeof line);
    line[0] = 0;
    Param(line, "vlc %s", "-I dummy");
    EXPECT_STREQ(line, "vlc -I dummy");
    for (int i = 0; i < 200; i++)
        Param(line, " --opt%d", i);
    EXPECT_EQ(strlen(line), 1023u);
    EXPECT_EQ(line[1024], 'Z');

    char path[] = "C:\\Music\\a b\\";
    flip_slash(path);
    EXPECT_STREQ(path, "C:/Music/a b/");
}

TEST(TextNumbers, DecimalStopsAndHolds)
{
    struct { const char *text; long long lo, hi, want; int stop; } cases[] = {
        {" \t+42x", -99, 99, 42, 5},       {"-2147483648", -INT_MAX, INT_MAX, -INT_MAX, 11},
        {"99999999999999999999", LLONG_MIN, LLONG_MAX, LLONG_MAX, 20},
        {"-99999999999999999999", LLONG_MIN, LLONG_MAX, -LLONG_MAX, 21},
    };
    for (auto &c : cases) {
        long long v = 0;
        EXPECT_EQ(read_decimal(c.text, c.lo, c.hi, &v), c.text + c.stop) << c.text;
        EXPECT_EQ(v, c.want) << c.text;
    }
    long long untouched = 7;
    EXPECT_EQ(read_decimal(" -x", 0, 9, &untouched), nullptr);
    EXPECT_EQ(untouched, 7);
}
