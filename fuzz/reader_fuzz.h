/*
** The body the media-reader fuzz targets share: the input becomes the media
** file (one temporary file, rewritten for every run) and the reader runs on
** it with its real size, its lines going nowhere.  AddressSanitizer catches
** any read past the window.
*/
#ifndef VELMORA_READER_FUZZ_H
#define VELMORA_READER_FUZZ_H

#include "global.h"
#include "info.h"

#include <unistd.h>

#include <cstdlib>

typedef int (*info_reader)(FILE *in, FILE *out, int64_t sz);

static inline void fuzz_reader(info_reader reader, const uint8_t *data, size_t size)
{
    static FILE *media, *sink;
    if (!media) {
        media = tmpfile();
        sink = fopen("/dev/null", "w");
        if (!media || !sink) abort();
    }
    rewind(media);
    if (ftruncate(fileno(media), 0)) abort();
    if (size && fwrite(data, 1, size, media) != size) abort();
    fflush(media);
    rewind(media);
    reader(media, sink, (int64_t)size);
}

#endif
