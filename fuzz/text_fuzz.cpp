/*
** Fuzz target for the text utilities: arbitrary bytes into every decoder,
** converter and search, each with buffers exactly as large as its contract
** asks, so that AddressSanitizer catches any read or write past them.
*/
#include "global.h"
#include "subs/text.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* The bytes as a NUL-terminated string, in a buffer of its own size. */
    std::vector<char> str(data, data + size);
    str.push_back(0);
    const char *s = str.data();
    int n = (int)size;

    char code[1000];
    Decode(s, code);
    Encode(s, code);
    Decode(code, code);

    std::vector<char> fold(2000);
    utf8_decode(fold.data(), s);

    /* Every byte order, with and without escaping. */
    std::vector<char> wide(9 * size + 1);
    for (int order = 0; order <= 2; order++)
        for (int escape = 0; escape <= 1; escape++) Wide2UTF(wide.data(), (const char *)data, n, order, escape);

    std::vector<uint16_t> units(size + 1);
    utf8_to_utf16(s, units.data(), n + 1);
    uint16_t few[4];
    utf8_to_utf16(s, few, 4);

    unsigned char ip[4];
    Split_IP(s, ip);

    /* The first few bytes as the pattern, the rest as the text; a 4-byte
    ** buffer for a pattern that starts with NUL. */
    size_t plen = size ? data[0] % 8 : 0;
    if (size && plen > size - 1) plen = size - 1;
    std::vector<char> pat(plen + 4, 0);
    if (plen) memcpy(pat.data(), data + 1, plen);
    size_t skip = size ? 1 + plen : 0;
    const char *text = s + skip;
    Scan(text, pat.data());
    locate(text, pat.data());
    Find(text, pat.data(), (long)(size - skip));

    std::vector<char> packed(data, data + size);
    pack(packed.data(), n);

    char line[1024];
    scopy(line, sizeof line, s);
    Param(line, "%s", s);
    return 0;
}
