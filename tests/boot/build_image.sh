#!/usr/bin/env bash
# Debian 12 as an administrator installs it, for the booted test: systemd as PID 1, the stock
# kernel and initramfs-tools initrd (MODULES=most), udisks2 and polkit, and what the .deb
# depends on, so that apt installs it in the guest with no network. debootstrap's tree is kept
# as CACHE/rootfs-*.tar while the package list stays the same, the disk made from it as
# CACHE/base-*.img (its file system's UUID beside it) while this script does.
# Usage: build_image.sh CACHE
set -euo pipefail
cache=$1 && mkdir -p "$cache" && cache=$(realpath "$cache")
packages=systemd-sysv,udev,dbus,libpam-systemd,linux-image-amd64,initramfs-tools,udisks2,polkitd,pkexec,sudo,kmod,procps,util-linux,dosfstools,e2fsprogs,python3,qt6-qpa-plugins,libqt6widgets6,libqt6gui6,libqt6core6,libssl3
tree=$cache/rootfs-$(echo "$packages" | sha256sum | cut -c1-16).tar
image=$cache/base-$(cat "$0" | sha256sum | cut -c1-16).img
[[ -f $image ]] && exit 0
root=$cache/root && rm -rf "$root" && mkdir -p "$root"
if [[ ! -f $tree ]]; then
    # The mirror apt on this machine already reaches.
    mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
    [[ -n $mirror ]] || mirror=$(awk '$1 == "deb" && $3 == "bookworm" {print $2; exit}' /etc/apt/sources.list)
    debootstrap --variant=minbase --include="$packages" bookworm "$root" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
        { tail -30 "$cache/debootstrap.log" && exit 1; }
    chroot "$root" apt-get clean
    tar -C "$root" -cf "$tree.part" . && mv "$tree.part" "$tree"
else
    tar -C "$root" -xf "$tree"
fi

# A desktop user, her udisks mounts allowed as an active session's would be; each boot runs
# the test's stage, named on the kernel command line, on the serial console.
chroot "$root" id alice >/dev/null 2>&1 || chroot "$root" useradd -m -u 1000 -s /bin/sh alice
mkdir -p "$root/etc/polkit-1/rules.d"
cat >"$root/etc/polkit-1/rules.d/50-alice-udisks.rules" <<'RULES'
polkit.addRule(function(action, subject) {
    if (action.id.indexOf("org.freedesktop.udisks2.") == 0 && subject.user == "alice")
        return polkit.Result.YES;
});
RULES
echo varnholt-guest >"$root/etc/hostname"
cat >"$root/etc/systemd/system/vmtest.service" <<'UNIT'
[Unit]
Description=The booted test's stage
After=multi-user.target udisks2.service polkit.service
[Service]
Type=oneshot
ExecStart=/bin/bash /vmtest/guest.sh
StandardOutput=tty
StandardError=tty
TTYPath=/dev/ttyS0
[Install]
WantedBy=multi-user.target
UNIT
chroot "$root" systemctl enable vmtest.service udisks2.service >/dev/null 2>&1
chroot "$root" systemctl mask serial-getty@ttyS0.service getty@tty1.service apt-daily.timer \
    apt-daily-upgrade.timer e2scrub_reap.service >/dev/null 2>&1 || true
uuid=$(cat /proc/sys/kernel/random/uuid)
echo "UUID=$uuid / ext4 errors=remount-ro 0 1" >"$root/etc/fstab"
rm -f "$image.part" && truncate -s 3G "$image.part"
mkfs.ext4 -q -F -U "$uuid" -d "$root" "$image.part"
echo "$uuid" >"${image%.img}.uuid" && mv "$image.part" "$image"
rm -rf "$root"
