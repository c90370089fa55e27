#!/usr/bin/env bash
# varnholt-policy from STAGE (the unpacked .deb) on Debian 12's kernel in QEMU (TCG;
# VARNHOLT_VM_ACCEL=kvm where it works). Usage: run_vm_test.sh STAGE WORK
set -euo pipefail
stage=$(realpath "$1") work=$2 here=$(dirname "$(realpath "$0")")
mkdir -p "$work/cache" && work=$(realpath "$work")

kernel_package() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'; }
package=$(kernel_package) && [[ -n $package ]] || { apt-get update -qq && package=$(kernel_package); }
[[ -n $package ]] || { echo "apt knows no linux-image-amd64" >&2 && exit 1; }
version=${package#linux-image-} kernel=$work/cache/${package#linux-image-}
if [[ ! -f $kernel/done ]]; then
    rm -rf "$kernel" && mkdir -p "$kernel"
    (cd "$kernel" && apt-get download -qq "$package" 2>/dev/null && dpkg-deb -x ./*.deb . && rm ./*.deb)
    depmod -b "$kernel" "$version" && touch "$kernel/done"
fi

root=$work/root programs=(/usr/lib/systemd/systemd-udevd /usr/bin/udevadm /usr/sbin/blockdev /usr/sbin/e2fsck /usr/bin/setpriv /usr/bin/sg_raw)
rm -rf "$root" && mkdir -p "$root"/usr/{bin,sbin,lib,lib64} "$root"/{proc,sys,dev,run,tmp,mnt}
for dir in bin sbin lib lib64; do ln -s "usr/$dir" "$root/$dir"; done
# Merged /usr as on Debian 12: what the stage puts under /lib lands in /usr/lib.
tar -C "$stage" -c . | tar -C "$root" -x --keep-directory-symlink
for file in /bin/busybox "${programs[@]}" /usr/lib/udev/rules.d/{50-udev-default,60-block,60-persistent-storage,60-input-id,80-drivers}.rules \
    $(ldd "${programs[@]}" "$stage/usr/sbin/varnholt-policy" | grep -o '/[^ ]*\.so[^ ]*' | sort -u); do
    [[ -e $root$file ]] || install -D "$file" "$root$file"
done
modprobe -d "$kernel" -S "$version" --show-depends -a xhci-pci usb-storage uas usbhid hid-generic sd_mod sg loop evdev \
    ext4 crc32c_generic configfs dummy_hcd libcomposite usb_f_mass_storage usb_f_hid | awk '$1 == "insmod" {print $2}' |
    sort -u | while read -r module; do install -D -m 644 "$module" "$root${module#"$kernel"}"; done
cp "$kernel/lib/modules/$version"/modules.{order,builtin,builtin.modinfo} "$root/lib/modules/$version/"
depmod -b "$root" "$version"
install -m 755 "$here/guest_init.sh" "$root/init" && ln -s busybox "$root/usr/bin/sh"
# Debian's groups, so that udev gives nodes the groups it gives them on Debian (disk, cdrom).
mkdir -p "$root/etc" && grep -E '^(root|disk|cdrom):' /etc/group >"$root/etc/group"
grep -E '^root:' /etc/passwd >"$root/etc/passwd"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

partitioned() { # partitioned IMAGE MIB [DIR]: one partition at 1 MiB holding ext4, with DIR's files
    local sectors=$((($2 - 1) * 2048)) && rm -f "$1" && truncate -s "$2M" "$1"
    printf "\x00\x00\x02\x00\x83\xff\xff\xff\x00\x08\x00\x00$(printf '\\x%02x' $((sectors & 255)) $((sectors >> 8 & 255)) $((sectors >> 16)))\x00" |
        dd of="$1" bs=1 seek=446 conv=notrunc status=none
    printf '\x55\xaa' | dd of="$1" bs=1 seek=510 conv=notrunc status=none
    mkfs.ext4 -q -F -E offset=1048576 ${3:+-d "$3"} "$1" "$(($2 - 1))M"
}
# The stick for data; the UAS disk holds a copy of the guest's root, to become / at the end.
# The stick also holds a file system image, to become /boot through a loop device as live
# systems boot.
rm -rf "$work/stick-files" && mkdir "$work/stick-files" && truncate -s 4M "$work/stick-files/boot.img" &&
    mkfs.ext4 -q -F "$work/stick-files/boot.img"
partitioned "$work/stick.img" 32 "$work/stick-files" && partitioned "$work/uas.img" 64 "$root"

timeout 600 qemu-system-x86_64 -accel "${VARNHOLT_VM_ACCEL:-tcg}" -m 512 -smp 1 -display none -no-reboot \
    -serial file:"$work/console.log" -monitor none -append "console=ttyS0 panic=-1 quiet" \
    -kernel "$kernel/boot/vmlinuz-$version" -initrd "$work/initrd.gz" -device qemu-xhci,id=xhci \
    -drive if=none,id=stick,file="$work/stick.img",format=raw -device usb-storage,bus=xhci.0,drive=stick,serial=STICK \
    -drive if=none,id=uasdisk,file="$work/uas.img",format=raw -device usb-uas,bus=xhci.0,id=uas,serial=UAS \
    -device scsi-hd,bus=uas.0,scsi-id=0,lun=0,drive=uasdisk -device usb-kbd,bus=xhci.0,serial=KBD </dev/null || true
sed -i 's/\r$//' "$work/console.log"
awk '/^VMTEST (ok|FAIL)/; /^VMTEST figure/ { printf "%s: %.2f s in the guest\n", $3, $5 - $4 }' "$work/console.log"
awk '/^VMTEST figure/ { print $3, $5 - $4 }' "$work/console.log" | sort -k1,1 -k2n | awk '{ v[$1] = v[$1] " " $2; n[$1]++ }
    END { for (f in v) { split(v[f], a, " "); m = n[f]; printf "median %s: %.2f s of %d\n", f, m % 2 ? a[(m + 1) / 2] : (a[m / 2] + a[m / 2 + 1]) / 2, m } }'
grep -q '^VMTEST done' "$work/console.log" && ! grep -q '^VMTEST FAIL' "$work/console.log" ||
    { tail -40 "$work/console.log" && exit 1; }
