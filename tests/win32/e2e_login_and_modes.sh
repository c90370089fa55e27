#!/usr/bin/env bash
# The Windows program as a user meets it: closing the login window ends it untouched; a
# wrong password is refused; "mango" and Enter open the main window, whose clicks write the
# mode and the lock, checked with reg query; closing it ends the program.
# Usage: e2e_login_and_modes.sh VARNHOLT_EXE
source "$(dirname "$0")/wine_test_lib.sh"
program="$1"

reg_delete_key 'HKCU\Software\VB and VBA Program Settings\Tarnwell'
reg_add "$usb_stor" Start REG_DWORD 3
reg_add "$storage_policies" WriteProtect REG_DWORD 0
wine reg delete "$user_policies" /v DisableRegistryTools /f >/dev/null 2>&1 || true

# Closed at once: nothing written, the storage values as they were.
start_program "$program"
login="$(wait_window Login)" || fail "no login window"
xdotool windowfocus --sync "$login" key alt+F4
wait_program_end
expect_eq "closing the login window ends the program" "$program_exit" 0
expect_eq "nothing written before a login" "$(reg_value "$user_policies" DisableRegistryTools)" ""

start_program "$program"
login="$(wait_window Login)" || fail "no login window"
screenshot "$login" win32-login
xdotool type --delay 20 mangos
xdotool key Return
sleep 1
expect_eq "a wrong password opens nothing" "$(visible_windows Varnholt)" 0
xdotool key BackSpace  # the right password is left
click_twips "$login" "${login_size[@]}" "${login_button[@]}"
main="$(wait_window Varnholt)" || fail "no main window after the right password"
expect_eq "the login window is gone" "$(visible_windows Login)" 0
# The load applied the mode it read, read/write, once more.
expect_eq "Start after the load" "$(reg_value "$usb_stor" Start)" "REG_DWORD 0x3"
expect_eq "WriteProtect after the load" "$(reg_value "$storage_policies" WriteProtect)" \
    "REG_DWORD 0x0"

click_twips "$main" "${main_size[@]}" "${main_disable[@]}"
expect_reg_soon "Disable writes Start 4" "$usb_stor" Start "REG_DWORD 0x4"
expect_reg_soon "Disable writes WriteProtect 1" "$storage_policies" WriteProtect "REG_DWORD 0x1"
click_twips "$main" "${main_size[@]}" "${main_readonly[@]}"
expect_reg_soon "ReadOnly writes Start 3" "$usb_stor" Start "REG_DWORD 0x3"
click_twips "$main" "${main_size[@]}" "${main_check[@]}"
expect_reg_soon "checking the box locks the registry editor" "$user_policies" \
    DisableRegistryTools "REG_DWORD 0x1"
screenshot "$main" win32-main
click_twips "$main" "${main_size[@]}" "${main_check[@]}"
expect_reg_soon "clearing it unlocks" "$user_policies" DisableRegistryTools "REG_DWORD 0x0"

xdotool windowfocus --sync "$main" key alt+F4
wait_program_end
expect_eq "closing the main window ends the program" "$program_exit" 0
expect_eq "no error reported" "$(cat "$work/stderr")" ""
finish
