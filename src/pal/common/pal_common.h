/*
** Declarations between the platform layer's portable part (pal/common) and
** each platform's own part.
*/
#ifndef VELMORA_PAL_COMMON_H
#define VELMORA_PAL_COMMON_H

/* Called by the platform's close signals (log-off, SIGTERM); the dialog
** manager delivers the close request to the main window once it exists. */
void pal_close_request(void);

#endif
