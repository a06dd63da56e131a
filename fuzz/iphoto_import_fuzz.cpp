/*
** Fuzz target for the photo library import: the input bytes become
** AlbumData.xml in a library folder of this process's own, and a whole build
** runs over it.  Besides what AddressSanitizer catches, every position in the
** photo index must point at the start of a line of Photos.txt.
*/
#include "global.h"
#include "library/iphoto.h"
#include "subs/text.h"

#include "fuzz_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string &root = fuzz_folder();
    std::filesystem::create_directories(root + "/library");
    scopy(Roku_Path, sizeof Roku_Path, root.c_str());
    scopy(iPhoto_Path, sizeof iPhoto_Path, (root + "/library").c_str());
    Active = 1;
    if (!fuzz_write(std::string(iPhoto_Path) + "/AlbumData.xml", data, size)) return 0;
    Bld_iPhoto();

    std::string tables = root + "/iPhoto Tables/";
    std::string photos = fuzz_read(tables + "Photos.txt");
    std::string index = fuzz_read(tables + "Index.txt");
    if (index.empty() || index.back() != '\n') abort();
    for (const char *p = index.c_str(); *p && *p != '\n';) {
        long pos = strtol(p, nullptr, 10);
        if (pos < 0 || (pos > 0 && ((size_t)pos > photos.size() || (pos > 1 && photos[pos - 2] != '\n')))) abort();
        p = strchr(p, ',');
        if (!p) abort();
        p++;
    }
    return 0;
}
