#!/usr/bin/env bash
# varnholt-policy on a real kernel: boots Debian 12's kernel in QEMU (KVM when usable, else
# TCG; VARNHOLT_VM_ACCEL=tcg forces it) with what STAGE holds, and fails on any failed check.
# Usage: run_vm_test.sh STAGE WORK_FOLDER (the kernel package is cached in WORK_FOLDER/cache)
set -euo pipefail
stage=$1 work=$2 here=$(dirname "$(realpath "$0")")
mkdir -p "$work"
started=$(date +%s.%N)
"$here/build_image.sh" "$stage" "$work/cache" "$work"

# The stick: one partition at 1 MiB holding ext4. The UAS disk: a bare disk.
truncate -s 0 "$work/stick.img" "$work/uas.img" && truncate -s 32M "$work/stick.img" && truncate -s 16M "$work/uas.img"
printf '\x00\x00\x02\x00\x83\xff\xff\xff\x00\x08\x00\x00\x00\xf8\x00\x00' |
    dd of="$work/stick.img" bs=1 seek=446 conv=notrunc status=none
printf '\x55\xaa' | dd of="$work/stick.img" bs=1 seek=510 conv=notrunc status=none
mkfs.ext4 -q -F -E offset=1048576 "$work/stick.img" 31M

# The guest says "VMTEST init" first. KVM that cannot boot this kernel (as under some nested
# hosts) is given 15 s, then the run starts again under TCG.
run_vm() {  # run_vm DEADLINE ACCELERATOR...
    local deadline=$1 pid
    shift
    rm -f "$work/console.log"
    timeout 600 qemu-system-x86_64 "$@" -m 512 -smp 1 -display none -no-reboot \
        -serial file:"$work/console.log" -monitor none \
        -kernel "$work/vmlinuz" -initrd "$work/initrd.gz" -append "console=ttyS0 panic=-1 quiet" \
        -device qemu-xhci,id=xhci \
        -drive if=none,id=stick,file="$work/stick.img",format=raw \
        -device usb-storage,bus=xhci.0,drive=stick,serial=STICK \
        -device usb-uas,bus=xhci.0,id=uas,serial=UAS \
        -drive if=none,id=uasdisk,file="$work/uas.img",format=raw \
        -device scsi-hd,bus=uas.0,scsi-id=0,lun=0,drive=uasdisk \
        -device usb-kbd,bus=xhci.0,serial=KBD </dev/null &
    pid=$!
    for ((tenths = 0; tenths < deadline * 10; tenths++)); do
        grep -qs '^VMTEST init' "$work/console.log" || ! kill -0 $pid 2>/dev/null && break
        sleep 0.1
    done
    if ! grep -qs '^VMTEST init' "$work/console.log"; then
        kill $pid 2>/dev/null
        wait $pid || true
        return 1
    fi
    wait $pid || true
}
booted=$(date +%s.%N)
accelerator=tcg
if [[ ${VARNHOLT_VM_ACCEL:-} != tcg && -w /dev/kvm ]]; then
    run_vm 15 -accel kvm && accelerator=kvm || echo "KVM did not start the guest's init: TCG"
fi
if [[ $accelerator == tcg ]]; then
    booted=$(date +%s.%N)
    run_vm 600 -accel tcg
fi
finished=$(date +%s.%N)
echo "accelerator: $accelerator"
sed -i 's/\r$//' "$work/console.log"

grep -E '^VMTEST (ok|FAIL)' "$work/console.log" || true
awk '$1 == "VMTEST" && $2 == "figure" { printf "%s: %.2f s in the guest\n", $3, $5 - $4 }' "$work/console.log"
awk -v s="$started" -v b="$booted" -v f="$finished" 'BEGIN { printf "image %.1f s, VM run %.1f s\n", b - s, f - b }'
if grep -q '^VMTEST FAIL' "$work/console.log" || ! grep -q '^VMTEST done' "$work/console.log"; then
    echo "console: $work/console.log"
    tail -40 "$work/console.log"
    exit 1
fi
