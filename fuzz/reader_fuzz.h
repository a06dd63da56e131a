/*
** The bodies the media-reader fuzz targets share.  fuzz_reader: the input
** becomes the media file (one temporary file, rewritten for every run) and
** the reader runs on it with its real size, its lines going nowhere.
** fuzz_info_file: the input becomes a file with the given extension in the
** process's working folder and info_data examines it as the server would.
** AddressSanitizer catches any read past the window.
*/
#ifndef VELMORA_READER_FUZZ_H
#define VELMORA_READER_FUZZ_H

#include "global.h"
#include "info/info.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "fuzz_folder.h"
#include "subs/files.h"
#include "subs/text.h"

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

static inline void fuzz_info_file(const char *ext, const uint8_t *data, size_t size)
{
    /* The info texts go to temporary files in the working folder. */
    scopy(Roku_Path, sizeof Roku_Path, fuzz_folder().c_str());
    std::string media = fuzz_folder() + "/input" + ext;
    if (!fuzz_write(media, data, size)) abort();

    /* A regular file always gets an info text, however damaged. */
    FILE *info = info_data((media + "?info").c_str());
    if (!info) abort();
    fclose(info);
    Drop_Temp();
    unlink(media.c_str());
}

#endif
