/*
** The program's entry on Windows: a console program, so that the status
** lines and the headless front end work as on other platforms; it prepares
** the process and runs Velmora with the command line after the program's
** name.
*/
#include "main.h"

int main(int argc, char **argv)
{
    pal_init(argc, argv);
    /* Worker threads still run when the dialog returns; end the process
    ** without running static destructors under their feet. */
    pal_exit(WinMain(nullptr, nullptr, pal_command_line(), 1));
}
