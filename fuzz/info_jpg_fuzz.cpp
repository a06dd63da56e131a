/*
** Fuzz target for the JPEG reader of the info text: the input bytes are the
** file info_jpg reads, so the search for the EXIF block, the strides, the
** pointer and padding jumps and every value read meet arbitrary bytes, and
** AddressSanitizer catches any read outside the window.
*/
#include "global.h"
#include "info.h"

#include <unistd.h>

#include <cstdlib>

/* One input file, rewritten for every run, and a sink for the lines. */
static FILE *media, *sink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!media) {
        media = tmpfile();
        sink = fopen("/dev/null", "w");
        if (!media || !sink)
            abort();
    }
    rewind(media);
    if (ftruncate(fileno(media), 0))
        abort();
    if (size && fwrite(data, 1, size, media) != size)
        abort();
    fflush(media);
    rewind(media);
    info_jpg(media, sink, (int64_t)size);
    return 0;
}
