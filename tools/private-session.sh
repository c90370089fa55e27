# Sourced first: runs the rest of the script in a private mount namespace where empty folders
# stand over the program's hive folders, with a temporary HOME and its own display, or skips
# (77). Sets $scratch (a tmpfs folder), $machine_hive and $user_hive.
if [[ -z "${VARNHOLT_PRIVATE_SESSION:-}" ]]; then
    for tool in xvfb-run xdotool unshare; do
        command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing" >&2; exit 77; }
    done
    for namespace in "unshare --mount" "unshare --map-root-user --mount"; do
        if $namespace sh -c 'mount -t tmpfs tmpfs /mnt' 2>/dev/null; then
            export VARNHOLT_PRIVATE_SESSION=1
            # -noreset: the server stays as it is between one program's run and the next.
            exec $namespace -- xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" "$@"
        fi
    done
    echo "SKIP: no private mount namespace in which to mount here" >&2
    exit 77
fi

scratch=$(mktemp -d)
mount -t tmpfs tmpfs "$scratch"
# A layer only this namespace sees over /var/lib, whose hive folder is then removed, and an
# empty folder over the home: nothing reaches the real file system, and the X server still
# finds /var/lib/xkb, where it compiles its keymaps.
source "$(dirname "${BASH_SOURCE[0]}")/private-overlay.sh"
home=$(getent passwd "$(id -u)" | cut -d: -f6)
private_overlay /var/lib
rm -rf /var/lib/varnholt
mount -t tmpfs tmpfs "$home"
machine_hive=/var/lib/varnholt/machine.reg
user_hive=$home/.config/varnholt/user.reg
export HOME=$scratch
unset XDG_CONFIG_HOME XDG_CACHE_HOME XDG_DATA_HOME QT_QPA_PLATFORM

