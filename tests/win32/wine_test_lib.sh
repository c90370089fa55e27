# Shared by the Windows test scripts: run the cross-built programs under Wine and look at
# what they did with Wine's own tools. Sourced, never run; needs WINEPREFIX from the session.
set -euo pipefail

: "${WINEPREFIX:?the test session gives the prefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[[ -f "$WINEPREFIX/.display" ]] && DISPLAY="$(cat "$WINEPREFIX/.display")" && export DISPLAY

failures=0
work="$(mktemp -d)"
program_pid=""
trap 'if [[ -n "$program_pid" ]]; then kill -KILL "$program_pid" 2>/dev/null || true; fi
      rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

expect_eq() {  # description, actual, expected
    if [[ "$2" != "$3" ]]; then
        fail "$1: got '$2', expected '$3'"
    else
        echo "ok: $1"
    fi
}

finish() {
    if ((failures)); then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    exit 0
}

# The type and data of one registry value as `reg query` shows them ("REG_DWORD 0x4"), or
# nothing when it is absent.
reg_value() {  # key, value name
    wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        awk -v name="$2" -F '    ' '$2 == name { print $3 " " $4 }'
}

reg_add() {  # key, value name, type, data
    wine reg add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null 2>&1 ||
        { echo "cannot set up $1\\$2 with reg add" >&2; return 1; }
}

reg_delete_key() {
    wine reg delete "$1" /f >/dev/null 2>&1 || true
}

# A Unix path as the Windows programs name it.
windows_path() {
    wine winepath -w "$1" 2>/dev/null | tr -d '\r'
}

# --- The real program on the session's display, driven with xdotool as a user would.

# Starts the program in the background; its output goes to files in $work.
start_program() {  # program
    wine "$1" >"$work/stdout" 2>"$work/stderr" &
    program_pid=$!
}

# Waits until the program has ended and sets program_exit to its exit status; one still
# running after ten seconds is stopped. Not for a command substitution: only this shell can
# collect its child's status.
wait_program_end() {
    program_exit=0
    for _ in $(seq 100); do
        kill -0 "$program_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$program_pid" 2>/dev/null; then
        kill -KILL "$program_pid"
        wait "$program_pid" 2>/dev/null || true
        program_exit="still running"
        return
    fi
    wait "$program_pid" || program_exit=$?
}

# Prints the id of the program's visible window with exactly this title, once there is one,
# and gives it the keyboard: with no window manager, nothing else would.
wait_window() {  # title
    local window="" deadline=$((SECONDS + 20))
    # A search walks the window tree, and a window going away meanwhile (Login unloading as the
    # main window comes) ends xdotool with an X error: a failed search is simply made again.
    while [[ -z "$window" ]] && ((SECONDS < deadline)); do
        window="$(xdotool search --all --onlyvisible --pid "$program_pid" --name "^$1\$" \
            2>/dev/null | head -n1)" || window=""
        [[ -n "$window" ]] || sleep 0.1
    done
    [[ -n "$window" ]] || return 1
    xdotool windowfocus --sync "$window"
    echo "$window"
}

visible_windows() {  # title: how many of the program's windows of this title are on the screen
    xdotool search --all --onlyvisible --pid "$program_pid" --name "^$1\$" 2>/dev/null | wc -l
}

# Clicks the middle of a control given in twips, in a window whose client area has the given
# size in twips. Wine draws the frame: equal borders left, right and below, the caption above.
click_twips() {  # window client_width client_height left top width height
    local WIDTH HEIGHT X Y SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$1")"
    local border=$(((WIDTH - $2 / 15) / 2))
    local caption=$((HEIGHT - $3 / 15 - border))
    xdotool mousemove --window "$1" $((border + ($4 + $6 / 2) / 15)) \
        $((caption + ($5 + $7 / 2) / 15)) sleep 0.2 click 1
}

# Waits until a registry value reads as expected (as reg_value shows it), or fails.
expect_reg_soon() {  # description, key, value name, expected
    local actual=""
    for _ in $(seq 50); do
        actual="$(reg_value "$2" "$3")"
        [[ "$actual" == "$4" ]] && break
        sleep 0.1
    done
    expect_eq "$1" "$actual" "$4"
}

# Saves a picture of the window when VARNHOLT_SCREENSHOTS names a folder.
screenshot() {  # window, name
    if [[ -n "${VARNHOLT_SCREENSHOTS:-}" ]] && command -v import >/dev/null; then
        sleep 0.5  # let the window finish painting
        import -window "$1" "$VARNHOLT_SCREENSHOTS/$2.png"
    fi
}

# The full names the program reads and writes.
usb_stor='HKLM\SYSTEM\CurrentControlSet\Services\UsbStor'
storage_policies='HKLM\SYSTEM\CurrentControlSet\Control\StorageDevicePolicies'
user_policies='HKCU\Software\Microsoft\Windows\CurrentVersion\Policies\System'
password_settings='HKCU\Software\VB and VBA Program Settings\Tarnwell\t'

# The upper-case MD5 of a salted password, as the program stores it.
password_digest() {  # password
    printf '%s' "$1kqzwe" | iconv -f UTF-8 -t UTF-16LE | openssl md5 -r | cut -c1-32 | tr a-f A-F
}

# Client sizes and controls of the windows, in twips: left top width height.
login_size=(4680 2595)
login_button=(1440 1800 1695 495)
main_size=(4905 4140)
main_change_password=(240 3480 1815 495)
main_disable=(2760 1560 1215 375)
main_readonly=(2760 960 1335 495)
main_check=(2760 2280 1695 375)
dialog_size=(5205 3810)
dialog_change=(1920 3240 1215 495)
