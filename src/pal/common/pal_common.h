/*
** Declarations between the platform layer's portable part (pal/common) and
** each platform's own part.
*/
#ifndef VELMORA_PAL_COMMON_H
#define VELMORA_PAL_COMMON_H

/* Called by the platform's close signals (log-off, SIGTERM); the dialog
** manager delivers the close request to the main window once it exists. */
void pal_close_request(void);

/* Keeps the program's arguments joined by single blanks, as
** pal_command_line gives them; pal_init calls it once, before any thread. */
void pal_keep_command_line(int argc, char **argv);

#endif
