#!/usr/bin/env bash
# varnholt-policy and its rules on a fake sysfs, in a mount namespace that keeps the host's udev,
# rules and hive out of reach. Usage: umockdev_test.sh VARNHOLT_POLICY
set -euo pipefail
policy=$1 self=$(realpath "$0") pci=/devices/pci0000:00/0000:00:14.0 reader=usb2/2-3/2-3:1.0
ata=/devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0
if [[ -z ${2:-} ]]; then exec unshare -m "$self" "$policy" --namespace; fi
if [[ $2 == --namespace ]]; then
    mount --make-rprivate /
    for folder in /run /etc/udev/rules.d /var/lib/varnholt; do mkdir -p $folder && mount -t tmpfs tmpfs $folder; done
    device() { # device PATH [KEY=VALUE]...: E: for upper-case keys, A: for attributes
        echo "P: $1" && printf '%s\n' "${@:2}" | sed -E '/^L:/!{s/^[A-Z]/E: &/;t;s/^/A: /}' && echo
    }
    interface() { # interface PATH CLASS DRIVER
        device "$pci/$1" SUBSYSTEM=usb DEVTYPE=usb_interface DRIVER="$3" authorized=1 \
            bInterfaceClass="$2" bInterfaceNumber=00 "L: driver=../../../../../../bus/usb/drivers/$3"
    }
    disk() { device "$1/block/$2" SUBSYSTEM=block DEVTYPE=disk DEVNAME=/dev/$2 MAJOR=8 MINOR=$3 dev=8:$3 ro=0; }
    { # a composite HID+storage device, a keyboard, a UAS disk, a vendor interface, a card
      # reader of class ff with its SD card, an ATA disk
        disk "$pci/$reader/rtsx_usb_sdmmc.4/mmc_host/mmc0/mmc0:0001" mmcblk0 0
        device "$pci/$reader/rtsx_usb_sdmmc.4/mmc_host/mmc0" SUBSYSTEM=mmc_host
        interface usb2/2-3/2-3:1.0 ff rtsx_usb
        disk "$pci/usb1/1-1/1-1:1.1/host6/target6:0:0/6:0:0:0" sdx 250
        device "$pci/usb1/1-1/1-1:1.1/host6/target6:0:0/6:0:0:0/scsi_generic/sg0" SUBSYSTEM=scsi_generic \
            DEVNAME=/dev/sg0 MAJOR=21 MINOR=0 dev=21:0
        interface usb1/1-1/1-1:1.1 08 usb-storage
        interface usb1/1-1/1-1:1.0 03 usbhid
        interface usb1/1-2/1-2:1.0 03 usbhid
        interface usb2/2-1/2-1:1.0 08 uas
        interface usb2/2-2/2-2:1.0 ff ums-realtek
        number=1 && for usb in usb1/1-1 usb1/1-2 usb2/2-1 usb2/2-2 usb2/2-3 usb1 usb2; do
            device "$pci/$usb" SUBSYSTEM=usb DEVTYPE=usb_device authorized=1 busnum=${usb:3:1} devnum=$((number += 1)) idVendor=0bda idProduct=0129
        done
        disk $ata sdz 240
    } >/run/devices.umockdev
    exec umockdev-run -d /run/devices.umockdev -- "$self" "$policy" --testbed
fi
mkdir -p /sys/bus/usb && : >/sys/bus/usb/drivers_probe
rules=/etc/udev/rules.d/61-varnholt.rules composite=$pci/usb1/1-1 failures=0
hid=(1-1:1.0 1-2:1.0) storage=(1-1:1.1 2-1:1.0 2-2:1.0 2-3:1.0)

