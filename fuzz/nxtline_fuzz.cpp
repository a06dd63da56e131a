/*
** Fuzz target for the photo library's line reader: the input bytes become
** the file that nxtline reads, line by line to its end, with every line also
** taken apart by tag_text, so that AddressSanitizer catches any read or write
** past the 2000-byte block or the line buffer.  Each line must fit its
** buffer, and each call that gives a line must consume at least one byte.
*/
#include "global.h"
#include "library/iphoto.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = tmpfile();
    if (!f) return 0;
    fwrite(data, 1, size, f);
    rewind(f);
    iPhoto_Source(f);

    char line[IPHOTO_LINE];
    size_t calls = 0, taken = 0;
    while (nxtline(line, calls & 1)) {
        size_t len = strnlen(line, sizeof line);
        if (len >= sizeof line || ++calls > size) abort();
        taken += len;
        int at = tag_text(line);
        if (at < 0 || (size_t)at > len) abort();
    }
    /* Lines never hold more than the file's bytes. */
    if (taken > size) abort();
    iPhoto_Source(nullptr);
    fclose(f);
    return 0;
}
