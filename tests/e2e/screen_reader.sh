#!/usr/bin/env bash
# screen_reader.sh VARNHOLT: what Orca says through the windows (screen_reader.py), in a private
# session with a window manager and its own session and accessibility buses; skips (77) without
# them.
set -euo pipefail
program=$(realpath "$1")
for tool in orca openbox dbus-run-session; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing" >&2; exit 77; }
done
source "$(dirname "$0")/private_session.sh"
exec dbus-run-session -- /usr/bin/python3 "$(dirname "$0")/screen_reader.py" "$program" "$machine_hive"
