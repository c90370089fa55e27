# Sourced as root inside a private mount namespace: private_polkit ACTION HELPER starts a
# system bus and polkit's daemon of this namespace alone, with the built polkit action naming
# HELPER, and rules that grant that action, and only it, to nobody without a password (no one
# is there to type it) and refuse daemon everything. The real pkexec then asks them. Sets
# $polkit_pids.
private_polkit() {
    local folder
    folder=$(mktemp -d)
    mount -t tmpfs tmpfs "$folder"
    mkdir "$folder"/{bus,actions,rules}
    sed "s|>/usr/libexec/varnholt/varnholt-machine-writer<|>$2<|" "$1" \
        >"$folder/actions/$(basename "$1")"
    cat >"$folder/rules/10-varnholt-test.rules" <<'RULE'
polkit.addRule(function(action, subject) {
    if (subject.user == "daemon")
        return polkit.Result.NO;
    if (subject.user == "nobody")
        return action.id == "org.varnholt.varnholt" ? polkit.Result.YES : polkit.Result.NO;
});
RULE
    chmod -R a+rX "$folder"
    mkdir -p /run/dbus && mount --bind "$folder/bus" /run/dbus
    mount --bind "$folder/actions" /usr/share/polkit-1/actions
    mount --bind "$folder/rules" /etc/polkit-1/rules.d
    dbus-daemon --system --nofork --nopidfile &
    polkit_pids=$!
    for _ in $(seq 50); do [[ -S /run/dbus/system_bus_socket ]] && break; sleep 0.1; done
    /usr/lib/polkit-1/polkitd --no-debug >/dev/null 2>&1 &
    polkit_pids+=" $!"
    for _ in $(seq 50); do
        dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
            org.freedesktop.DBus.NameHasOwner string:org.freedesktop.PolicyKit1 2>/dev/null |
            grep -q true && return 0
        sleep 0.1
    done
    echo "polkitd did not start" >&2
    return 1
}
