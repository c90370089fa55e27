#!/usr/bin/env bash
# The real program as a user meets it: the login window, the initial password typed and Enter;
# in the main window, by keyboard alone, "Change Password" and the dialog, twice; then a click on
# "ReadOnly". Afterwards the machine hive must hold the read-only mode. No window manager runs,
# so each window must take the keyboard itself.
#     login_and_readonly.sh <path of varnholt>
set -euo pipefail
program=$(realpath "$1")
source "$(dirname "$0")/private_session.sh"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Waits for a visible window with exactly this title and prints its id.
wait_for_window() {
    timeout 20 xdotool search --sync --onlyvisible --name "^$1\$" | head -n1
}

wait_until_gone() {
    for _ in $(seq 100); do
        xdotool search --onlyvisible --name "^$1\$" >/dev/null || return 0
        sleep 0.1
    done
    return 1
}

"$program" >"$scratch/program.log" 2>&1 &
program_pid=$!
trap 'kill $program_pid 2>/dev/null || true; end_session' EXIT

login=$(wait_for_window Login) || fail "no login window"
xdotool mousemove 0 0  # the pointer gives no window the keyboard
xdotool windowfocus --sync "$login"
xdotool type --delay 30 mango
xdotool key Return

main=$(wait_for_window Varnholt) || fail "no main window after the right password"
wait_until_gone Login || fail "the login window is still open"

# The focus is on "Change Password". In the dialog: the current password, then Tab to "Change"
# with both new boxes empty. The second time the current password is the empty one just set.
for current in mango ""; do
    xdotool key space
    wait_for_window SetPassword >/dev/null || fail "no dialog from the keyboard (current '$current')"
    [[ -z "$current" ]] || xdotool type --delay 30 "$current"
    xdotool key Tab space
    wait_until_gone SetPassword || fail "the dialog took no change (current '$current')"
done

# "ReadOnly" stands 2760 twips from the left and 960 from the top of a client area 4905 twips
# wide; the window's own width gives the scale.
eval "$(xdotool getwindowgeometry --shell "$main")"
x=$(((2760 + 300) * WIDTH / 4905))
y=$(((960 + 240) * WIDTH / 4905))
xdotool mousemove --window "$main" "$x" "$y" click 1

# The load stored the disable mode (no mode was stored before); wait for the click's own.
usb_stor='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\UsbStor'
policies='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\StorageDevicePolicies'
for _ in $(seq 100); do
    [[ "$(hive_value "$machine_hive" "$usb_stor" Start)" == dword:00000003 ]] && break
    sleep 0.1
done
start=$(hive_value "$machine_hive" "$usb_stor" Start)
write_protect=$(hive_value "$machine_hive" "$policies" WriteProtect)
[[ "$start" == dword:00000003 ]] || fail "Start is '$start', not dword:00000003"
[[ "$write_protect" == dword:00000001 ]] || fail "WriteProtect is '$write_protect', not dword:00000001"
kill -0 "$program_pid" 2>/dev/null || fail "the program ended: $(cat "$scratch/program.log")"
echo "PASS: logged in, changed the password twice by keyboard; ReadOnly wrote Start=3, WriteProtect=1"
