/*
** Fuzz target for the MP4 and QuickTime reader (info_mpeg): the atom walk,
** its window refills, 64-bit sizes and every atom handler meet arbitrary
** bytes.  The input goes to a temporary file and the reader
** runs on it with its real size; AddressSanitizer catches any read past
** what was read.
*/
#include "global.h"
#include "info.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *in = tmpfile();
    FILE *out = tmpfile();
    if (!in || !out)
        abort();
    if (size && fwrite(data, 1, size, in) != size)
        abort();
    rewind(in);
    info_mpeg(in, out, (int64_t)size);
    fclose(in);
    fclose(out);
    return 0;
}
