#!/usr/bin/env bash
# Debian 12 booted for real under QEMU (systemd, the stock initramfs-tools initrd, udisks2, the
# .deb installed with apt in the guest): four boots of one disk, the first three with / on it as
# a USB disk (guest.sh says what each stage checks). Usage: run_boot_test.sh DEB WORK.
# VARNHOLT_VM_ACCEL=kvm|tcg; kvm by default where the CPU shows hardware virtualization (a
# /dev/kvm without it hangs the guest).
set -euo pipefail
deb=$(realpath "$1") work=$2 here=$(dirname "$(realpath "$0")")
mkdir -p "$work" && work=$(realpath "$work")
accel=${VARNHOLT_VM_ACCEL:-$([[ -r /dev/kvm && -w /dev/kvm ]] && grep -qwm1 'vmx\|svm' /proc/cpuinfo && echo kvm || echo tcg)}
"$here/../../tools/boot-image" "$work/cache"
base=$(ls -t "$work"/cache/base-*.img | head -1)
uuid=$(cat "${base%.img}.uuid") && started=$SECONDS

# The guest's disk, fresh from the image, with the package and the stages' script.
cp --sparse=always "$base" "$work/root.img"
debugfs -w -R "mkdir /vmtest" "$work/root.img" >/dev/null 2>&1
for file in "$deb" "$here/guest.sh"; do
    debugfs -w -R "write $file /vmtest/$(basename "$file")" "$work/root.img" >/dev/null 2>&1
done
for disk in FATSTICK:64:vfat EXTSTICK:64:ext4 UASDISK:64:ext4 HOTPLUG:16:ext4; do
    IFS=: read -r name mib type <<<"$disk" && "$here/../../tools/disk-image" "$work/$name.img" "$mib" "$type" "$name"
done

boot() { # boot STAGE ROOT: ROOT virtio or usb; the guest's own kernel and initrd of the moment
    local stage=$1 log=$work/console-$1.log version
    version=$(debugfs -R "ls -p /boot" "$work/root.img" 2>/dev/null | grep -om1 'vmlinuz-[^/]*' | cut -d- -f2-)
    debugfs -R "dump /boot/vmlinuz-$version $work/vmlinuz" "$work/root.img" >/dev/null 2>&1
    debugfs -R "dump /boot/initrd.img-$version $work/initrd" "$work/root.img" >/dev/null 2>&1
    local root=(-drive "if=none,id=root,file=$work/root.img,format=raw" -device virtio-blk,drive=root)
    [[ $2 == usb ]] && root[3]=usb-storage,bus=xhci.0,port=4,drive=root,serial=ROOTDISK
    rm -f "$work/mon.in" "$work/mon.out" && mkfifo "$work/mon.in" "$work/mon.out" && : >"$log"
    local start=$SECONDS
    timeout 1500 qemu-system-x86_64 -accel "$accel" -machine q35 -m 1536 -smp 2 -display none \
        -no-reboot -serial file:"$log" -chardev pipe,id=mon,path="$work/mon" -mon chardev=mon,mode=readline \
        -kernel "$work/vmlinuz" -initrd "$work/initrd" \
        -append "root=UUID=$uuid ro console=ttyS0 quiet vmtest.stage=$stage" \
        -device qemu-xhci,id=xhci -device usb-ehci,id=ehci "${root[@]}" \
        -drive if=none,id=fat,file="$work/FATSTICK.img",format=raw -device usb-storage,bus=xhci.0,port=1,drive=fat,serial=FATSTICK \
        -drive if=none,id=ext,file="$work/EXTSTICK.img",format=raw -device usb-storage,bus=ehci.0,port=2,drive=ext,serial=EXTSTICK \
        -drive if=none,id=uas,file="$work/UASDISK.img",format=raw -device usb-uas,bus=xhci.0,port=2,id=uasctl,serial=UASDISK \
        -device scsi-hd,bus=uasctl.0,scsi-id=0,lun=0,drive=uas \
        -drive if=none,id=hot,file="$work/HOTPLUG.img",format=raw \
        -device usb-kbd,bus=xhci.0,port=3,serial=KBD -device usb-mouse,bus=ehci.0,port=3 </dev/null &
    local qemu=$!
    # What the guest asks of the monitor; both end with QEMU.
    tail -n +1 -F --pid=$qemu "$log" 2>/dev/null | sed -u -n 's/\r$//; s/^VMHOST //p' >"$work/mon.in" &
    cat "$work/mon.out" >/dev/null &
    local reader=$!
    wait $qemu || true
    kill $reader 2>/dev/null || true
    sed -i 's/\r$//' "$log"
    echo "boot $stage: $((SECONDS - start)) s ($accel)"
    grep -E '^VMTEST (ok|FAIL|figure|note)' "$log" || true
    grep -q "^VMTEST done $stage" "$log" || { echo "VMTEST FAIL stage $stage did not finish" && tail -40 "$log"; }
}

{ boot install usb && boot usbroot-readonly usb && boot usbroot-disable usb && boot disable virtio; } | tee "$work/summary.log"
awk '/^VMTEST figure/ { print $3, $4 }' "$work/summary.log" | "$here/../../tools/medians"
echo "booted test: $((SECONDS - started)) s in all ($accel)"
! grep -q '^VMTEST FAIL' "$work/summary.log"
