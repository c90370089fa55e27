#!/usr/bin/env bash
# elevation.sh VARNHOLT HELPER POLKIT_ACTION: an ordinary user's start through the real pkexec
# and polkit, in a private mount namespace with its own system bus: the window's process stays
# the user's, the helper beside it is root's and ends with it, and a refused prompt opens no
# window; what it writes, machine_writer_tests and the accessibility test show. Needs root to
# become other users; skips (77) otherwise.
set -euo pipefail
[[ $(id -u) -eq 0 ]] || { echo "SKIP: needs root to run the program as nobody"; exit 77; }
[[ -u /usr/bin/pkexec && -x /usr/lib/polkit-1/polkitd ]] && command -v dbus-daemon >/dev/null ||
    { echo "SKIP: pkexec, polkitd or dbus-daemon is missing"; exit 77; }
if [[ -z ${VARNHOLT_PRIVATE_POLKIT:-} ]]; then
    export VARNHOLT_PRIVATE_POLKIT=1
    exec unshare --mount --propagation private -- "$0" "$@"
fi
here=$(dirname "$0")
work=$(mktemp -d)
mount -t tmpfs -o mode=755 tmpfs "$work"
polkit_pids=""
trap 'kill $polkit_pids $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; umount -l "$work"; rm -rf "$work"' EXIT
helper=$work/libexec/varnholt/varnholt-machine-writer
install -D -m 755 "$1" "$work/bin/varnholt" && install -D -m 755 "$2" "$helper"
source "$here/../../tools/private-polkit.sh"
private_polkit "$3" "$helper"

failures=0
check() {  # what, actual, expected
    if [[ $2 == "$3" ]]; then echo "ok   $1"; else echo "FAIL $1: got [$2], want [$3]"; failures=$((failures + 1)); fi
}
as() {  # user, command...: a command, so that $! is the program's own process
    echo setpriv --reuid="$1" --regid="$(id -g "$1")" --clear-groups env -i PATH=/usr/bin:/bin
}
# A refused prompt, and no pkexec at all: one line on standard error, status 127 (pkexec's
# for not authorized), no window.
for row in "daemon|/usr/bin:/bin|not granted" "nobody|/nonexistent|cannot start pkexec"; do
    IFS='|' read -r who path message <<<"$row"
    status=0
    $(as "$who") PATH="$path" QT_QPA_PLATFORM=offscreen /usr/bin/timeout 20 "$work/bin/varnholt" \
        2>"$work/err" || status=$?
    check "$message: status, lines" "$status $(wc -l <"$work/err") $(grep -c "$message" "$work/err")" "127 1 1"
done

# The window as the user, the helper as root beside it; the helper ends with the window,
# however the window ends.
for signal in TERM KILL; do
    $(as nobody) QT_QPA_PLATFORM=offscreen "$work/bin/varnholt" 2>"$work/err" &
    window=$!
    helper_pid=""
    for _ in $(seq 100); do
        # The helper once pkexec has become it; Qt may start others (dbus-launch) meanwhile.
        helper_pid=$( (ps -o pid=,args= --ppid "$window" || true) | awk -v helper="$helper" '$2 == helper { print $1 }')
        [[ -n $helper_pid ]] && break
        sleep 0.1
    done
    check "$signal: owners of window and helper" \
        "$(ps -o user= -p "$window" | tr -d ' ') $(ps -o user=,args= -p "${helper_pid:-0}" | tr -s ' ')" \
        "nobody root $helper"
    kill -"$signal" "$window"
    # Ended: gone, or a zombie no one reaps (its parent, the window, has gone).
    running() { ps -o stat= -p "${helper_pid:-0}" | grep -qv Z; }
    for _ in $(seq 100); do running || break; sleep 0.1; done
    check "$signal: the helper has ended" "$(running && echo running || echo ended)" ended
    wait "$window" 2>/dev/null || true
done
exit $((failures > 0))
