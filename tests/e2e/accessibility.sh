#!/usr/bin/env bash
# accessibility.sh CLIENT VARNHOLT [TOOL...]: an AT-SPI client script (accessibility.py: the
# windows as automation tools see them; screen_reader.py: what Orca says) in a private session
# with its own session and accessibility buses; skips (77) without them or the tools named.
set -euo pipefail
client=$(realpath "$1")
program=$(realpath "$2")
for tool in dbus-run-session /usr/libexec/at-spi-bus-launcher "${@:3}"; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing" >&2; exit 77; }
done
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || { echo "SKIP: python3-pyatspi is missing" >&2; exit 77; }
source "$(dirname "$0")/private_session.sh"
exec dbus-run-session -- /usr/bin/python3 "$client" "$program" "$machine_hive" "$user_hive"
