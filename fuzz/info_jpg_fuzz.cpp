/* Fuzz target for the JPEG reader: the EXIF search, the strides, the
** pointer and padding jumps and every value read. */
#include "reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_reader(info_jpg, data, size);
    return 0;
}
