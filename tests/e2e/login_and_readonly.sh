#!/usr/bin/env bash
# The real program as a user meets it: the login window, the initial password typed and Enter,
# then a click on "ReadOnly" in the main window; afterwards the machine hive must hold the
# read-only mode.
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

"$program" >"$scratch/program.log" 2>&1 &
program_pid=$!
trap 'kill $program_pid 2>/dev/null || true; end_session' EXIT

login=$(wait_for_window Login) || fail "no login window"
xdotool windowfocus --sync "$login"
xdotool type --delay 30 mango
xdotool key Return

main=$(wait_for_window Varnholt) || fail "no main window after the right password"
xdotool search --onlyvisible --name '^Login$' >/dev/null && fail "the login window is still open"

# "ReadOnly" stands 2760 twips from the left and 960 from the top of a client area 4905 twips
# wide; the window's own width gives the scale.
eval "$(xdotool getwindowgeometry --shell "$main")"
x=$(((2760 + 300) * WIDTH / 4905))
y=$(((960 + 240) * WIDTH / 4905))
xdotool mousemove --window "$main" "$x" "$y" click 1

usb_stor='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\UsbStor'
policies='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\StorageDevicePolicies'
for _ in $(seq 100); do
    if [[ -f "$machine_hive" && "$(hive_value "$machine_hive" "$policies" WriteProtect)" == dword:00000001 ]]; then
        break
    fi
    sleep 0.1
done
start=$(hive_value "$machine_hive" "$usb_stor" Start)
write_protect=$(hive_value "$machine_hive" "$policies" WriteProtect)
[[ "$start" == dword:00000003 ]] || fail "Start is '$start', not dword:00000003"
[[ "$write_protect" == dword:00000001 ]] || fail "WriteProtect is '$write_protect', not dword:00000001"
kill -0 "$program_pid" 2>/dev/null || fail "the program ended: $(cat "$scratch/program.log")"
echo "PASS: logged in with the initial password; ReadOnly wrote Start=3, WriteProtect=1"
