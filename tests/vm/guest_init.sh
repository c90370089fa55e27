#!/bin/sh
# The VM's init: udev as on Debian, then varnholt-policy at boot and at each switch, checked on
# QEMU's disks STICK and UAS, its keyboard KBD and a composite keyboard+storage gadget GADGET.
# "init usbroot": the same machine after a switch_root onto the UAS disk's partition.
/bin/busybox --install -s && echo "VMTEST init $1"
export PATH=/usr/sbin:/usr/bin rules=/etc/udev/rules.d/61-varnholt.rules

check() { if eval "$2"; then echo "VMTEST ok $1"; else echo "VMTEST FAIL $1" && dmesg | tail -20; fi; }
retry() { for _ in $(seq 50); do eval "$1" && return 0; sleep 0.2; done && return 1; }
usb_device() { grep -lx "$1" /sys/bus/usb/devices/*/serial 2>/dev/null | head -1 | xargs -r dirname; }
disk_of() { ls -d "$(usb_device "$1")"/*/host*/target*/*/block/* 2>/dev/null | head -1 | xargs -r basename; }
blocked() { # each device's storage interfaces unauthorized and no disk
    for serial; do
        for i in $(usb_device "$serial")/*:*; do grep -qx 08 $i/bInterfaceClass && ! grep -qx 0 $i/authorized && return 1; done
        [ -z "$(disk_of "$serial")" ] || return 1
    done
}
disks_back() { for serial; do [ -n "$(disk_of "$serial")" ] || return 1; done && udevadm settle; }
writes() { # writes yes|no DISK...: whether a block written to each lands
    for disk in $(echo "$@" | cut -d' ' -f2-); do
        dd if=/dev/zero of=/dev/$disk bs=4096 count=1 seek=64 conv=notrunc,fsync 2>/dev/null && landed=yes || landed=no
        [ -b /dev/$disk ] && [ $landed = $1 ] || return 1
    done
}
keyboards_work() { # the QEMU keyboard is bound, and a key on the composite arrives as input
    readlink "$(usb_device KBD)"/*:1.0/driver | grep -q usbhid || return 1
    event=$(ls -d "$(usb_device GADGET)"/*:1.0/*/input/input*/event* | head -1 | xargs basename)
    dd if="/dev/input/$event" of=/tmp/event bs=24 count=1 2>/dev/null &
    sleep 0.2 && printf '\000\000\004\000\000\000\000\000' >/dev/hidg0
    printf '\000\000\000\000\000\000\000\000' >/dev/hidg0 && sleep 0.3 && kill $! 2>/dev/null
    [ "$(wc -c </tmp/event)" = 24 ]
}
# The mode's rules in place and each disk read-only or gone: builtins only, not to slow the switch.
in_force() {
    { read -r _ && read -r _ && read -r _ && read -r line; } <$rules
    [ "$line" = "# varnholt-policy mode: $mode" ] || return 1
    for disk; do
        if [ $mode = disable ]; then [ ! -e "/sys/block/$disk" ] || return 1
        else read -r flag <"/sys/block/$disk/ro" && [ "$flag" = 1 ] || return 1; fi
    done
} 2>/dev/null
switch() { # switch MODE DISK...: sets the mode and prints the time until it is in force
    mode=$1 tries=0 && shift && read -r start _ </proc/uptime
    varnholt-policy set $mode >/tmp/out 2>&1 || echo "VMTEST FAIL set $mode: exit $? $(cat /tmp/out)" &
    setting=$! && until in_force "$@" || [ $((tries += 1)) -gt 2000 ]; do sleep 0.01; done
    read -r now _ </proc/uptime && echo "VMTEST figure ${figure:-$mode-in-force} $start $now" && wait $setting
}
g=/sys/kernel/config/usb_gadget/composite # a boot keyboard and a mass-storage function
plug() { echo "$1" >$g/UDC && udevadm settle && sleep 0.5 && udevadm settle; }
ro_flags() { for disk; do read -r flag </sys/block/$disk/ro && echo $flag; done | tr -d '\n'; }
sg_of() { ls "$(usb_device "$1")"/*/host*/target*/*/scsi_generic 2>/dev/null | head -1; }
# as_disk_group MARK DISK SG: a process in group disk (not root) writes MARK to the disk's node,
# and a SCSI WRITE(10) of MARK through its generic node (SG_IO), both at block 200.
as_disk_group() {
    { printf "SG$1" && dd if=/dev/zero bs=1 count=$((512 - 2 - ${#1})) 2>/dev/null; } >/tmp/sg-$1 && chmod 644 /tmp/sg-$1
    /usr/bin/setpriv --reuid=1000 --regid=6 --clear-groups sh -c "printf $1 | dd of=/dev/$2 bs=512 seek=200 conv=notrunc,fsync;
        sg_raw -s 512 -i /tmp/sg-$1 /dev/$3 2a 00 00 00 00 c8 00 00 01 00" >/tmp/as-disk-group 2>&1

}

if [ "$1" = usbroot ]; then # / is on UAS (the booted test boots from a USB disk in every mode)
    mkdir -p /var/lib/varnholt /etc/udev/rules.d /tmp && /usr/lib/systemd/systemd-udevd --daemon &&
        udevadm trigger --action=add -s usb -s block && udevadm settle
    # /boot on a loop device whose backing file is on the stick: the stick holds the system too.
    modprobe loop; mkdir -p /media /boot && retry "disks_back STICK" && mount /dev/$(disk_of STICK)1 /media &&
        mount -o loop /media/boot.img /boot && figure=usbroot-loop-disable switch disable
    check "/boot on a loop device backed by a file on the stick: disable leaves the stick alone and blocks the rest" \
        'blocked GADGET && [ "$(ro_flags $(disk_of STICK))" = 0 ] && echo z >/boot/z && varnholt-policy reset >/dev/null'
    echo "VMTEST done" && poweroff -f
fi

mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
mount -t tmpfs run /run && mkdir -p /var/lib/varnholt /etc/udev/rules.d /mnt2 /newroot
printf 'Windows Registry Editor Version 5.00\n\n%s\n"Start"=dword:00000004\n' \
    '[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\UsbStor]' >/var/lib/varnholt/machine.reg
modprobe -a configfs evdev ext4 dummy_hcd libcomposite sg && mount -t configfs none /sys/kernel/config
# As systemd orders it: the early unit after udevd and before the coldplug, with the hive alone
# saying disable; the composite comes later, meeting udev.
/usr/lib/systemd/systemd-udevd --daemon
$(sed -n 's/^ExecStart=//p' /lib/systemd/system/varnholt-policy-early.service) || echo "VMTEST FAIL boot unit: exit $?"
udevadm trigger --type=subsystems --action=add && udevadm trigger --action=add && udevadm settle
check "cold boot, the hive alone saying disable: no USB disk ever appeared" '! dmesg | grep -q "Attached SCSI disk"'

mkdir -p $g/strings/0x409 $g/configs/c.1 $g/functions/hid.kbd $g/functions/mass_storage.disk
echo 0x1d6b >$g/idVendor && echo 0x0104 >$g/idProduct && echo GADGET >$g/strings/0x409/serialnumber
for setting in protocol=1 subclass=1 report_length=8; do echo ${setting#*=} >$g/functions/hid.kbd/${setting%=*}; done
printf '\005\001\011\006\241\001\005\007\031\340\051\347\025\000\045\001\165\001\225\010\201\002\225\001\165\010\201\003\225\005\165\001\005\010\031\001\051\005\221\002\225\001\165\003\221\003\225\006\165\010\025\000\045\145\005\007\031\000\051\145\201\000\300' \
    >$g/functions/hid.kbd/report_desc
truncate -s 8M /run/gadget.img && echo /run/gadget.img >$g/functions/mass_storage.disk/lun.0/file
ln -s $g/functions/hid.kbd $g/functions/mass_storage.disk $g/configs/c.1/
plug dummy_udc.0
check "disable at boot: the three storage devices blocked, both keyboards work" \
    'retry "blocked STICK UAS GADGET" && echo BLOCKED && keyboards_work || { dmesg | tail -30; grep . /sys/bus/usb/devices/*/authorized; }'
