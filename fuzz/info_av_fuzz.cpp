/*
** Fuzz target for the AVI, FLV, FLAC and WMV readers of the info text: the
** first input byte picks the reader, the rest becomes the media file (a
** temporary file), so every window search and block walk meets arbitrary
** bytes and AddressSanitizer catches any read past the window.
*/
#include "global.h"
#include "info.h"

#include <cstdlib>

typedef int (*info_reader)(FILE *in, FILE *out, int64_t sz);

static const info_reader readers[4] = {info_avi, info_flv, info_flac, info_wmv};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    info_reader reader = readers[data[0] % 4];
    FILE *in = tmpfile(), *out = tmpfile();
    if (!in || !out)
        abort();
    if (size > 1 && fwrite(data + 1, 1, size - 1, in) != size - 1)
        abort();
    rewind(in);
    reader(in, out, (int64_t)(size - 1));
    fclose(out);
    fclose(in);
    return 0;
}
