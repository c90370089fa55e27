#!/usr/bin/env bash
# varnholt-policy and the rules it writes, against a fake sysfs (umockdev): a composite
# keyboard+storage device, a keyboard, a UAS disk, a vendor-specific storage interface and an
# ATA disk. Runs in a private mount namespace with tmpfs over /run (udev's database), the
# rules folder and the hive's folder: the host's own udev and run state never change.
# Usage: umockdev_test.sh VARNHOLT_POLICY
set -euo pipefail
policy=$1
self=$(realpath "$0")
pci=/devices/pci0000:00/0000:00:14.0
if [[ "${2:-}" == "" ]]; then exec unshare -m "$self" "$policy" --namespace; fi
if [[ "$2" == --namespace ]]; then
mount --make-rprivate /
for folder in /run /etc/udev/rules.d /var/lib/varnholt; do
    mkdir -p "$folder" && mount -t tmpfs tmpfs "$folder"
done

device() {  # device PATH [KEY=VALUE]...: E: for upper-case keys, A: for attributes
    echo "P: $1"
    for pair in "${@:2}"; do
        case $pair in L:*) echo "$pair" ;; [A-Z]*) echo "E: $pair" ;; *) echo "A: $pair" ;; esac
    done
    echo
}
interface() {  # interface PATH CLASS DRIVER
    device "$1" SUBSYSTEM=usb DEVTYPE=usb_interface DRIVER="$3" authorized=1 bInterfaceClass="$2" \
        "L: driver=../../../../../../bus/usb/drivers/$3"
}
{
    device "$pci/usb1/1-1/1-1:1.1/host6/target6:0:0/6:0:0:0/block/sdx" SUBSYSTEM=block \
        DEVTYPE=disk DEVNAME=/dev/sdx MAJOR=8 MINOR=250 dev=8:250 ro=0
    interface "$pci/usb1/1-1/1-1:1.1" 08 usb-storage
    interface "$pci/usb1/1-1/1-1:1.0" 03 usbhid
    interface "$pci/usb1/1-2/1-2:1.0" 03 usbhid
    interface "$pci/usb2/2-1/2-1:1.0" 08 uas
    interface "$pci/usb2/2-2/2-2:1.0" ff ums-realtek
    for usb in usb1/1-1 usb1/1-2 usb2/2-1 usb2/2-2 usb1 usb2; do
        device "$pci/$usb" SUBSYSTEM=usb DEVTYPE=usb_device authorized=1
    done
    device /devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sdz \
        SUBSYSTEM=block DEVTYPE=disk DEVNAME=/dev/sdz MAJOR=8 MINOR=240 dev=8:240 ro=0
} > /run/devices.umockdev
# Everything below runs in one fake sysfs, and so does each command it starts.
exec umockdev-run -d /run/devices.umockdev -- "$self" "$policy" --testbed
fi
mkdir -p /sys/bus/usb && : > /sys/bus/usb/drivers_probe

failures=0
check() {  # check DESCRIPTION CODE: evaluates the code, counts a failure
    if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; cat /run/err; failures=$((failures + 1)); fi
}


authorized() { cat "/sys/bus/usb/devices/$1/authorized"; }
udev_test() {  # udev_test ACTION DEVPATH: udevadm's report; any error naming our file fails
    local out
    out=$(udevadm test --action="$1" "/sys$2" 2>&1)
    if grep -i '61-varnholt.rules' <<<"$out" | grep -Ei 'invalid|error|fail|unknown|ignor' >/dev/null; then
        echo "udevadm rejects our rules: $out" >&2
        return 1
    fi
    printf '%s\n' "$out"
}
all_authorized() {
    local want=$1 iface
    for iface in "${@:2}"; do [[ $(authorized "$iface") == "$want" ]] || return 1; done
}

rules=/etc/udev/rules.d/61-varnholt.rules
composite=$pci/usb1/1-1
hid=(1-1:1.0 1-2:1.0)
storage=(1-1:1.1 2-1:1.0 2-2:1.0)
run() { status=0 && "$policy" "$@" >/run/out 2>/run/err || status=$?; }

# A damaged hive gives disable, names file and line, and exits so that the service fails.
echo '[broken' > /var/lib/varnholt/machine.reg
run apply
check "damaged hive: exit 3, file and line named" \
    '[[ $status == 3 ]] && grep -q "machine.reg line 1" /run/err'
check "damaged hive: disable in force, storage blocked, HID untouched" \
        'grep -q "mode: disable" $rules && all_authorized 0 ${storage[*]} && all_authorized 1 ${hid[*]}'
run apply
check "apply again changes nothing" '[[ $status == 3 ]] && grep -q "nothing to change" /run/out'
rm /var/lib/varnholt/machine.reg

run set readwrite
check "readwrite: exit 0, rules of comments only, storage authorized again" \
    '[[ $status == 0 && -f $rules ]] && ! grep -v "^#" $rules && all_authorized 1 ${storage[*]} ${hid[*]}'
check "status --json: recorded and in force" \
    'grep -q "\"recorded\":\"readwrite\",.*\"in_force\":\"readwrite\"" <<<"$("$policy" status --json)"'

run set disable
for iface in "${hid[@]}"; do
    path=$(readlink -f "/sys/bus/usb/devices/$iface")
    check "disable: udev leaves HID $iface alone" 'out=$(udev_test add ${path#/sys}) && ! grep -q VARNHOLT <<<"$out"'
done
sh -c "echo 1 > /sys$composite/1-1:1.1/authorized"
check "disable: a storage interface added is deauthorized by udev" \
    'udev_test add $composite/1-1:1.1 >/dev/null && [[ $(authorized 1-1:1.1) == 0 ]]'
check "disable: a storage driver bound to a vendor interface is deauthorized by udev" \
    'out=$(udev_test bind $pci/usb2/2-2/2-2:1.0) && grep -q "authorized.*writing .0." <<<"$out"'

run set readonly
disk=$(sh -c "ls -d /sys$composite/1-1:1.1/host6/target6:0:0/6:0:0:0/block/*")
# The fake disk refuses the read-only ioctl: the failure must show.
check "readonly: storage authorized again, a refused device named, exit 1" \
    'all_authorized 1 ${storage[*]} && [[ $status == 1 ]] && grep -q "/dev/sdx" /run/err'
check "readonly: udev marks USB disks and runs blockdev" \
    'out=$(udev_test change ${disk#/sys}) && grep -q UDISKS_MOUNT_OPTIONS_DEFAULTS=ro <<<"$out" &&
     grep -q "blockdev --setro /dev/sdx" <<<"$out"'
check "readonly: udev leaves the ATA disk alone" \
    'out=$(udev_test change /devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sdz) &&
     ! grep -q VARNHOLT <<<"$out"'


echo "$failures failure(s)"
((failures == 0))
