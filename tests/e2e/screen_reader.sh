#!/usr/bin/env bash
# screen_reader.sh VARNHOLT HELPER POLKIT_ACTION: what Orca says through the windows
# (screen_reader.py), Orca and the program run as nobody in a private session with a window
# manager, its own buses, display and polkit. Needs root; skips (77) without it or the tools.
set -euo pipefail
program=$(realpath "$1") helper=$(realpath "$2") action=$(realpath "$3")
[[ $(id -u) -eq 0 ]] || { echo "SKIP: needs root to run the program as nobody" >&2; exit 77; }
for tool in orca openbox dbus-run-session xdotool /usr/lib/polkit-1/polkitd; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing" >&2; exit 77; }
done
here=$(dirname "$(realpath "$0")")
source "$here/private_session.sh"
source "$here/as_nobody.sh"
trap 'kill $polkit_pids 2>/dev/null || true' EXIT
"${user[@]}" dbus-run-session -- /usr/bin/python3 "$here/screen_reader.py" "$scratch/bin/varnholt"