switch readwrite
check "readwrite: writes succeed" 'retry "disks_back STICK UAS GADGET" && stick=$(disk_of STICK) && uas=$(disk_of UAS) &&
    disks="$stick $uas $(disk_of GADGET)" && writes yes $disks'
# A writer holding a file open on the stick across the switch; the UAS file system idle.
# The UAS file system hidden under a mount stacked on it (as bindfs would be), its root held by
# a process (as the daemon of such a mount holds it).
mount /dev/${stick}1 /mnt && mount /dev/${uas}1 /mnt2 && echo before >/mnt2/before
(cd /mnt2 && exec sleep 600) & holder=$! && sleep 0.2 && mkdir -p /tmp/top && mount --bind /tmp/top /mnt2
(i=0 && while echo "line $((i += 1))" >&3 && echo $i >/run/count; do sleep 0.02; done) 3>>/mnt/log &
writer=$! && sleep 1 && read -r first </run/count && figure=readonly-busy switch readonly $uas $(disk_of GADGET)
read -r last </run/count && sleep 1 && kill $writer && figure= && echo "VMTEST note $(tr '\n' ' ' </tmp/out)"
check "readonly: the busy mount named, and of its writer's lines those before the switch on the stick, none after; fsck clean" \
    'grep -q "on /mnt: reattached-read-only" /tmp/out && retry "disks_back STICK" && stick=$(disk_of STICK) &&
     e2fsck -fn /dev/${stick}1 >/dev/null && mount -o ro /dev/${stick}1 /mnt && line=$(tail -1 /mnt/log | cut -d" " -f2) &&
     [ $first -le $line ] && [ $line -le $last ] && echo "medium holds line $line of $first..$last"'
