#!/bin/bash
# The booted guest's side of run_boot_test.sh, one stage per boot (vmtest.stage=): install (the
# package; busy desktop sticks switched through the path unit; a keyboard in a stick's port; the
# journal; status --json; switch times; / on USB writable; then readonly), usbroot-readonly and
# usbroot-disable (cold boots, / on USB writable), disable (/ on virtio: no USB disk ever
# attached). Lines "VMTEST ok|FAIL|figure|note" are the results; "VMHOST cmd" asks the monitor.
stage=$(sed -n 's/.*vmtest\.stage=\([^ ]*\).*/\1/p' /proc/cmdline)
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
rules=/etc/udev/rules.d/61-varnholt.rules hive=/var/lib/varnholt/machine.reg
storage=(FATSTICK EXTSTICK UASDISK) blocked_id=0cf516832ccc4a8f994bf8bfcf6688bd

check() { if (eval "$2"); then echo "VMTEST ok $stage: $1"; else echo "VMTEST FAIL $stage: $1" && journalctl -b -q -n 25 --no-pager; fi; }
retry() { for _ in $(seq "${2:-150}"); do eval "$1" && return 0; sleep 0.2; done && return 1; }
host() { echo "VMHOST $*"; }
now() { read -r t _ </proc/uptime && echo "$t"; }
usb_device() { grep -lx "$1" /sys/bus/usb/devices/*/serial 2>/dev/null | head -1 | xargs -r dirname; }
disk_of() { ls -d "$(usb_device "$1")"/*/host*/target*/*/block/* 2>/dev/null | head -1 | xargs -r basename; }
blocks_of() { local d=$(disk_of "$1") && [ -n "$d" ] && echo "$d" $(cd /sys/block/$d && ls -d ${d}[0-9]* 2>/dev/null); }
# Each device in MODE: no disk and its interfaces unauthorized; every block device of it
# read-only and not mounted writable; its disk there and writable.
in_mode() {
    local mode=$1 serial b && shift
    for serial; do
        [ "$mode" = disable ] && { [ -z "$(disk_of "$serial")" ] && ! grep -qx 1 "$(usb_device "$serial")"/*:*/authorized || return 1; }
        [ "$mode" = disable ] || [ -n "$(disk_of "$serial")" ] || return 1
        for b in $([ "$mode" = readonly ] && blocks_of "$serial"); do
            grep -qx 1 /sys/class/block/$b/ro && ! grep -q "^/dev/$b [^ ]* [^ ]* rw" /proc/mounts || return 1
        done
        [ "$mode" != readwrite ] || grep -qx 0 /sys/block/$(disk_of "$serial")/ro || return 1
    done
}
# The hive as the window's helper writes it: a new file renamed into place.
write_hive() {
    printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\UsbStor]\n"Start"=dword:%08x\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\StorageDevicePolicies]\n"WriteProtect"=dword:%08x\n' \
        $([ $1 = disable ] && echo 4 || echo 3) $([ $1 = readwrite ] && echo 0 || echo 1) >$hive.new && mv $hive.new $hive
}
# switch MODE SERIAL...: through the path unit; the time from the hive's write to every
# device in the mode, and how much of it apply took.
switch() {
    local mode=$1 start && shift && start=$(now) && write_hive "$mode"
    for _ in $(seq 6000); do in_mode "$mode" "$@" && break; sleep 0.01; done
    in_mode "$mode" "$@" || echo "VMTEST FAIL $stage: $mode not in force on $* within 60 s"
    awk "BEGIN { print \"VMTEST figure switch-$mode${busy:+-busy}\", $(now) - $start }"
    systemctl show -p ExecMainStartTimestampMonotonic -p ExecMainExitTimestampMonotonic --value varnholt-policy.service |
        xargs | awk "{ print \"VMTEST figure apply-$mode\", (\$2 > \$1 ? \$2 - \$1 : \$1 - \$2) / 1e6 }"
}
# The rules put on the initramfs by the path unit, as an archive after initramfs-tools' own.
initrd_follows() {
    local mode=$1 start=$2 image=/boot/initrd.img-$(uname -r) state=/var/lib/varnholt/boot-images
    retry '[ "$(stat -c %Y $state 2>/dev/null || echo 0)" -ge "$(stat -c %Y $rules)" ] &&
        [ "$(systemctl show -p ActiveState --value varnholt-boot-image.service)" = inactive ]' 1500
    awk "BEGIN { print \"VMTEST figure initramfs-update\", $(now) - $start }"
    local at=$(awk -v image="$image" '$4 == image { print $1 }' $state)
    check "the initramfs carries the $mode rules and blockdev after its own archives" \
        'tail -c +$((at + 1)) $image | cpio -it --quiet | grep -qx usr/libexec/varnholt/blockdev &&
         tail -c +$((at + 1)) $image | cpio -i --quiet --to-stdout etc/udev/rules.d/61-varnholt.rules |
         grep -qx "# varnholt-policy mode: $mode"'
}
set_mode_for_next_boot() { # by the command, as an administrator does
    local start=$(now) && varnholt-policy set "$1" >/tmp/set.out 2>&1 || echo "VMTEST FAIL $stage: set $1: $(cat /tmp/set.out)"
    initrd_follows "$1" "$start"
}
entries() { journalctl -b -q -o cat "$@" | grep -c .; }
udev_failures() { journalctl -b -q -u systemd-udevd -o cat | grep -ci 'varnholt.*failed\|failed.*varnholt'; }
timeline() { # the kernel's first USB probe, the boot unit, udev's coldplug
    local kernel early trigger
    kernel=$(journalctl -b -k -q -o short-monotonic | grep -m1 'usb [0-9-]*: new' | sed 's/^\[ *\([0-9.]*\)].*/\1/')
    early=$(systemctl show -p ExecMainStartTimestampMonotonic --value varnholt-policy-early.service)
    trigger=$(systemctl show -p ExecMainStartTimestampMonotonic --value systemd-udev-trigger.service)
    awk "BEGIN { printf \"VMTEST note $stage timeline: kernel's first USB probe %.2f s, initramfs rules from it; boot unit %.2f s; udev coldplug %.2f s\n\", $kernel, $early / 1e6, $trigger / 1e6 }"
}
fsck_clean() { # a FAT file system detached while mounted keeps the dirty bit it set: no fault
    if [ "$1" = FATSTICK ]; then ! fsck.vfat -n "$2" 2>&1 | grep -v '^fsck.fat\|[Dd]irty bit\|^Leaving\|files, \|^$'; else e2fsck -fn "$2"; fi
}
root_writable() { [ "$(findmnt -no SOURCE /)" != "" ] && touch /root-writable-$stage && sync && grep -q ' / ext4 rw' /proc/mounts; }

