/*
** The program's command line, kept by pal_init for pal_command_line.
*/
#include "pal/common/pal_common.h"
#include "pal/pal.h"

#include <string>

/* Written once by pal_init before any thread starts; read-only after. */
static std::string command_line;

void pal_keep_command_line(int argc, char **argv)
{
    command_line.clear();
    for (int i = 1; i < argc; i++) {
        if (i > 1) command_line += ' ';
        command_line += argv[i];
    }
}

const char *pal_command_line(void) { return command_line.c_str(); }
