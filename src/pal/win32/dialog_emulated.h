/*
** Forced into the portable dialog manager (src/pal/common/dialog.cpp) when it
** is built for Windows: its calls take the names below, and
** src/pal/win32/dialog.cpp hands each call either to them (a front end
** draws the dialogs: the web panel, the headless one, or no desktop at all)
** or to the system's own dialogs.  Every call that has both kinds is listed;
** the ones that only the front ends use (the snapshot, the prompts) keep
** their names.
*/
#ifndef VELMORA_DIALOG_EMULATED_H
#define VELMORA_DIALOG_EMULATED_H

#define pal_dialog_box            pal_emulated_dialog_box
#define pal_end_dialog            pal_emulated_end_dialog
#define pal_destroy_window        pal_emulated_destroy_window
#define pal_post_quit_message     pal_emulated_post_quit_message
#define pal_send_message          pal_emulated_send_message
#define pal_post_message          pal_emulated_post_message
#define pal_pump_messages         pal_emulated_pump_messages
#define pal_set_window_text       pal_emulated_set_window_text
#define pal_show_window           pal_emulated_show_window
#define pal_set_dlg_item_text     pal_emulated_set_dlg_item_text
#define pal_get_dlg_item_text     pal_emulated_get_dlg_item_text
#define pal_check_dlg_button      pal_emulated_check_dlg_button
#define pal_is_dlg_button_checked pal_emulated_is_dlg_button_checked
#define pal_combo_add             pal_emulated_combo_add
#define pal_combo_select          pal_emulated_combo_select
#define pal_combo_selected        pal_emulated_combo_selected
#define pal_combo_find            pal_emulated_combo_find
#define pal_combo_delete          pal_emulated_combo_delete
#define pal_combo_count           pal_emulated_combo_count
#define pal_combo_item            pal_emulated_combo_item
#define pal_progress_range        pal_emulated_progress_range
#define pal_progress_pos          pal_emulated_progress_pos
#define pal_tray_icon             pal_emulated_tray_icon
#define pal_message_box           pal_emulated_message_box
#define pal_pick_path             pal_emulated_pick_path
#define pal_close_request         pal_emulated_close_request
#define pal_dialog_id             pal_emulated_dialog_id
#define pal_set_front_end         pal_emulated_set_front_end

#endif
