#!/usr/bin/env bash
# The VM's kernel and initramfs: Debian 12's own kernel (downloaded once into CACHE), the
# modules the test needs, busybox, Debian's udev with its rules, blockdev, and what STAGE
# holds (an install with prefix /usr, or the unpacked .deb), each with its libraries.
# Usage: build_image.sh STAGE CACHE OUT -> OUT/vmlinuz, OUT/initrd.gz
set -euo pipefail
stage=$(realpath "$1") cache=$2 out=$3 here=$(dirname "$(realpath "$0")")
mkdir -p "$cache" "$out"
cache=$(realpath "$cache") out=$(realpath "$out")

kernel_package() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'; }
package=$(kernel_package)
[[ -n $package ]] || { apt-get update -qq && package=$(kernel_package); }
[[ -n $package ]] || { echo "apt knows no linux-image-amd64" >&2; exit 1; }
version=${package#linux-image-}
kernel=$cache/$version
if [[ ! -f $kernel/done ]]; then
    rm -rf "$kernel" && mkdir -p "$kernel"
    (cd "$kernel" && apt-get download -qq "$package" 2>/dev/null && dpkg-deb -x ./*.deb . && rm ./*.deb)
    depmod -b "$kernel" "$version"
    touch "$kernel/done"
fi
cp "$kernel/boot/vmlinuz-$version" "$out/vmlinuz"

root=$out/root
rm -rf "$root" && mkdir -p "$root"/usr/{bin,sbin,lib,lib64} "$root"/{proc,sys,dev,run,tmp,mnt}
for dir in bin sbin lib lib64; do ln -s "usr/$dir" "$root/$dir"; done
libraries() {  # copies the libraries each program loads
    local library
    for library in $(ldd "$@" | grep -o '/[^ ]*\.so[^ ]*'); do
        [[ -e $root$library ]] || install -D "$library" "$root$library"
    done
}
# Merged /usr as on Debian 12: what the stage puts under /lib lands in /usr/lib.
tar -C "$stage" -c . | tar -C "$root" -x --keep-directory-symlink
for program in /usr/lib/systemd/systemd-udevd /usr/bin/udevadm /usr/sbin/blockdev /bin/busybox; do
    install -D "$program" "$root$program"
done
libraries /usr/lib/systemd/systemd-udevd /usr/bin/udevadm /usr/sbin/blockdev \
    "$stage/usr/sbin/varnholt-policy"
mkdir -p "$root/usr/lib/udev/rules.d" "$root/etc/udev/rules.d"
for rules in 50-udev-default 60-block 60-persistent-storage 60-input-id 80-drivers; do
    cp "/usr/lib/udev/rules.d/$rules.rules" "$root/usr/lib/udev/rules.d/"
done

# The modules and those they need, with their index for modprobe and udev's module loading.
modules=(xhci-pci usb-storage uas usbhid hid-generic sd_mod evdev ext4 crc32c_generic
         configfs dummy_hcd libcomposite usb_f_mass_storage usb_f_hid)
for module in "${modules[@]}"; do modprobe -d "$kernel" -S "$version" --show-depends "$module"; done |
    awk '$1 == "insmod" {print $2}' | sort -u | while read -r module; do
        install -D -m 644 "$module" "$root${module#"$kernel"}"
    done
cp "$kernel/lib/modules/$version"/modules.{order,builtin,builtin.modinfo} "$root/lib/modules/$version/"
depmod -b "$root" "$version"

install -m 755 "$here/guest_init.sh" "$root/init" && ln -s busybox "$root/usr/bin/sh"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$out/initrd.gz"
