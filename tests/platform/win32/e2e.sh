#!/usr/bin/env bash
# The Windows program as a user meets it under Wine, with Wine's reg tool as the witness: the
# main window's clicks write the mode, the lock and a new password. Then, the storage policy
# only readable (no administrator), the error is reported and nothing changes. ARGS: EXE KEY_ACCESS
: "${WINEPREFIX:?the test session gives the prefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY="$(cat "$WINEPREFIX/.display")"
source "$(dirname "$0")/../../../tools/drive-windows.sh"
usb_stor='HKLM\SYSTEM\CurrentControlSet\Services\UsbStor'

# Storage read/write. Wine's own services may still be starting: the first add may fail.
wine reg add "$usb_stor" /v Start /t REG_DWORD /d 3 /f >/dev/null 2>&1 || sleep 1
wine reg add "$usb_stor" /v Start /t REG_DWORD /d 3 /f >/dev/null
wine reg add 'HKLM\SYSTEM\CurrentControlSet\Control\StorageDevicePolicies' /v WriteProtect \
    /t REG_DWORD /d 0 /f >/dev/null

start_program wine "$1"
login="$(wait_window Login)" || fail "no login window"
screenshot "$login" win32-login
type_text mango
click_twips "$login" 4680 2595 1440 1800 1695 495
main="$(wait_window Varnholt)" || fail "no main window after the right password"
click_twips "$main" 4905 4140 2760 1560 1215 375
expect_soon "Disable writes Start 4" "REG_DWORD 0x4" reg_value "$usb_stor" Start
expect_soon "and WriteProtect 1" "REG_DWORD 0x1" reg_value \
    'HKLM\SYSTEM\CurrentControlSet\Control\StorageDevicePolicies' WriteProtect
click_twips "$main" 4905 4140 2760 2280 1695 375
expect_soon "checking the box locks the registry editor" "REG_DWORD 0x1" reg_value \
    'HKCU\Software\Microsoft\Windows\CurrentVersion\Policies\System' DisableRegistryTools
screenshot "$main" win32-main

# A new password: the current one, (past the button) new and confirmation, and "Change".
click_twips "$main" 4905 4140 240 3480 1815 495
dialog="$(wait_window SetPassword)" || fail "no password dialog"
type_text mango Tab Tab
type_text kiwi Tab
type_text kiwi
screenshot "$dialog" win32-set-password
click_twips "$dialog" 5205 3810 1920 3240 1215 495
expect_soon "the new password's digest is stored" "REG_SZ BCFC343B64D64C3F6B6574C09D333013" \
    reg_value 'HKCU\Software\VB and VBA Program Settings\Tarnwell\t' p
wait_window Varnholt >/dev/null || fail "the main window went away"
xdotool key alt+F4
wait_program_end
expect_eq "closing the main window ends the program" "$program_exit" 0

wine "$2" "${usb_stor#HKLM\\}"
start_program wine "$1"
wait_window Login >/dev/null || fail "no login window"
type_text kiwi Return
report="$(wait_window Varnholt)" || fail "no error report"
expect_eq "one window: the report, not the main window" "$(visible_windows Varnholt)" 1
screenshot "$report" win32-error
expect_soon "the report on standard error" "Run-time error '-2147024891 (0x80070005)':" \
    sh -c "tr -d '\r' <'$work/stderr' | head -n1"
expect_eq "the program waits for the report to be read" "$(kill -0 "$program_pid" && echo yes)" yes
xdotool key Return
wait_program_end
expect_eq "the program ends with status 1" "$program_exit" 1
expect_eq "Start unchanged" "$(reg_value "$usb_stor" Start)" "REG_DWORD 0x4"
finish
