# Sourced by the Windows end-to-end and installer scripts and the RPM check: counts failed checks
# and drives the program's windows on $DISPLAY with xdotool; $at_exit may add clean-up.
set -euo pipefail

failures=0
program_pid=""
work="$(mktemp -d)"
trap 'stop_program; eval "${at_exit:-}"; rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
finish() { ((failures == 0)) || { echo "$failures check(s) failed" >&2; exit 1; }; }

expect_eq() {  # description, actual, expected
    if [[ "$2" == "$3" ]]; then echo "ok: $1"; else fail "$1: got '$2', expected '$3'"; fi
}

expect_soon() {  # description, expected, command...: asks again for five seconds
    local actual=""
    for _ in $(seq 50); do
        actual="$("${@:3}")" || true
        [[ "$actual" == "$2" ]] && break
        sleep 0.1
    done
    expect_eq "$1" "$actual" "$2"
}

start_program() {  # command...: output to $work/stdout and $work/stderr
    "$@" >"$work/stdout" 2>"$work/stderr" &
    program_pid=$!
}

stop_program() { { kill -KILL "$program_pid" && wait "$program_pid"; } 2>/dev/null || true; }

# Sets program_exit to the status, or "still running" after ten seconds. Never in $(...):
# only this shell can collect its child's status.
wait_program_end() {
    program_exit="still running"
    for _ in $(seq 100); do
        kill -0 "$program_pid" 2>/dev/null || { program_exit=0 && wait "$program_pid"; } ||
            program_exit=$?
        [[ "$program_exit" == "still running" ]] || return 0
        sleep 0.1
    done
    stop_program
}

find_windows() {  # title: the started program's windows, or any program's with any_owner=1
    local owner=(--pid "$program_pid"); [[ -z ${any_owner:-} ]] || owner=()
    xdotool search --all --onlyvisible "${owner[@]}" --name "^$1\$" 2>/dev/null
}
visible_windows() { { find_windows "$1" || true; } | wc -l; }  # title: how many show

# Prints the window's id once it shows and gives it the keyboard (there is no window manager).
# A window going away mid-search ends xdotool with an X error: it then searches again.
wait_window() {  # title
    local window="" deadline=$((SECONDS + 20))
    while [[ -z "$window" ]] && ((SECONDS < deadline)); do
        window="$(find_windows "$1" | head -n1)" || sleep 0.1
    done
    [[ -n "$window" ]] && xdotool mousemove 0 0 windowfocus --sync "$window" && echo "$window"
}

type_text() {  # text, then keys to press
    xdotool type --delay 20 "$1"
    (($# < 2)) || xdotool key "${@:2}"
}

# Clicks the middle of a control given in twips, 15 to the pixel; a frame around the client
# area has equal borders left, right and below, the caption above.
click_twips() {  # window client_width client_height left top width height
    local WIDTH HEIGHT X Y SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$1")"
    local border=$(((WIDTH - $2 / 15) / 2))
    local caption=$((HEIGHT - $3 / 15 - border))
    xdotool mousemove --window "$1" $((border + ($4 + $6 / 2) / 15)) \
        $((caption + ($5 + $7 / 2) / 15)) sleep 0.2 click 1
}

reg_value() { # key, value name: type and data as reg query shows them ("REG_DWORD 0x4")
    wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        awk -v name="$2" -F '    ' '$2 == name { print $3 " " $4 }'
}

screenshot() {  # window, name: saved when VARNHOLT_SCREENSHOTS names a folder
    [[ -z "${VARNHOLT_SCREENSHOTS:-}" ]] ||
        { sleep 0.5 && import -window "$1" "$VARNHOLT_SCREENSHOTS/$2.png"; }  # painted by then
}
