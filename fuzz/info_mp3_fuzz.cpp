/*
** Fuzz target for the MP3 reader of the info text: the input bytes become a
** file named ".mp3" and info_data examines it, so every tag window, the
** frame search and the tail tags meet arbitrary bytes and AddressSanitizer
** catches any read past what was read.
*/
#include "global.h"
#include "info.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "subs/files.h"
#include "subs/text.h"

/* One folder per fuzzing process, holding the input file and the info
** texts; removed when the run ends. */
static std::string folder, media;

static void drop_folder(void)
{
    unlink(media.c_str());
    Drop_Temp();
    rmdir(folder.c_str());
}

static void setup(void)
{
    char tmpl[] = "/tmp/velmora_info_fuzz.XXXXXX";
    if (!mkdtemp(tmpl))
        abort();
    folder = tmpl;
    media = folder + "/input.mp3";
    scopy(Roku_Path, sizeof Roku_Path, folder.c_str());
    atexit(drop_folder);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (folder.empty())
        setup();
    FILE *f = fopen(media.c_str(), "wb");
    if (!f)
        abort();
    if (size && fwrite(data, 1, size, f) != size)
        abort();
    fclose(f);

    /* A regular file always gets an info text, however damaged. */
    FILE *info = info_data((media + "?info").c_str());
    if (!info)
        abort();
    fclose(info);
    Drop_Temp();
    return 0;
}
