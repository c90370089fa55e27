#!/usr/bin/env bash
# accessibility.sh VARNHOLT: the windows over AT-SPI (accessibility.py) in a private session with
# its own session and accessibility buses; skips (77) without them.
set -euo pipefail
program=$(realpath "$1")
command -v dbus-run-session >/dev/null && [[ -x /usr/libexec/at-spi-bus-launcher ]] &&
    /usr/bin/python3 -c 'import pyatspi' 2>/dev/null ||
    { echo "SKIP: dbus-run-session, at-spi2-core or python3-pyatspi is missing" >&2; exit 77; }
source "$(dirname "$0")/private_session.sh"
exec dbus-run-session -- /usr/bin/python3 "$(dirname "$0")/accessibility.py" "$program" \
    "$machine_hive" "$user_hive"
