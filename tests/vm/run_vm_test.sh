#!/usr/bin/env bash
# varnholt-policy from STAGE (the unpacked .deb) on Debian 12's kernel in QEMU (TCG;
# VARNHOLT_VM_ACCEL=kvm where it works). Usage: run_vm_test.sh STAGE WORK
set -euo pipefail
here=$(dirname "$(realpath "$0")") && tools=$here/../../tools work=$2
"$tools/initrd-image" "$1" "$here/guest_init.sh" "$work" && work=$(realpath "$work")

# The stick for data; the UAS disk holds a copy of the guest's root, to become / at the end.
# The stick also holds a file system image, to become /boot through a loop device as live
# systems boot.
rm -rf "$work/stick-files" && mkdir "$work/stick-files" && truncate -s 4M "$work/stick-files/boot.img" &&
    mkfs.ext4 -q -F "$work/stick-files/boot.img"
"$tools/disk-image" "$work/stick.img" 32 ext4 "" "$work/stick-files" && "$tools/disk-image" "$work/uas.img" 64 ext4 "" "$work/root"

timeout 600 qemu-system-x86_64 -accel "${VARNHOLT_VM_ACCEL:-tcg}" -m 512 -smp 1 -display none -no-reboot \
    -serial file:"$work/console.log" -monitor none -append "console=ttyS0 panic=-1 quiet" \
    -kernel "$work/vmlinuz" -initrd "$work/initrd.gz" -device qemu-xhci,id=xhci \
    -drive if=none,id=stick,file="$work/stick.img",format=raw -device usb-storage,bus=xhci.0,drive=stick,serial=STICK \
    -drive if=none,id=uasdisk,file="$work/uas.img",format=raw -device usb-uas,bus=xhci.0,id=uas,serial=UAS \
    -device scsi-hd,bus=uas.0,scsi-id=0,lun=0,drive=uasdisk -device usb-kbd,bus=xhci.0,serial=KBD </dev/null || true
sed -i 's/\r$//' "$work/console.log"
awk '/^VMTEST (ok|FAIL)/; /^VMTEST figure/ { printf "%s: %.2f s in the guest\n", $3, $5 - $4 }' "$work/console.log"
awk '/^VMTEST figure/ { print $3, $5 - $4 }' "$work/console.log" | "$tools/medians"
grep -q '^VMTEST done' "$work/console.log" && ! grep -q '^VMTEST FAIL' "$work/console.log" ||
    { tail -40 "$work/console.log" && exit 1; }
