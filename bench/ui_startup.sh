#!/usr/bin/env bash
# How soon the windows appear, under Xvfb, beside a peer's password prompt in the same run:
#   login: from starting varnholt to its login window mapped, and the same for
#          zenity --entry --hide-text;
#   main:  from Enter on the right password to the main window mapped.
# Median of RUNS runs each (20 unless set; 3 with VARNHOLT_QUICK=1), the two programs taking turns.
#     cmake --preset release && cmake --build --preset release && bench/ui_startup.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=$root/build/release/varnholt
watch=$root/build/release/bench/map_watch
runs=${RUNS:-$((${VARNHOLT_QUICK:-0} ? 3 : 20))}
for file in "$program" "$watch"; do
    [[ -x "$file" ]] || { echo "build the release preset first: $file is missing" >&2; exit 1; }
done
command -v zenity >/dev/null || { echo "zenity is missing (tools/install-deps --test)" >&2; exit 1; }
source "$root/tools/private-session.sh"

# Ends a program started by map_watch. Its parent has gone, so it is done once it is a zombie
# (whoever adopted it reaps it in its own time).
stop() {
    kill "$1" 2>/dev/null || return 0
    while [[ -e /proc/$1 && "$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)" != Z ]]; do
        sleep 0.01
    done
}

median() {
    sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

: >"$scratch/login" >"$scratch/main" >"$scratch/zenity"
for ((run = 1; run <= runs; run++)); do
    read -r ms pid < <("$watch" launch Login -- "$program")
    echo "$ms" >>"$scratch/login"
    login=$(xdotool search --onlyvisible --name '^Login$' | head -n1)
    xdotool windowfocus --sync "$login"
    xdotool type mango
    read -r ms _ < <("$watch" enter Varnholt)
    echo "$ms" >>"$scratch/main"
    stop "$pid"

    read -r ms pid < <("$watch" launch Zenity -- zenity --entry --hide-text --title=Zenity \
        --text=Password)
    echo "$ms" >>"$scratch/zenity"
    stop "$pid"
done

printf '%-52s %10s\n' "median of $runs runs under Xvfb" "ms"
printf '%-52s %10.1f\n' "varnholt: start to login window mapped" "$(median <"$scratch/login")"
printf '%-52s %10.1f\n' "zenity --entry --hide-text: start to window mapped" \
    "$(median <"$scratch/zenity")"
printf '%-52s %10.1f\n' "varnholt: Enter to main window mapped" "$(median <"$scratch/main")"
