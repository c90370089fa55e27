#!/usr/bin/env bash
# The Windows program as a user meets it: the password and a click on "Login" open the main
# window, whose clicks write the mode, the lock and a new password where reg query finds them;
# closing it ends the program. What the windows decide is tested without them.
# Usage: e2e_login_and_modes.sh VARNHOLT_EXE
source "$(dirname "$0")/wine.sh"
main_size=(4905 4140)  # client areas and controls in twips: left top width height

fresh_machine
start_program wine "$1"
login="$(wait_window Login)" || fail "no login window"
screenshot "$login" win32-login
type_text mango
click_twips "$login" 4680 2595 1440 1800 1695 495
main="$(wait_window Varnholt)" || fail "no main window after the right password"

click_twips "$main" "${main_size[@]}" 2760 1560 1215 375
expect_soon "Disable writes Start 4" "REG_DWORD 0x4" reg_value "$usb_stor" Start
expect_soon "and WriteProtect 1" "REG_DWORD 0x1" reg_value "$storage_policies" WriteProtect
click_twips "$main" "${main_size[@]}" 2760 960 1335 495
expect_soon "ReadOnly writes Start 3" "REG_DWORD 0x3" reg_value "$usb_stor" Start
click_twips "$main" "${main_size[@]}" 2760 2280 1695 375
expect_soon "checking the box locks the registry editor" "REG_DWORD 0x1" \
    reg_value "$user_policies" DisableRegistryTools
screenshot "$main" win32-main

# A password change: current, then (past the button) new and confirmation, and "Change".
click_twips "$main" "${main_size[@]}" 240 3480 1815 495
dialog="$(wait_window SetPassword)" || fail "no password dialog"
type_text mango Tab Tab
type_text kiwi Tab
type_text kiwi
screenshot "$dialog" win32-set-password
click_twips "$dialog" 5205 3810 1920 3240 1215 495
expect_soon "the new password's digest is stored" "REG_SZ BCFC343B64D64C3F6B6574C09D333013" \
    reg_value "$settings\\t" p
expect_eq "and the dialog is gone" "$(visible_windows SetPassword)" 0
wait_window Varnholt >/dev/null || fail "the main window went away"
xdotool key alt+F4
wait_program_end
expect_eq "closing the main window ends the program" "$program_exit" 0
expect_eq "no error reported" "$(cat "$work/stderr")" ""
finish
