#!/usr/bin/env bash
# Without write access to the machine's storage policy, the main window's load cannot apply the
# mode: the program reports the error (number and description, in a message box and on standard
# error) and ends with status 1 once it is read; the main window never shows and nothing
# changes. The access list of the UsbStor key stands in for a user who is no administrator.
# Usage: e2e_write_failure.sh VARNHOLT_EXE KEY_ACCESS_EXE
source "$(dirname "$0")/wine.sh"

key_access="$2"
fresh_machine
wine "$key_access" "$usb_stor" read-only
at_exit='wine "$key_access" "$usb_stor" full'
start_program wine "$1"
wait_window Login >/dev/null || fail "no login window"
type_text mango Return
report="$(wait_window Varnholt)" || fail "no error report"
expect_eq "one window: the report, not the main window" "$(visible_windows Varnholt)" 1
screenshot "$report" win32-error
expect_soon "the report on standard error" "Run-time error '-2147024891 (0x80070005)':" \
    sh -c "tr -d '\r' <'$work/stderr' | head -n1"
expect_eq "the program waits for the report to be read" "$(kill -0 "$program_pid" && echo yes)" yes
xdotool key Return
wait_program_end
expect_eq "the program ends with status 1" "$program_exit" 1
expect_eq "Start unchanged" "$(reg_value "$usb_stor" Start)" "REG_DWORD 0x3"
finish
