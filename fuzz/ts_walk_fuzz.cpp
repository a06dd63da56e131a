/*
** Fuzz target for the segmenter's packet walk: the input bytes are the
** transport stream, handed over in reads of varying sizes as the segmenter
** gets them, with the carried partial packet in front of each next read.
** The walk must never read past a read, must consume whole packets only
** (or skip junk), and the segments must hold exactly what it consumed.
*/
#include "global.h"
#include "live/segmenter.h"

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "fuzz_folder.h"
#include "subs/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int ready = 0;
    if (!ready) {
        scopy(Roku_Path, sizeof Roku_Path, fuzz_folder().c_str());
        std::filesystem::create_directory(fuzz_folder() + "/Live Stream");
        ready = 1;
    }
    TS_STATE st;
    if (!TS_Begin(&st, 1)) abort();
    /* The first byte picks the read size, so short and partial reads occur. */
    size_t step = size ? (size_t)data[0] * 37 % TS_BLOCK + 1 : 1;
    std::vector<unsigned char> buf;
    size_t at = 0;
    while (at < size && !st.ended) {
        size_t take = size - at < step ? size - at : step;
        buf.insert(buf.end(), data + at, data + at + take);
        at += take;
        int used = TS_Walk(&st, buf.data(), (int)buf.size());
        if (used < 0 || (size_t)used > buf.size()) abort();
        buf.erase(buf.begin(), buf.begin() + used);
        if (buf.size() > TS_BLOCK + TS_PACKET) abort();
    }
    TS_End(&st);
    return 0;
}
