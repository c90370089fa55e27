#!/usr/bin/env bash
# login_and_readonly.sh VARNHOLT: the initial password and Enter; "Change Password" and its
# dialog by keyboard alone, twice; a click on "ReadOnly", whose mode the machine hive must hold.
set -euo pipefail
program=$(realpath "$1")
source "$(dirname "$0")/private_session.sh"
source "$(dirname "$0")/drive.sh"

start_program "$program"
wait_window Login >/dev/null || { fail "no login window"; finish; }
type_text mango Return
main=$(wait_window Varnholt) || { fail "no main window after the right password"; finish; }
expect_soon "the login window goes" 0 visible_windows Login

# The focus is on "Change Password"; in the dialog, the current password and Tab to "Change"
# with both new boxes empty. The second time the current password is the empty one just set.
for current in mango ""; do
    xdotool key space
    wait_window SetPassword >/dev/null || fail "no dialog from the keyboard"
    type_text "$current" Tab space
    expect_soon "the dialog takes the change from '$current'" 0 visible_windows SetPassword
done

expect_soon "the empty password's digest is stored" '"8B85AA609C0391B0382655E0EC4C8C64"' \
    hive_value "$user_hive" 'HKEY_CURRENT_USER\Software\VB and VBA Program Settings\Tarnwell\t' p

click_twips "$main" 4905 4140 2760 960 1335 495
machine='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet'
expect_soon "ReadOnly writes Start 3" dword:00000003 \
    hive_value "$machine_hive" "$machine\\Services\\UsbStor" Start
expect_soon "and WriteProtect 1" dword:00000001 \
    hive_value "$machine_hive" "$machine\\Control\\StorageDevicePolicies" WriteProtect
expect_eq "the program runs on" "$(kill -0 "$program_pid" && echo yes)" yes
finish
