# The steps the Debian maintainer scripts and the RPM scriptlets share, put in at the line
# naming them in each when the package is built (dist/install.cmake): both formats do the same.
# The boot image's path unit first: it sees the rules the boot unit's restart writes.
units="varnholt-boot-image.path varnholt-policy.path varnholt-policy.service varnholt-policy-early.service"

# A new machine starts from a Windows machine's defaults. A hive already there is the
# machine's policy: installing or upgrading never changes how it treats storage. Earlier
# versions made the folder with the caller's umask: no one but root may replace the hive, or
# hold its lock, which a user with it open could keep from root.
create_default_hive() {
    if [ ! -e /var/lib/varnholt/machine.reg ]; then
        install -d -m 0755 /var/lib/varnholt
        install -m 0644 /usr/share/varnholt/machine.reg /var/lib/varnholt/machine.reg
    fi
    chown root:root /var/lib/varnholt
    chmod go-w /var/lib/varnholt
    if [ -f /var/lib/varnholt/machine.reg ] && [ ! -L /var/lib/varnholt/machine.reg ]; then
        chown root:root /var/lib/varnholt/machine.reg
        chmod go-w /var/lib/varnholt/machine.reg
    fi
    # The next write makes a lock only root can open.
    rm -f /var/lib/varnholt/machine.reg.lock
}

# Without the package nothing keeps the kernel in line with the hive: leave storage as a
# machine without it has it. A failure is reported but does not block the removal.
undo_storage_policy() {
    varnholt-policy reset ||
        echo "varnholt: could not undo the storage policy; see varnholt-policy(8)" >&2
    # With no rules left, the initramfs images lose the ones appended to them.
    /usr/libexec/varnholt/update-boot-image ||
        echo "varnholt: could not take the rules off the initramfs; see varnholt-policy(8)" >&2
}

# The generated rules, if undoing them failed: whatever stands at their name.
remove_leftover_rules() {
    if [ -e /etc/udev/rules.d/61-varnholt.rules ] || [ -L /etc/udev/rules.d/61-varnholt.rules ]; then
        rm -rf /etc/udev/rules.d/61-varnholt.rules
        if command -v udevadm >/dev/null; then
            udevadm control --reload-rules || true
        fi
    fi
}
