/*
** The load of the import benchmark: one whole music library import, tables
** written, as Start runs it in the server, then the peak memory the process
** needed.
**
**   velmora-import LIBRARYFOLDER DATAFOLDER
**
** LIBRARYFOLDER holds "iTunes Music Library.xml"; the tables go to
** "iTunes Tables" in DATAFOLDER, which also receives Velmora.ini.
*/
#include <sys/resource.h>

#include <cstdio>

#include "global.h"
#include "subs/text.h"
#include "library/itunes.h"
#include "library/track_files.h"
#include "subs/threads.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: velmora-import LIBRARYFOLDER DATAFOLDER\n");
        return 2;
    }
    scopy(iTunes_Path, sizeof iTunes_Path, argv[1]);
    scopy(Roku_Path, sizeof Roku_Path, argv[2]);
    scopy(My_Path, sizeof My_Path, argv[2]);
    Active = 1;
    Jobs[JOB_TRACKS] = Track_Writer;
    if (!Bld_Tables(1)) {
        fprintf(stderr, "velmora-import: the import could not start\n");
        return 1;
    }
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("peak memory %.1f MB\n", ru.ru_maxrss / 1024.0);
    return 0;
}
