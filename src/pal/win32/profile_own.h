/*
** Forced into the portable profile engine (src/pal/common/profile.cpp) when
** it is built for Windows: its calls take the names below, and
** src/pal/win32/profile.cpp hands each call either to the system's profile
** functions or to them (the calls where the system's own would change a
** setting or the file's bytes; that file says which and why).
*/
#ifndef VELMORA_PROFILE_OWN_H
#define VELMORA_PROFILE_OWN_H

#define pal_get_private_profile_string   pal_own_get_private_profile_string
#define pal_get_private_profile_section  pal_own_get_private_profile_section
#define pal_write_private_profile_string pal_own_write_private_profile_string
#define pal_write_private_profile_section pal_own_write_private_profile_section
#define pal_profile_begin                pal_own_profile_begin
#define pal_profile_end                  pal_own_profile_end

#endif