check "readonly: writes fail on the disks, a partition, and an idle file system mounted before, also one hidden under another mount" \
    'disks="$stick $uas $(disk_of GADGET)" && writes no $disks ${stick}1 && ! echo after >/proc/$holder/cwd/after 2>/dev/null &&
     grep -q before /proc/$holder/cwd/before && echo top >/mnt2/top'
# Plugged again under readonly: a disk-group member hammers every USB disk node. Root's window
# is at most the time from the kernel's announcement (the node) to udev's, which follows the rules.
plug ""
udevadm monitor -k -u -s block >/run/monitor & monitor=$!
{ printf SGRACER && dd if=/dev/zero bs=1 count=505 2>/dev/null; } >/tmp/sg-racer && chmod 644 /tmp/sg-racer
/usr/bin/setpriv --reuid=1000 --regid=6 --clear-groups sh -c 'while :; do for d in /dev/sd?; do
    printf RACER | dd of=$d bs=512 seek=100 conv=notrunc,fsync 2>/dev/null; done; for g in /dev/sg*; do
    sg_raw -s 512 -i /tmp/sg-racer $g 2a 00 00 00 00 c8 00 00 01 00 >/dev/null 2>&1; done; done' &
racer=$! && sleep 0.5 && echo dummy_udc.0 >$g/UDC && retry "disks_back GADGET" && sleep 0.5 && kill $racer $monitor
awk '/ add .*\/block\/sd[a-z]+ \(block\)$/ { split($0, p, /[][]/); t[substr(p[1], 1, 1)] = p[2] }
    END { print "VMTEST figure root-window-at-most", t["K"], t["U"] }' /run/monitor
check "readonly: the composite plugged again is read-only, 0 writes of a disk-group racer landed (block or sg node), both keyboards work" \
    'retry "disks_back GADGET" && writes no $(disk_of GADGET) && ! grep -q RACER /run/gadget.img && keyboards_work &&
     ls -l /dev/$(sg_of GADGET) | grep -q "^crw------- .* root *root "'
kill $holder && sleep 0.2 && umount /mnt /mnt2 && umount /mnt2
switch readwrite
# The control: in group disk, under readwrite, both ways write (so the racer above could have).
check "readwrite again: writes succeed, a fresh mount too, and the disk group's through the block and the generic node" \
    'disks="$stick $uas $(disk_of GADGET)" && writes yes $disks && mount /dev/${stick}1 /mnt && echo again >/mnt/again && umount /mnt &&
     retry "as_disk_group GROUPOK $(disk_of GADGET) $(sg_of GADGET) && grep -q GROUPOK /run/gadget.img && grep -q SGGROUPOK /run/gadget.img"'
echo "VMTEST note $(ls -l /dev/$(disk_of GADGET) /dev/$(sg_of GADGET) | tr '\n' ' ') $(tr '\n' ' ' </tmp/as-disk-group)"
switch disable $disks
check "disable again: all storage blocked, both keyboards work" 'retry "blocked STICK UAS GADGET" && keyboards_work'
for _ in 1 2 3; do # more samples of each switch
    switch readwrite && retry "disks_back STICK UAS GADGET" && disks="$(disk_of STICK) $(disk_of UAS) $(disk_of GADGET)"
    switch readonly $disks && switch disable $disks
done
varnholt-policy reset >/tmp/out 2>&1 || echo "VMTEST FAIL reset: exit $? $(cat /tmp/out)"
check "reset: no rules, every disk back and writable" '[ ! -e $rules ] && retry "disks_back STICK UAS GADGET" &&
    uas=$(disk_of UAS) && writes yes $(disk_of STICK) $uas $(disk_of GADGET)'
# The UAS partition holds a copy of this root: it becomes /.
retry "[ -b /dev/${uas}1 ]" && mount /dev/${uas}1 /newroot && udevadm control --exit && for m in proc sys dev run; do mount --move /$m /newroot/$m; done
exec switch_root /newroot /init usbroot
