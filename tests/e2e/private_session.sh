# Sourced by the scripts that run the real program. Gives them a session of their own:
#   - a private mount namespace in which fresh, empty folders stand over the program's
#     hive folders, so the machine's and the user's real hives are never read or written;
#   - a temporary HOME for whatever the toolkit caches;
#   - a virtual X display (Xvfb) on a free display number.
# After sourcing: $scratch (a tmpfs folder), $machine_hive, $user_hive, DISPLAY.

if [[ -z "${VARNHOLT_PRIVATE_SESSION:-}" ]]; then
    for tool in Xvfb xdotool unshare iconv; do
        command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing" >&2; exit 77; }
    done
    # Root may mount in a new mount namespace; elsewhere a user namespace may allow it.
    namespace=()
    for candidate in "unshare --mount --propagation private" \
        "unshare --map-root-user --mount --propagation private"; do
        read -ra try_namespace <<<"$candidate"
        if "${try_namespace[@]}" sh -c 'mount -t tmpfs tmpfs /mnt' 2>/dev/null; then
            namespace=("${try_namespace[@]}")
            break
        fi
    done
    if ((${#namespace[@]} == 0)); then
        echo "SKIP: no private mount namespace in which to mount here" >&2
        exit 77
    fi
    export VARNHOLT_PRIVATE_SESSION=1
    exec "${namespace[@]}" -- "$0" "$@"
fi

# A folder that only this namespace sees as empty. When it does not exist, the nearest folder
# above it that does is overlaid, so nothing is created on the real file system.
private_dir() {
    local target=$1 existing=$1
    while [[ ! -d "$existing" ]]; do
        existing=$(dirname "$existing")
    done
    if [[ "$existing" == "$target" ]]; then
        mount -t tmpfs tmpfs "$target"
    else
        local layer
        layer=$(mktemp -d "$scratch/layer.XXXXXX")
        mkdir "$layer/upper" "$layer/work"
        mount -t overlay overlay \
            -o "lowerdir=$existing,upperdir=$layer/upper,workdir=$layer/work" "$existing"
        mkdir -p "$target"
        mount -t tmpfs tmpfs "$target"
    fi
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

exec 3>"$scratch/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset >"$scratch/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do
    [[ -s "$scratch/display" ]] && break
    sleep 0.05
done
[[ -s "$scratch/display" ]] || { echo "Xvfb did not start" >&2; cat "$scratch/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$scratch/display")"

end_session() {
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
}
trap end_session EXIT

# The text of a hive file (UTF-16LE or UTF-8, CRLF or LF) as UTF-8 lines.
hive_text() {
    local file=$1
    if [[ "$(head -c2 "$file" | od -An -tx1 | tr -d ' ')" == "fffe" ]]; then
        iconv -f UTF-16 -t UTF-8 "$file" | tr -d '\r'
    else
        sed 's/^\xEF\xBB\xBF//' "$file" | tr -d '\r'
    fi
}

# The data of one value in a hive file: hive_value FILE 'HKEY_...\Key' Name
hive_value() {
    hive_text "$1" | awk -v key="[$2]" -v name="\"$3\"" '
        /^\[/ { inside = ($0 == key) }
        inside && index($0, name "=") == 1 { print substr($0, length(name) + 2); exit }'
}