echo "VMTEST start $stage at $(now) s" && udevadm settle
case $stage in
install)
    check "apt installs the .deb in the guest; the units are active" \
        'apt-get install -y -q --no-install-recommends /vmtest/varnholt_*.deb >/tmp/apt.log 2>&1 &&
         systemctl -q is-active varnholt-policy.path varnholt-boot-image.path || { tail /tmp/apt.log; false; }'
    write_hive readwrite && retry 'in_mode readwrite ${storage[*]}'
    # Mounted as a desktop mounts them: udisks, for alice; the ext4 stick's top folder hers, 0700.
    fat=$(disk_of FATSTICK) ext=$(disk_of EXTSTICK)
    sudo -u alice udisksctl mount -o dmask=0077 -b /dev/${fat}1 >/dev/null && sudo -u alice udisksctl mount -b /dev/${ext}1 >/dev/null
    chown alice: /media/alice/EXTSTICK && chmod 700 /media/alice/EXTSTICK
    check "udisks mounted the sticks for alice: vfat with her uid and dmask=0077, ext4 under a 0700 folder" \
        'grep -q "/media/alice/FATSTICK vfat rw.*uid=1000.*dmask=0077" /proc/mounts && [ "$(stat -c %a /media/alice/FATSTICK)" = 700 ] &&
         [ "$(stat -c %a/%U /media/alice/EXTSTICK)" = 700/alice ]'
    for stick in FATSTICK EXTSTICK; do
        sudo -u alice bash -c "exec 3>>/media/alice/$stick/log; i=0
            while echo \"line \$((i += 1))\" >&3; do echo \$i >/tmp/$stick.count; sleep 0.005; done" 2>/dev/null &
    done
    sleep 2 && before=$(cat /tmp/FATSTICK.count)/$(cat /tmp/EXTSTICK.count)
    busy=1 switch readonly FATSTICK EXTSTICK
    sleep 1 && sudo -u alice pkill -u alice bash; sleep 0.5
    echo "VMTEST note $stage busy sticks: lines written before the switch $before (FATSTICK/EXTSTICK)"
    check "the service flushed and froze the busy user mounts, then re-attached them read-only; it did not fail" \
        '! systemctl -q is-failed varnholt-policy.service && ! journalctl -b -q -t varnholt-policy -o cat | grep -q "cannot flush"'
    mkdir -p /mnt/check
    for stick in FATSTICK EXTSTICK; do
        part=/dev/$(disk_of $stick)1 written=$( [ $stick = FATSTICK ] && echo ${before%/*} || echo ${before#*/})
        check "$stick: fsck clean, and every line written before the switch on the medium (0 lost)" \
            'fsck_clean $stick "$part" >/tmp/fsck.log 2>&1 && mount -o ro "$part" /mnt/check &&
             on=$(awk "\$2 != NR { exit 1 } END { print NR }" /mnt/check/log) && umount /mnt/check &&
             echo "VMTEST note $stage $stick: $on lines on the medium, $written written before the switch, lost $((on >= written ? 0 : written - on))" &&
             [ "$on" -ge "$written" ] || { cat /tmp/fsck.log; umount /mnt/check; false; }'
    done
    for mode in disable readonly readwrite disable readonly readwrite disable readonly readwrite; do switch $mode ${storage[*]}; done
    # A stick into port 1 of the USB 2 controller under disable, out again, a keyboard in.
    switch disable ${storage[*]}
    host device_add usb-storage,bus=ehci.0,port=1,drive=hot,id=hot,serial=HOTPLUG
    check "a stick plugged under disable: blocked, one journal entry, VARNHOLT_UID 0, recorded for it" \
        'retry "[ -n \"\$(usb_device HOTPLUG)\" ] && in_mode disable HOTPLUG" && sleep 2 &&
         [ "$(entries MESSAGE_ID=$blocked_id VARNHOLT_SERIAL=HOTPLUG)" = 1 ] &&
         [ "$(entries MESSAGE_ID=$blocked_id VARNHOLT_SERIAL=HOTPLUG VARNHOLT_UID=0)" = 1 ] && ls /run/varnholt/blocked | grep -q .'
    port=$(basename "$(usb_device HOTPLUG)") && records=$(ls /run/varnholt/blocked | wc -l)
    host device_del hot
    check "the stick out: its record gone with it" \
        'retry "[ -z \"\$(usb_device HOTPLUG)\" ]" && retry "[ \$(ls /run/varnholt/blocked | wc -l) -lt $records ]"'
    host device_add usb-kbd,bus=ehci.0,port=1,id=kbd2
    retry "[ -e /sys/bus/usb/devices/$port/$port:1.0/bInterfaceClass ]" && udevadm settle
    varnholt-policy apply >/tmp/apply.out 2>&1; applied=$?
    check "a keyboard where the stick was: apply exits 0, names nothing, leaves it authorized and bound" \
        '[ $applied = 0 ] && ! grep -q "$port:" /tmp/apply.out && grep -qx 1 /sys/bus/usb/devices/$port/$port:1.0/authorized &&
         [ "$(basename "$(readlink /sys/bus/usb/devices/$port/$port:1.0/driver)")" = usbhid ]'
    event=$(ls -d /sys/bus/usb/devices/$port/$port:1.0/*/input/input*/event* 2>/dev/null | head -1 | xargs -r basename)
    timeout 10 dd if=/dev/input/$event of=/tmp/key bs=24 count=1 2>/dev/null &
    reading=$! && sleep 1 && host sendkey a && wait $reading
    check "... and it types" '[ -n "$event" ] && [ "$(stat -c %s /tmp/key)" = 24 ]'
    # Run by hand through systemd-run (INVOCATION_ID set): the journal says uid 0, not the unit.
    systemctl stop varnholt-policy.path && write_hive readwrite
    systemd-run -q --wait varnholt-policy apply && systemctl start varnholt-policy.path
    check "the journal: the unit's runs said as the unit's, a hand run under systemd-run as uid 0's; VARNHOLT_UID on every entry" \
        'journalctl -b -q -o cat -t varnholt-policy | grep -q "to readwrite, varnholt-policy apply by uid 0" &&
         journalctl -b -q -o cat -t varnholt-policy | grep -q "to disable, the hive changed or the machine started (varnholt-policy.service)" &&
         [ "$(journalctl -b -q -o export -t varnholt-policy | grep -c "^MESSAGE_ID=")" = "$(journalctl -b -q -o export -t varnholt-policy | grep -c "^VARNHOLT_UID=")" ]'
    gone=$(readlink -f /sys/bus/usb/devices/$port | sed 's|^/sys||')/$port:1.0/host9/target9:0:0/9:0:0:0/block/sdz
    varnholt-policy plugged blocked "$gone"; plugged=$?
    check "a plugged run whose device is gone exits 0; udev reported no failed varnholt-policy run this boot" \
        '[ $plugged = 0 ] && [ "$(udev_failures)" = 0 ]'
    # A mount point no shell would type, through a real JSON parser.
    uas=$(disk_of UASDISK) && target=$(printf '/mnt/q "u\\o\tt\001e') && mkdir -p "$target" && mount /dev/${uas}1 "$target"
    varnholt-policy status --json >/tmp/status.json; code=$?
    check "status --json parses with the hostile mount point intact; exit $code" \
        'TARGET="$target" python3 -c "import json, os, sys
