#!/bin/sh
# The VM's init: udev as a Debian machine runs it, then varnholt-policy at boot and at each
# switch, checked on QEMU's usb-storage and usb-uas disks, its usb-kbd, and a composite
# keyboard+storage gadget on dummy_hcd. Reports "VMTEST ok|FAIL ..." lines on the console.
/bin/busybox --install -s
echo "VMTEST init"
export PATH=/usr/sbin:/usr/bin
mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
mount -t tmpfs run /run && mkdir -p /var/lib/varnholt /etc/udev/rules.d
printf 'Windows Registry Editor Version 5.00\n\n%s\n"Start"=dword:00000004\n' \
    '[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\UsbStor]' > /var/lib/varnholt/machine.reg
modprobe configfs && mount -t configfs none /sys/kernel/config
modprobe evdev && modprobe ext4
/usr/lib/systemd/systemd-udevd --daemon
udevadm trigger --type=subsystems --action=add && udevadm trigger --action=add && udevadm settle

check() {  # check DESCRIPTION CODE
    if eval "$2"; then echo "VMTEST ok $1"; else echo "VMTEST FAIL $1"; fi
}
timed() {  # timed LABEL COMMAND...: the command's run time as a figure
    label=$1 start=$(cut -d' ' -f1 /proc/uptime)
    shift
    "$@" >/tmp/out 2>&1 || { echo "VMTEST FAIL $label exit $?"; cat /tmp/out; }
    echo "VMTEST figure $label-command $start $(cut -d' ' -f1 /proc/uptime)"
}
# Figure: from the start of a switch to the first look (shell builtins only, so as not to slow
# what it measures) that finds the mode's rules and the disks named read-only or gone.
watch_in_force() {  # watch_in_force MODE DISK...
    mode=$1 start=$(cut -d' ' -f1 /proc/uptime)
    shift
    until in_force "$@"; do sleep 0.01; done
    read -r now _ < /proc/uptime
    echo "VMTEST figure $mode-in-force $start $now"
}
in_force() {  # the mode's rules in place and each disk read-only (readonly) or gone (disable)
    line= && { read -r _; read -r _; read -r _; read -r line; } < /etc/udev/rules.d/61-varnholt.rules
    [ "$line" = "# varnholt-policy mode: $mode" ] || return 1
    for disk; do
        if [ $mode = disable ]; then [ ! -e "/sys/block/$disk" ] || return 1
        else read -r flag < "/sys/block/$disk/ro" && [ "$flag" = 1 ] || return 1; fi
    done
} 2>/dev/null
usb_device() {  # usb_device SERIAL: the USB device's sysfs folder
    grep -lx "$1" /sys/bus/usb/devices/*/serial 2>/dev/null | head -1 | xargs -r dirname
}
disk_of() {  # disk_of SERIAL: its disk's name, if it has one now
    d=$(usb_device "$1") && ls -d "$d"/*/host*/target*/*/block/* 2>/dev/null | head -1 | xargs -r basename
}
storage_blocked() {  # every storage interface of each device is unauthorized and has no disk
    for _ in $(seq 25); do blocked_now "$@" && return 0; sleep 0.2; done
    return 1
}
# A disk may show for a moment when udev's rule meets an interface after the driver bound.
blocked_now() {
    for serial; do
        for i in $(usb_device "$serial")/*:*; do
            grep -qx 08 "$i/bInterfaceClass" && { grep -qx 0 "$i/authorized" || return 1; }
        done
        [ -z "$(disk_of "$serial")" ] || return 1
    done
}
writes() {  # writes yes|no DEVICE...: whether a block written to each (before a partition) lands
    want=$1
    shift
    for device; do
        [ -b "$device" ] || return 1
        dd if=/dev/zero of="$device" bs=4096 count=1 seek=64 conv=notrunc,fsync 2>/dev/null &&
            [ $want = yes ] || { [ $? != 0 ] && [ $want = no ]; } || return 1
    done
}
keyboards_work() {  # the QEMU keyboard is bound, and a key on the composite arrives as input
    readlink "$(usb_device KBD)"/*:1.0/driver | grep -q usbhid || return 1
    event=$(ls -d "$(usb_device GADGET)"/*:1.0/*/input/input*/event* | head -1 | xargs basename)
    dd if="/dev/input/$event" of=/tmp/event bs=24 count=1 2>/dev/null &
    sleep 0.2
    printf '\000\000\004\000\000\000\000\000' > /dev/hidg0
    printf '\000\000\000\000\000\000\000\000' > /dev/hidg0
    sleep 0.3
    kill $! 2>/dev/null
    [ "$(wc -c < /tmp/event)" = 24 ]
}

