/*
** Fuzz target for the music import's line splitter and value decoding: the
** input bytes are one line, in a heap buffer of exactly its length, split
** by getflds; the fields must lie inside the line, and the value then goes
** through both decodings, whose results must stay within their limits.
*/
#include "global.h"
#include "library/itunes.h"

#include <cstdlib>
#include <vector>

/* Is the field p a text inside line (or the empty text of no field)? */
static bool inside(const char *p, const std::vector<char> &line)
{
    if (!p[0]) return true;
    return p >= line.data() && p < line.data() + line.size();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> line(data, data + size);
    line.push_back(0);
    int kind = getflds(line.data());
    if (kind < 0 || kind > 2) __builtin_trap();
    for (char *f : flds)
        if (!inside(f, line)) __builtin_trap();
    if (flds[3][0] || (kind < 2 && flds[2][0]) || (kind == 0 && flds[1][0])) __builtin_trap();

    /* Both decodings of the value, as the import applies them. */
    std::vector<char> value(flds[2], flds[2] + strlen(flds[2]) + 1);
    char *url = decode_url(value.data());
    if (strlen(url) > MAX_VALUE) __builtin_trap();
    free(url);
    if (strlen(decode_txt(value.data())) > MAX_VALUE) __builtin_trap();
    return 0;
}
