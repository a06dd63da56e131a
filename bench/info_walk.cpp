/*
** The load of the info benchmark: builds the info text of every file of a
** folder in one process, as the server would for each "?info" request, and
** prints how many texts it built and the bytes they held.
**
**   velmora-info-walk FOLDER WORKFOLDER
**   velmora-info-walk -f FOLDER
**
** The info texts that need a temporary file get it in WORKFOLDER, as they
** would in the working folder in the server, and it goes as the server
** lets it go.  With -f it does only the floor every info text stands on: a
** status, an open, a read of the first 64 KB and of the last 4 KB, and a
** close of each file.
*/
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "global.h"
#include "info/info.h"
#include "subs/files.h"
#include "subs/text.h"

#define HEAD_READ 65536
#define TAIL_READ 4096

static char buf[HEAD_READ];

/* The floor for one file; returns the bytes read, or -1. */
static long floor_one(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return -1;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return -1;
    ssize_t a = read(fd, buf, HEAD_READ);
    ssize_t b = st.st_size > TAIL_READ ? pread(fd, buf, TAIL_READ, st.st_size - TAIL_READ) : 0;
    close(fd);
    return (a > 0 ? a : 0) + (b > 0 ? b : 0);
}

/* The info text for one file, read back whole; returns its bytes, or -1. */
static long info_one(const std::string &path)
{
    FILE *f = info_data((path + "?info").c_str());
    if (!f) return -1;
    Temp_Release(f);
    long bytes = 0;
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes += (long)n;
    fclose(f);
    return bytes;
}

int main(int argc, char **argv)
{
    int floor = argc == 3 && std::string(argv[1]) == "-f";
    if (argc != 3) {
        fprintf(stderr, "usage: velmora-info-walk FOLDER WORKFOLDER | -f FOLDER\n");
        return 2;
    }
    const char *folder = floor ? argv[2] : argv[1];
    if (!floor) scopy(Roku_Path, sizeof Roku_Path, argv[2]);
    MY_DIR *d = My_opendir(folder);
    if (!d) {
        fprintf(stderr, "velmora-info-walk: cannot list %s\n", folder);
        return 1;
    }
    long files = 0, bytes = 0;
    while (my_dirent *e = My_readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string path = std::string(folder) + "/" + e->d_name;
        long n = floor ? floor_one(path) : info_one(path);
        if (n < 0) continue;
        bytes += n;
        files++;
    }
    My_closedir(d);
    printf("%ld %s, %ld bytes\n", files, floor ? "files read" : "texts", bytes);
    return 0;
}
