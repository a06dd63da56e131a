/* Fuzz target for the MP4 and QuickTime reader: the atom walk, its window
** refills, 64-bit sizes and every atom handler. */
#include "reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_reader(info_mpeg, data, size);
    return 0;
}
