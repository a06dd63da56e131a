/*
** Fuzz target for the whole music import: the input bytes become "iTunes
** Music Library.xml" in a folder of this process, and a build runs over it
** into the process's own data folder.  The build must end, give the working
** folder back and keep its tables within their limits, whatever the bytes.
*/
#include "global.h"
#include "tables.h"
#include "subs/text.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

static std::string base;

static void drop_folder(void)
{
    std::error_code ec;
    std::filesystem::remove_all(base, ec);
}

/* The data folder and the library folder, once per process. */
static void setup(void)
{
    if (!base.empty())
        return;
    /* On tmpfs where there is one: the build saves the configuration with
    ** fsync each run, which a disk makes slow. */
    char tmpl[] = "/dev/shm/velmora-itunes-fuzz-XXXXXX";
    char tmpl2[] = "/tmp/velmora-itunes-fuzz-XXXXXX";
    const char *dir = mkdtemp(tmpl);
    if (!dir)
        dir = mkdtemp(tmpl2);
    if (!dir)
        abort();
    base = dir;
    atexit(drop_folder);
    std::filesystem::create_directories(base + "/lib");
    scopy(Roku_Path, sizeof Roku_Path, base.c_str());
    scopy(My_Path, sizeof My_Path, base.c_str());
    scopy(iTunes_Path, sizeof iTunes_Path, (base + "/lib").c_str());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    setup();
    std::string lib = base + "/lib/iTunes Music Library.xml";
    FILE *f = fopen(lib.c_str(), "wb");
    if (!f)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);

    Active = 1;
    if (Bld_Tables(1) != 1)
        __builtin_trap();
    if (std::filesystem::current_path() != base)
        __builtin_trap();
    if (plink_cnt < 0 || plink_cnt > MAX_FOLDERS || plinks[plink_cnt] != nullptr)
        __builtin_trap();
    return 0;
}
