/*
** The load of the info benchmark: builds the info text of every file of a
** folder in one process, as the server would for each "?info" request, and
** prints how many texts it built and the bytes they held.
**
**   velmora-info-walk FOLDER WORKFOLDER
**
** The info texts go through temporary files in WORKFOLDER, as they go
** through the working folder in the server.
*/
#include <cstdio>
#include <string>

#include "global.h"
#include "info/info.h"
#include "subs/files.h"
#include "subs/text.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: velmora-info-walk FOLDER WORKFOLDER\n");
        return 2;
    }
    scopy(Roku_Path, sizeof Roku_Path, argv[2]);
    MY_DIR *d = My_opendir(argv[1]);
    if (!d) {
        fprintf(stderr, "velmora-info-walk: cannot list %s\n", argv[1]);
        return 1;
    }
    long texts = 0, bytes = 0;
    char buf[65536];
    while (my_dirent *e = My_readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string path = std::string(argv[1]) + "/" + e->d_name + "?info";
        FILE *f = info_data(path.c_str());
        if (!f) continue;
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes += (long)n;
        fclose(f);
        texts++;
    }
    My_closedir(d);
    printf("%ld texts, %ld bytes\n", texts, bytes);
    return 0;
}
