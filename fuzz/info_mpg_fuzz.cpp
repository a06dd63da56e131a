/* Fuzz target for the MPEG program stream reader: the start-code searches
** of the first window and of the windows stepped back from the end. */
#include "reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_reader(info_mpg, data, size);
    return 0;
}
