/*
** Fuzz target for the info text and every media reader: the input becomes a
** media file in the process's own folder and info_data examines it as the
** server would, through the type dispatch, the reader, the side file and,
** for an alias, the file it names.  The extension comes from the input's
** leading bytes where they are a known signature, so each seed (a real
** file) starts at its own reader and mutations then cross between them;
** other inputs take an extension by their first byte.  AddressSanitizer
** catches any read past a reader's window.
*/
#include "global.h"
#include "info/info.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_folder.h"
#include "subs/files.h"
#include "subs/text.h"

struct Signature {
    const char *magic;
    size_t len;
    const char *ext;
};

static const Signature signatures[] = {
    {"ID3", 3, ".mp3"}, {"\xFF\xFB", 2, ".mp3"}, {"\xFF\xF3", 2, ".mp3"}, {"\xFF\xD8", 2, ".jpg"},
    {"RIFF", 4, ".avi"}, {"FLV", 3, ".flv"}, {"fLaC", 4, ".flac"}, {"\x30\x26\xB2\x75", 4, ".wmv"},
    {"\0\0\1\xBA", 4, ".mpg"},
};

static const char *const others[] = {".mp3", ".mp4", ".m4v", ".mov", ".mpg", ".avi", ".flv",
                                     ".flac", ".wmv", ".jpg", ".mp4x", ".txt"};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *ext = nullptr;
    for (const Signature &s : signatures)
        if (size >= s.len && !memcmp(data, s.magic, s.len)) ext = s.ext;
    if (!ext && size >= 8 && !memcmp(data + 4, "ftyp", 4)) ext = ".mp4";
    if (!ext) ext = others[size ? data[0] % (sizeof others / sizeof others[0]) : 0];

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
    return 0;
}
