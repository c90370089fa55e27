# Sourced by the scripts that run the real program on Linux: runs the rest of the script in a
# private mount namespace where empty folders stand over the program's hive folders, with a
# temporary HOME and a display of its own; skips it (77) where none can be had.
# Then $scratch (a tmpfs folder), $machine_hive and $user_hive are set.
if [[ -z "${VARNHOLT_PRIVATE_SESSION:-}" ]]; then
    for tool in xvfb-run xdotool unshare iconv; do
        command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing" >&2; exit 77; }
    done
    # Root may mount in a new mount namespace; elsewhere a user namespace may allow it.
    for namespace in "unshare --mount" "unshare --map-root-user --mount"; do
        if $namespace sh -c 'mount -t tmpfs tmpfs /mnt' 2>/dev/null; then
            export VARNHOLT_PRIVATE_SESSION=1
            exec $namespace -- xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
        fi
    done
    echo "SKIP: no private mount namespace in which to mount here" >&2
    exit 77
fi

# An empty folder that only this namespace sees. Where it does not exist, the nearest folder
# above it is overlaid first, so nothing is created on the real file system.
private_dir() {
    local existing=$1 layer
    while [[ ! -d "$existing" ]]; do existing=$(dirname "$existing"); done
    if [[ "$existing" != "$1" ]]; then
        layer=$(mktemp -d "$scratch/layer.XXXXXX")
        mkdir "$layer/upper" "$layer/work"
        mount -t overlay overlay \
            -o "lowerdir=$existing,upperdir=$layer/upper,workdir=$layer/work" "$existing"
        mkdir -p "$1"
    fi
    mount -t tmpfs tmpfs "$1"
}

scratch=$(mktemp -d)
mount -t tmpfs tmpfs "$scratch"
home=$(getent passwd "$(id -u)" | cut -d: -f6)
private_dir /var/lib/varnholt
private_dir "$home/.config/varnholt"
machine_hive=/var/lib/varnholt/machine.reg
user_hive=$home/.config/varnholt/user.reg
export HOME=$scratch/home
mkdir -p "$HOME"
unset XDG_CONFIG_HOME XDG_CACHE_HOME XDG_DATA_HOME QT_QPA_PLATFORM

# The data of one value in a hive file the program wrote: hive_value FILE 'HKEY_...\Key' Name
hive_value() {
    # Through the environment: awk -v would read "\t" in a key name as a tab.
    iconv -f UTF-16 -t UTF-8 "$1" 2>/dev/null | tr -d '\r' | key="[$2]" name="\"$3\"=" awk '
        /^\[/ { inside = ($0 == ENVIRON["key"]) }
        inside && index($0, ENVIRON["name"]) == 1 {
            print substr($0, length(ENVIRON["name"]) + 1); exit }'
}
