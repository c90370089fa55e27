# Sourced inside a private mount namespace: private_overlay DIR... lays a writable layer over
# each folder, so what the commands run there write never reaches the machine.
private_overlay() {
    local layers
    layers=$(mktemp -d)
    mount -t tmpfs tmpfs "$layers"
    for dir in "$@"; do
        local layer="$layers/${dir//\//_}"
        mkdir -p "$layer/upper" "$layer/work"
        mount -t overlay overlay -o "lowerdir=$dir,upperdir=$layer/upper,workdir=$layer/work" "$dir"
    done
}
