/* Fuzz target for the AVI, FLV, FLAC and WMV readers: the first input byte
** picks the reader, the rest is the media file. */
#include "reader_fuzz.h"

static const info_reader readers[4] = {info_avi, info_flv, info_flac, info_wmv};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    fuzz_reader(readers[data[0] % 4], data + 1, size - 1);
    return 0;
}
