#!/usr/bin/env bash
# Without write access to the machine's storage policy, the main window's load cannot apply
# the mode: the program reports the error (its number and description, in a message box and on
# standard error), ends with status 1, and the main window never shows. The refused write
# changes nothing. The access list of the UsbStor key stands in for a user who is no
# administrator.
# Usage: e2e_write_failure.sh VARNHOLT_EXE PLATFORM_PROBE_EXE
source "$(dirname "$0")/wine_test_lib.sh"
program="$1"
probe="$2"

reg_delete_key 'HKCU\Software\VB and VBA Program Settings\Tarnwell'
reg_add "$usb_stor" Start REG_DWORD 3
reg_add "$storage_policies" WriteProtect REG_DWORD 0
wine "$probe" key-access "$usb_stor" read-only >/dev/null
trap 'wine "$probe" key-access "$usb_stor" full >/dev/null 2>&1; rm -rf "$work"' EXIT

start_program "$program"
wait_window Login >/dev/null || fail "no login window"
xdotool type --delay 20 mango
xdotool key Return
report="$(wait_window Varnholt)" || fail "no error report"
expect_eq "one window: the report, not the main window" "$(visible_windows Varnholt)" 1
screenshot "$report" win32-error
for _ in $(seq 20); do
    grep -q "Run-time error" "$work/stderr" && break
    sleep 0.1
done
expect_eq "the report on standard error" "$(tr -d '\r' <"$work/stderr" | head -n1)" \
    "Run-time error '-2147024891 (0x80070005)':"
expect_eq "the program waits for the report to be read" "$(kill -0 "$program_pid" && echo yes)" yes
xdotool key Return
wait_program_end
expect_eq "the program ends with status 1" "$program_exit" 1
expect_eq "Start unchanged" "$(reg_value "$usb_stor" Start)" "REG_DWORD 0x3"
expect_eq "WriteProtect unchanged" "$(reg_value "$storage_policies" WriteProtect)" "REG_DWORD 0x0"
finish
