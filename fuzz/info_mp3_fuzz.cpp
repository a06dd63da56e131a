/*
** Fuzz target for the MP3 reader of the info text: the input bytes become a
** file named ".mp3" and info_data examines it, so every tag window, the
** frame search and the tail tags meet arbitrary bytes.
*/
#include "reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_info_file(".mp3", data, size);
    return 0;
}
