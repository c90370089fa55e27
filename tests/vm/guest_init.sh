#!/bin/sh
# The VM's init: udev as on Debian, then varnholt-policy at boot and at each switch, checked on
# QEMU's disks STICK and UAS, its keyboard KBD and a composite keyboard+storage gadget GADGET.
/bin/busybox --install -s && echo "VMTEST init"
export PATH=/usr/sbin:/usr/bin && mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
mount -t tmpfs run /run && mkdir -p /var/lib/varnholt /etc/udev/rules.d
printf 'Windows Registry Editor Version 5.00\n\n%s\n"Start"=dword:00000004\n' \
    '[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\UsbStor]' >/var/lib/varnholt/machine.reg
modprobe -a configfs evdev ext4 dummy_hcd libcomposite && mount -t configfs none /sys/kernel/config
/usr/lib/systemd/systemd-udevd --daemon
udevadm trigger --type=subsystems --action=add && udevadm trigger --action=add && udevadm settle

check() { if eval "$2"; then echo "VMTEST ok $1"; else echo "VMTEST FAIL $1"; fi; }
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
    { read -r _ && read -r _ && read -r _ && read -r line; } </etc/udev/rules.d/61-varnholt.rules
    [ "$line" = "# varnholt-policy mode: $mode" ] || return 1
    for disk; do
        if [ $mode = disable ]; then [ ! -e "/sys/block/$disk" ] || return 1
        else read -r flag <"/sys/block/$disk/ro" && [ "$flag" = 1 ] || return 1; fi
    done
} 2>/dev/null
switch() { # switch MODE DISK...: sets the mode and prints the time until it is in force
    mode=$1 tries=0 && shift && read -r start _ </proc/uptime
    varnholt-policy set $mode >/tmp/out 2>&1 || echo "VMTEST FAIL set $mode: exit $? $(cat /tmp/out)" &
    until in_force "$@" || [ $((tries += 1)) -gt 2000 ]; do sleep 0.01; done
    read -r now _ </proc/uptime && echo "VMTEST figure $mode-in-force $start $now" && wait
}

g=/sys/kernel/config/usb_gadget/composite # a boot keyboard and a mass-storage function
mkdir -p $g/strings/0x409 $g/configs/c.1 $g/functions/hid.kbd $g/functions/mass_storage.disk
echo 0x1d6b >$g/idVendor && echo 0x0104 >$g/idProduct && echo GADGET >$g/strings/0x409/serialnumber
for setting in protocol=1 subclass=1 report_length=8; do echo ${setting#*=} >$g/functions/hid.kbd/${setting%=*}; done
printf '\005\001\011\006\241\001\005\007\031\340\051\347\025\000\045\001\165\001\225\010\201\002\225\001\165\010\201\003\225\005\165\001\005\010\031\001\051\005\221\002\225\001\165\003\221\003\225\006\165\010\025\000\045\145\005\007\031\000\051\145\201\000\300' \
    >$g/functions/hid.kbd/report_desc
truncate -s 8M /run/gadget.img && echo /run/gadget.img >$g/functions/mass_storage.disk/lun.0/file
ln -s $g/functions/hid.kbd $g/functions/mass_storage.disk $g/configs/c.1/
plug() { echo "$1" >$g/UDC && udevadm settle && sleep 0.5 && udevadm settle; }

# The hive records disable and the boot unit applies it; the composite comes later, meeting udev.
$(sed -n 's/^ExecStart=//p' /lib/systemd/system/varnholt-policy.service) || echo "VMTEST FAIL boot unit: exit $?"
plug dummy_udc.0
check "disable at boot: the three storage devices blocked, both keyboards work" \
    'retry "blocked STICK UAS GADGET" && keyboards_work'
switch readwrite
check "readwrite: writes succeed" 'retry "disks_back STICK UAS GADGET" && stick=$(disk_of STICK) &&
    disks="$stick $(disk_of UAS) $(disk_of GADGET)" && writes yes $disks'
mount /dev/${stick}1 /mnt && echo before >/mnt/before
switch readonly $disks
check "readonly: writes fail on the disks, a partition, and a file system mounted before" \
    'writes no $disks ${stick}1 && ! echo after >/mnt/after 2>/dev/null && grep -q before /mnt/before'
plug "" && plug dummy_udc.0
check "readonly: the composite re-plugged is read-only, both keyboards work" \
    'retry "disks_back GADGET" && writes no $(disk_of GADGET) && keyboards_work'
umount /mnt
switch readwrite
check "readwrite again: writes succeed, a fresh mount too" \
    'disks="$stick $(disk_of UAS) $(disk_of GADGET)" && writes yes $disks && mount /dev/${stick}1 /mnt && echo again >/mnt/again && umount /mnt'
switch disable $disks
check "disable again: all storage blocked, both keyboards work" 'retry "blocked STICK UAS GADGET" && keyboards_work'
echo "VMTEST done" && poweroff -f
