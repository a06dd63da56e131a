/*
** The program's entry on POSIX: prepares the process and runs Velmora as
** Windows would run it, with the command line after the program's name.
*/
#include "main.h"

int main(int argc, char **argv)
{
    pal_init(argc, argv);
    /* Worker threads still run when the dialog returns; end the process
    ** without running static destructors under their feet. */
    pal_exit(WinMain(nullptr, nullptr, pal_command_line(), 1));
}