# The composite gadget: a boot keyboard and a mass-storage function on one device.
modprobe dummy_hcd && modprobe libcomposite
g=/sys/kernel/config/usb_gadget/composite
mkdir -p $g/strings/0x409 $g/configs/c.1 $g/functions/hid.kbd $g/functions/mass_storage.disk
echo 0x1d6b > $g/idVendor && echo 0x0104 > $g/idProduct && echo GADGET > $g/strings/0x409/serialnumber
echo 1 > $g/functions/hid.kbd/protocol && echo 1 > $g/functions/hid.kbd/subclass
echo 8 > $g/functions/hid.kbd/report_length
printf '\005\001\011\006\241\001\005\007\031\340\051\347\025\000\045\001\165\001\225\010\201\002\225\001\165\010\201\003\225\005\165\001\005\010\031\001\051\005\221\002\225\001\165\003\221\003\225\006\165\010\025\000\045\145\005\007\031\000\051\145\201\000\300' \
    > $g/functions/hid.kbd/report_desc
dd if=/dev/zero of=/run/gadget.img bs=1M count=8 2>/dev/null
echo /run/gadget.img > $g/functions/mass_storage.disk/lun.0/file
ln -s $g/functions/hid.kbd $g/functions/mass_storage.disk $g/configs/c.1/
plug() { echo "$1" > $g/UDC; udevadm settle; sleep 0.5; udevadm settle; }
disks_back() {  # waits until each device has its disk again
    for _ in $(seq 50); do
        for serial; do [ -n "$(disk_of "$serial")" ] || { sleep 0.2 && continue 2; }; done
        udevadm settle && return 0
    done
    return 1
}

# At boot the hive records disable, and the boot unit applies it; the composite is plugged in
# afterwards, so udev's rules meet it.
timed boot-apply $(sed -n 's/^ExecStart=//p' /lib/systemd/system/varnholt-policy.service)
plug dummy_udc.0
check "disable at boot: usb-storage, uas and the composite's storage blocked" \
    'storage_blocked STICK UAS GADGET'
check "disable: both keyboards work" keyboards_work

timed readwrite varnholt-policy set readwrite
check "readwrite: the three disks come back" 'disks_back STICK UAS GADGET'
stick=/dev/$(disk_of STICK) uas=/dev/$(disk_of UAS) gadget=/dev/$(disk_of GADGET)
check "readwrite: writes succeed" 'writes yes $stick $uas $gadget'
mount ${stick}1 /mnt && echo before > /mnt/before

watch_in_force readonly ${stick#/dev/} ${uas#/dev/} ${gadget#/dev/} &
timed readonly varnholt-policy set readonly
wait
check "readonly: writes fail on the disks and a partition" 'writes no $stick ${stick}1 $uas $gadget'
check "readonly: a file system mounted read/write before cannot be written" \
    '! echo after > /mnt/after 2>/dev/null && grep -q before /mnt/before'
plug "" && plug dummy_udc.0
check "readonly: the composite comes back read-only after a re-plug" \
    'disks_back GADGET && gadget=/dev/$(disk_of GADGET) && writes no $gadget'
check "readonly: both keyboards work" keyboards_work
umount /mnt

timed readwrite-again varnholt-policy set readwrite
check "readwrite again: writes succeed" 'writes yes $stick $uas $gadget'
check "readwrite again: a fresh mount is writable" \
    'mount ${stick}1 /mnt && echo again > /mnt/again && umount /mnt'

watch_in_force disable ${stick#/dev/} ${uas#/dev/} ${gadget#/dev/} &
timed disable varnholt-policy set disable
wait
check "disable again: all storage blocked" 'storage_blocked STICK UAS GADGET'
check "disable again: both keyboards work" keyboards_work
check "status: recorded and in force" \
    'varnholt-policy status --json | grep -q "\"recorded\":\"disable\",.*\"in_force\":\"disable\""'
echo "VMTEST done"
poweroff -f
