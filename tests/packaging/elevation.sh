#!/usr/bin/env bash
# Started by an ordinary user, the program asks a pkexec on PATH to run it and waits; on
# Wayland it lets root into the display for that run only. Stand-ins record what they were
# asked. Needs root to become another user; skips (77) otherwise.
set -euo pipefail
[[ $(id -u) -eq 0 ]] || { echo "needs root to run the program as nobody"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir "$work/bin"
# A copy the other user can reach, wherever the build folder is.
install -m 755 "$1" "$work/varnholt"
# One stand-in for both: xhost without arguments lists who may connect; every other call is
# logged, and pkexec ends with the status the case gives it.
cat >"$work/bin/pkexec" <<'STUB'
#!/bin/sh
name=$(basename "$0")
[ "$name$#" = xhost0 ] && { echo "access control enabled"; [ -z "$ROOT_LISTED" ] || echo "SI:localuser:root"; exit 0; }
echo "$name $*" >>"$LOG"
[ "$name" = xhost ] && exit 0
[ "$PKEXEC_STATUS" = 126 ] && printf 'Error executing command as another user: Not authorized\n\nThis incident has been reported.\n' >&2
[ "$PKEXEC_STATUS" = hang ] && exec sleep 60
exit "$PKEXEC_STATUS"
STUB
chmod 755 "$work/bin/pkexec" && ln -s pkexec "$work/bin/xhost"

failures=0
# name | WAYLAND_DISPLAY | root already let in | pkexec's status | PATH | status | calls | stderr
cases=(
    "refused|||126|$work/bin:/usr/bin:/bin|126|pkexec $work/varnholt|not granted"
    "wayland-granted|wayland-0||0|$work/bin:/usr/bin:/bin|0|xhost +SI:localuser:root,pkexec $work/varnholt,xhost -SI:localuser:root|"
    "wayland-root-already-in|wayland-0|yes|3|$work/bin:/usr/bin:/bin|3|pkexec $work/varnholt|"
    "no-pkexec|||0|/nonexistent|127||cannot start pkexec"
)
for row in "${cases[@]}"; do
    IFS='|' read -r name wayland listed pkexec_status path want_status want_calls want_error <<<"$row"
    install -m 666 /dev/null "$work/log"
    status=0
    setpriv --reuid=nobody --regid=nogroup --clear-groups \
        env -i PATH="$path" LOG="$work/log" PKEXEC_STATUS="$pkexec_status" \
        WAYLAND_DISPLAY="$wayland" ROOT_LISTED="$listed" \
        "$work/varnholt" >"$work/out" 2>"$work/err" || status=$?
    calls=$(paste -sd, "$work/log")
    errors=$(wc -l <"$work/err")
    want_errors=$([[ -n $want_error ]] && echo 1 || echo 0)
    if [[ $status != "$want_status" || $calls != "$want_calls" || $errors != "$want_errors" ]] ||
        { [[ -n $want_error ]] && ! grep -q -- "$want_error" "$work/err"; }; then
        echo "FAIL $name: status $status (want $want_status), calls [$calls] (want [$want_calls])"
        sed 's/^/    stderr: /' "$work/err"
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
done
# Root's display grant is taken back when the whole session of the program is killed (a closed
# terminal, SIGKILL) while the prompt is open.
install -m 666 /dev/null "$work/log"
setpriv --reuid=nobody --regid=nogroup --clear-groups env -i PATH="$work/bin:/usr/bin:/bin" \
    LOG="$work/log" PKEXEC_STATUS=hang WAYLAND_DISPLAY=wayland-0 setsid "$work/varnholt" 2>/dev/null &
disown
for _ in $(seq 50); do grep -q pkexec "$work/log" && break; sleep 0.1; done
kill -KILL -- -"$(ps -o pgid= $! | tr -d ' ')"
for _ in $(seq 50); do grep -q "xhost -" "$work/log" && break; sleep 0.1; done
if grep -q "xhost -SI:localuser:root" "$work/log"; then echo "ok   wayland-killed"; else
    echo "FAIL wayland-killed: calls [$(paste -sd, "$work/log")]" && failures=$((failures + 1)); fi
# The user's accessibility bus reaches the elevated run through pkexec's clean environment on
# its command line; only a local socket does.
for bus in unix:path=/run/user/1000/at-spi/bus tcp:host=example.org,port=1; do
    install -m 666 /dev/null "$work/log"
    setpriv --reuid=nobody --regid=nogroup --clear-groups env -i PATH="$work/bin:/usr/bin:/bin" \
        LOG="$work/log" PKEXEC_STATUS=0 AT_SPI_BUS_ADDRESS="$bus" "$work/varnholt" || true
    want="pkexec $work/varnholt"
    [[ $bus != unix:* ]] || want+=" --accessibility-bus=$bus"
    [[ $(cat "$work/log") == "$want" ]] && echo "ok   bus $bus" ||
        { echo "FAIL bus $bus: [$(cat "$work/log")]" && failures=$((failures + 1)); }
done
exit $((failures > 0))
