/*
** Prints the keys of Velmora.ini from the settings table, "section key" a
** line, in the order a save writes them.  tools/check_manual.sh holds the
** manual page's list of settings to it.
*/
#include "global.h"
#include "config/config.h"

#include <cstdio>

int main(void)
{
    for (int r = 0; r < Settings_Count; r++)
        /* The version is the program's own, not a setting to document. */
        if (Settings[r].kind != SET_VERSION) printf("%s %s\n", Settings[r].section, Settings[r].key);
    return 0;
}