check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1" && cat /run/err && ((++failures)); fi; }
run() { status=0 && "$policy" "$@" >/run/out 2>/run/err || status=$?; }
authorized() { for iface in "${@:2}"; do [[ $(cat /sys/bus/usb/devices/$iface/authorized) == "$1" ]] || return 1; done; }
udev_test() { # udev_test ACTION DEVPATH: udevadm's report; it exits 0 on a bad rule, so grep
    out=$(udevadm test --action="$1" "/sys$2" 2>&1)
    ! grep -i 61-varnholt.rules <<<"$out" | grep -v 'Command "' | grep -Ei 'invalid|error|fail|unknown|ignor' >&2
}
run_programs() { sed -n "s/^run: '\(.*\)'\$/\1/p" <<<"$out" | sed "s|^$VARNHOLT_INSTALLED_POLICY |$policy |" | sh; } # what udevadm test only shows
untouched() { for path in "${@:2}"; do udev_test "$1" "$path" && ! grep -q VARNHOLT <<<"$out" || return 1; done; }

echo '[broken' >/var/lib/varnholt/machine.reg
run apply
check "damaged hive: exit 3 naming file and line; disable in force, HID untouched; again, nothing to change" \
    '[[ $status == 3 ]] && grep -q "machine.reg line 1" /run/err && grep -q "mode: disable" $rules &&
     authorized 0 ${storage[*]} && authorized 1 ${hid[*]} && run apply && [[ $status == 3 ]] && grep -q "nothing to change" /run/out'
rm /var/lib/varnholt/machine.reg

run set readwrite
check "readwrite: rules of comments only, storage authorized again, status says so" \
    '[[ $status == 0 ]] && ! grep -v "^#" $rules && authorized 1 ${storage[*]} ${hid[*]} &&
     grep -q "\"recorded\":\"readwrite\",.*\"in_force\":\"readwrite\"" <<<"$("$policy" status --json)"'

run set disable
check "disable: udev leaves HID interfaces alone" \
    'untouched add $composite/1-1:1.0 $pci/usb1/1-2/1-2:1.0'
echo 1 >"/sys$composite/1-1:1.1/authorized"
reader_record=/run/varnholt/blocked/002.006.2-3:1.0
echo 1 >"/sys$pci/$reader/authorized" && rm $reader_record # the rules' record alone
check "disable: udev deauthorizes a storage interface added, a card reader's host (recorded for that very device), and a storage driver bound to a vendor one" \
    'udev_test add $composite/1-1:1.1 && authorized 0 1-1:1.1 && udev_test add $pci/$reader/rtsx_usb_sdmmc.4/mmc_host/mmc0 &&
     run_programs && authorized 0 2-3:1.0 && grep -qx "/sys$pci/$reader" $reader_record &&
     udev_test bind $pci/usb2/2-2/2-2:1.0 && grep -q "authorized.*writing .0." <<<"$out"'
run set readonly
# The fake disk refuses the read-only ioctl: the failure must show.
check "readonly: storage authorized again, the refusing disk named, exit 1" \
    'authorized 1 ${storage[*]} && [[ $status == 1 ]] && grep -q /dev/sdx /run/err'
check "readonly: udev sets USB disks read-only, mounted read-only; one it cannot is never mounted; the ATA disk left alone" \
    'udev_test change $composite/1-1:1.1/host6/target6:0:0/6:0:0:0/block/sdx && grep -q "blockdev --setro /dev/sdx" <<<"$out" &&
     grep -q "MODE 0440" <<<"$out" && grep -q UDISKS_MOUNT_OPTIONS_DEFAULTS=ro <<<"$out" && grep -qx SYSTEMD_READY=0 <<<"$out" &&
     untouched change $ata/block/sdz'
sg=$composite/1-1:1.1/host6/target6:0:0/6:0:0:0/scsi_generic/sg0
check "readonly: the disk's SCSI generic node is root's alone, whatever group the distribution gives it" \
    'udev_test add $sg && grep -qE "61-varnholt.rules:[0-9]+ MODE 0600" <<<"$out" && grep -E "61-varnholt.rules:[0-9]+ GROUP 0" <<<"$out" >/dev/null'
run set disable && run reset
check "reset: no rules file, storage authorized again" '[[ $status == 0 && ! -e $rules ]] && authorized 1 ${storage[*]}'
echo "$failures failure(s)"
((failures == 0))