d = json.load(open(\"/tmp/status.json\"))
targets = [m[\"target\"] for i in d[\"devices\"] for b in i[\"block_devices\"] for m in b[\"mounts\"]]
sys.exit(0 if os.environ[\"TARGET\"] in targets and d[\"exit_status\"] == $code else 1)"'
    umount "$target"
    check "root on a USB disk under readwrite: / writable, status names it as holding /" \
        'root_writable && varnholt-policy status | grep -q "holds / or /boot"'
    set_mode_for_next_boot readonly
    ;;
usbroot-readonly)
    check "cold boot under readonly: every USB disk and partition read-only and root's alone from the initramfs on" \
        'in_mode readonly ${storage[*]} && [ "$(cd /dev && stat -c %a $(blocks_of FATSTICK) $(blocks_of UASDISK) | sort -u)" = 440 ] &&
         [ "$(entries -t varnholt-policy VARNHOLT_AT_PLUG=0)" = 0 ]'
    check "root on a USB disk under readonly: / writable" root_writable
    timeline
    set_mode_for_next_boot disable
    ;;
usbroot-disable|disable)
    check "cold boot under disable: no USB disk but the system's ever attached, every storage interface unauthorized, keyboard and mouse bound" \
        'in_mode disable ${storage[*]} && grep -qx 1 "$(usb_device KBD)"/*:1.0/authorized &&
         [ "$(journalctl -b -k -q | grep -c "Attached SCSI disk")" = "$([ $stage = disable ] && echo 0 || echo 1)" ]'
    check "one journal entry for each stick, none failed; no failed udev run" \
        'for s in ${storage[*]}; do [ "$(entries MESSAGE_ID=$blocked_id VARNHOLT_SERIAL=$s)" = 1 ] || exit 1; done && [ "$(udev_failures)" = 0 ]'
    timeline
    [ $stage = disable ] || check "root on a USB disk under disable: / writable" root_writable
    ;;
esac
echo "VMTEST done $stage"
systemctl poweroff
