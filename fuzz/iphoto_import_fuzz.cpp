/*
** Fuzz target for the photo library import: the input bytes become
** AlbumData.xml in a library folder of this process's own, and a whole build
** runs over it.  Besides what AddressSanitizer catches, every position in the
** photo index must point at the start of a line of Photos.txt.
*/
#include "global.h"
#include "iPhoto.h"
#include "subs/text.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

static std::string root;
static char home[4096];   /* where the fuzzer was started: crash files go there */

/* A working folder and a library folder of this process's own, once;
** removed when the run ends. */
static void setup(void)
{
    if (!root.empty())
        return;
    if (!getcwd(home, sizeof home))
        scopy(home, sizeof home, "/tmp");
    char tmpl[] = "/tmp/velmora-iphoto-fuzz-XXXXXX";
    const char *dir = mkdtemp(tmpl);
    root = dir ? dir : "/tmp";
    std::string lib = root + "/library";
    mkdir(lib.c_str(), 0755);
    scopy(Roku_Path, sizeof Roku_Path, root.c_str());
    scopy(iPhoto_Path, sizeof iPhoto_Path, lib.c_str());
    Active = 1;
    atexit([] {
        std::string cmd = "rm -rf '" + root + "'";
        if (system(cmd.c_str()) != 0) {}
    });
}

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
    setup();
    FILE *f = fopen((std::string(iPhoto_Path) + "/AlbumData.xml").c_str(), "wb");
    if (!f)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    Bld_iPhoto();
    if (chdir(home) != 0)
        abort();

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
