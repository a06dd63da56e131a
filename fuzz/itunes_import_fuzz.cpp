/*
** Fuzz target for the whole music import: the input bytes become "iTunes
** Music Library.xml" in a folder of this process, and a build runs over it
** into the process's own data folder.  The build must end, leave the working
** folder alone and keep its tables within their limits, whatever the bytes.
*/
#include "global.h"
#include "library/itunes.h"
#include "subs/text.h"

#include "fuzz_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::filesystem::path home = std::filesystem::current_path();
    const std::string &base = fuzz_folder();
    std::filesystem::create_directories(base + "/lib");
    scopy(Roku_Path, sizeof Roku_Path, base.c_str());
    scopy(My_Path, sizeof My_Path, base.c_str());
    scopy(iTunes_Path, sizeof iTunes_Path, (base + "/lib").c_str());
    if (!fuzz_write(base + "/lib/iTunes Music Library.xml", data, size)) return 0;

    Active = 1;
    if (Bld_Tables(1) != 1) __builtin_trap();
    if (std::filesystem::current_path() != home) __builtin_trap();
    if (plink_cnt < 0 || plink_cnt > MAX_FOLDERS || plinks[plink_cnt] != nullptr) __builtin_trap();
    return 0;
}
