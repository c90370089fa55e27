#!/usr/bin/env bash
# The change-password road on Windows: a wrong current password stores nothing and leaves the
# dialog open; the close box stores nothing; the right one stores the new digest where reg
# query finds it; at the next start the new password logs in and the old one is refused.
# Usage: e2e_change_password.sh VARNHOLT_EXE
source "$(dirname "$0")/wine_test_lib.sh"
program="$1"

reg_delete_key 'HKCU\Software\VB and VBA Program Settings\Tarnwell'
reg_add "$usb_stor" Start REG_DWORD 3
reg_add "$storage_policies" WriteProtect REG_DWORD 1

log_in() {  # password; prints the main window
    local login
    login="$(wait_window Login)" || fail "no login window"
    xdotool type --delay 20 "$1"
    xdotool key Return
    wait_window Varnholt
}

# Fills the dialog's boxes in tab order (current, the button, new, confirmation) and clicks
# "Change".
fill_dialog() {  # dialog, current, new, confirmation
    xdotool type --delay 20 "$2"
    xdotool key Tab Tab
    xdotool type --delay 20 "$3"
    xdotool key Tab
    xdotool type --delay 20 "$4"
    click_twips "$1" "${dialog_size[@]}" "${dialog_change[@]}"
    sleep 1
}

start_program "$program"
main="$(log_in mango)" || fail "no main window"
click_twips "$main" "${main_size[@]}" "${main_change_password[@]}"
dialog="$(wait_window SetPassword)" || fail "no SetPassword dialog"
fill_dialog "$dialog" wrong kiwi kiwi
expect_eq "a wrong current password keeps the dialog open" "$(visible_windows SetPassword)" 1
expect_eq "and stores nothing" "$(reg_value "$password_settings" p)" ""
screenshot "$dialog" win32-set-password
xdotool key alt+F4
sleep 1
expect_eq "the close box closes the dialog" "$(visible_windows SetPassword)" 0
expect_eq "and stores nothing" "$(reg_value "$password_settings" p)" ""

# Opened again: empty boxes, so typing starts afresh.
main="$(wait_window Varnholt)" || fail "the main window went away"
click_twips "$main" "${main_size[@]}" "${main_change_password[@]}"
dialog="$(wait_window SetPassword)" || fail "no SetPassword dialog the second time"
fill_dialog "$dialog" mango kiwi kiwi
expect_eq "a successful change closes the dialog" "$(visible_windows SetPassword)" 0
expect_reg_soon "the new digest is stored at its full name" "$password_settings" p \
    "REG_SZ $(password_digest kiwi)"
main="$(wait_window Varnholt)" || fail "the main window went away"
xdotool key alt+F4
wait_program_end
expect_eq "the first run ends" "$program_exit" 0

start_program "$program"
login="$(wait_window Login)" || fail "no login window"
xdotool type --delay 20 mango
xdotool key Return
sleep 1
expect_eq "the old password is refused" "$(visible_windows Varnholt)" 0
xdotool key BackSpace BackSpace BackSpace BackSpace BackSpace
xdotool type --delay 20 kiwi
xdotool key Return
main="$(wait_window Varnholt)" || fail "the new password does not log in"
xdotool key alt+F4
wait_program_end
expect_eq "the second run ends" "$program_exit" 0
finish
