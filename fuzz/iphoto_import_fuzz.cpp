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

static std::string slurp(const std::string &path)
{
    std::string s;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        fclose(f);
    }
    return s;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string &root = fuzz_folder();
    std::filesystem::create_directories(root + "/library");
    scopy(Roku_Path, sizeof Roku_Path, root.c_str());
    scopy(iPhoto_Path, sizeof iPhoto_Path, (root + "/library").c_str());
    Active = 1;
    FILE *f = fopen((std::string(iPhoto_Path) + "/AlbumData.xml").c_str(), "wb");
    if (!f)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    Bld_iPhoto();

    std::string tables = root + "/iPhoto Tables/";
    std::string photos = slurp(tables + "Photos.txt");
    std::string index = slurp(tables + "Index.txt");
    if (index.empty() || index.back() != '\n')
        abort();
    for (const char *p = index.c_str(); *p && *p != '\n';) {
        long pos = strtol(p, nullptr, 10);
        if (pos < 0 || (pos > 0 && ((size_t)pos > photos.size() || (pos > 1 && photos[pos - 2] != '\n'))))
            abort();
        p = strchr(p, ',');
        if (!p)
            abort();
        p++;
    }
    return 0;
}
