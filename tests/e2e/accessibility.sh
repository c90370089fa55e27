#!/usr/bin/env bash
# accessibility.sh VARNHOLT HELPER POLKIT_ACTION: the windows over AT-SPI (accessibility.py), then
# what Orca says through them under a window manager (screen_reader.py), as nobody, in a private
# session with its own buses, display and polkit, the helper reached through the real pkexec;
# then the attacks on a root window (started as root) and a service that never answers. Needs
# root; skips (77) without it or the tools.
set -euo pipefail
program=$(realpath "$1") helper=$(realpath "$2") action=$(realpath "$3")
[[ $(id -u) -eq 0 ]] || { echo "SKIP: needs root to run the program as nobody" >&2; exit 77; }
command -v dbus-run-session >/dev/null && command -v xprop >/dev/null &&
    command -v dbus-launch >/dev/null && command -v orca >/dev/null && command -v openbox >/dev/null &&
    [[ -x /usr/libexec/at-spi-bus-launcher && -u /usr/bin/pkexec && -x /usr/lib/polkit-1/polkitd ]] &&
    /usr/bin/python3 -c 'import pyatspi' 2>/dev/null ||
    { echo "SKIP: dbus-run-session, xprop, dbus-launch, orca, openbox, at-spi2-core, pkexec, polkitd or python3-pyatspi is missing" >&2; exit 77; }
here=$(dirname "$(realpath "$0")")
source "$here/../../tools/private-session.sh"
source "$here/../../tools/private-polkit.sh"
trap 'kill $polkit_pids $(jobs -p) 2>/dev/null || true' EXIT

chmod 755 "$scratch"
mkdir -p /var/lib/varnholt && install -d -o nobody -g nogroup "$scratch/home"
install -D -m 755 "$program" "$scratch/bin/varnholt"
install -D -m 755 "$helper" "$scratch/libexec/varnholt/varnholt-machine-writer"
# nobody gets a home for its settings, in this namespace only.
sed "s|^\(nobody:[^:]*:[^:]*:[^:]*:[^:]*\):[^:]*:|\1:$scratch/home:|" /etc/passwd >"$scratch/passwd"
mount --bind "$scratch/passwd" /etc/passwd
install -m 644 "$XAUTHORITY" "$scratch/xauthority"
private_polkit "$action" "$scratch/libexec/varnholt/varnholt-machine-writer"
user=(setpriv --reuid=nobody --regid=nogroup --clear-groups env -i PATH=/usr/bin:/bin
    DISPLAY="$DISPLAY" XAUTHORITY="$scratch/xauthority" HOME="$scratch/home")

failures=0
"${user[@]}" dbus-run-session -- /usr/bin/python3 "$here/accessibility.py" "$scratch/bin/varnholt" \
    "$machine_hive" "$scratch/home/.config/varnholt/user.reg" || failures=$((failures + 1))
"${user[@]}" dbus-run-session -- /usr/bin/python3 "$here/screen_reader.py" "$scratch/bin/varnholt" ||
    failures=$((failures + 1))

check() {  # what, actual, expected
    if [[ $2 == "$3" ]]; then echo "ok: $1"; else echo "FAIL: $1: got [$2], want [$3]"; failures=$((failures + 1)); fi
}
# Seconds until the Login window of a program started as "$@" shows, or "none" after 20.
seconds_to_login() {
    local start=$SECONDS pid
    "$@" >/dev/null 2>&1 &
    pid=$!
    until xdotool search --onlyvisible --pid "$pid" --name '^Login$' >/dev/null 2>&1; do
        ((SECONDS - start < 20)) || { echo none; kill -KILL "$pid"; return; }
        sleep 0.2
    done
    echo $((SECONDS - start))
    sleep 2  # time for a bus the bridge dials to run what it names
    kill -KILL "$pid"
}

# A bus of nobody's that lets root in, as the user's accessibility bus does, where a process of
# nobody's holds the accessibility service's name.
bus=unix:path=$scratch/home/bus
"${user[@]}" dbus-daemon --config-file=/usr/share/defaults/at-spi2/accessibility.conf --nofork \
    --address="$bus" &
for _ in $(seq 50); do [[ -S $scratch/home/bus ]] && break; sleep 0.1; done
squat() {  # squatter.py's arguments; sets $squatter
    "${user[@]}" DBUS_SESSION_BUS_ADDRESS="$bus" /usr/bin/python3 "$here/squatter.py" "$@" >"$scratch/squatter" &
    squatter=$!
    for _ in $(seq 50); do grep -q owned "$scratch/squatter" && break; sleep 0.1; done
}
ran=$scratch/home/ran-as
command="unixexec:path=/bin/sh,argv1=-c,argv2=id%20-u%20%3e%3e$ran"
squat answer "$command"
# The display names a bus too, as any client of it may.
xprop -root -f AT_SPI_BUS 8s -set AT_SPI_BUS "$command"
launchers=$( (pgrep -x dbus-launch || true) | wc -l)
# Started as root with the user's session bus (or none: a bus started through the display).
for session in "$bus" ""; do
    seconds=$(seconds_to_login env -u DBUS_SESSION_BUS_ADDRESS -u AT_SPI_BUS_ADDRESS \
        ${session:+DBUS_SESSION_BUS_ADDRESS=$session} "$scratch/bin/varnholt")
    check "as root, session bus [$session]: the window shows" "$([[ $seconds != none ]] && echo yes)" yes
done
check "no bus anyone else named ran a command, as root or at all" "$(cat "$ran" 2>/dev/null)" ""
check "no bus was started through the display" "$( (pgrep -x dbus-launch || true) | wc -l)" "$launchers"
# The same squatter against the user's own window runs its command, as the user and no one else.
seconds_to_login "${user[@]}" DBUS_SESSION_BUS_ADDRESS="$bus" "$scratch/bin/varnholt" >/dev/null
check "the squatter's command ran as the user only" "$(sort -u "$ran" 2>/dev/null)" "$(id -u nobody)"
kill "$squatter"

# A squatter that never answers keeps no window of the user's away.
squat silent
seconds=$(seconds_to_login "${user[@]}" DBUS_SESSION_BUS_ADDRESS="$bus" "$scratch/bin/varnholt")
check "a silent squatter: the user's window shows within 5 s" \
    "$([[ $seconds =~ ^[0-5]$ ]] && echo yes || echo "after $seconds s")" yes
exit $((failures > 0))
