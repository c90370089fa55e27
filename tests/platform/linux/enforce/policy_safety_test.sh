#!/usr/bin/env bash
# What varnholt-policy claims, records and trusts, tried as a hostile user and a careless admin
# would: over a fake sysfs, in a mount namespace with a journal socket of its own, which a small
# reader writes out. Usage: policy_safety_test.sh VARNHOLT_POLICY MANUAL_PAGE_SOURCE POSTINST POSTRM
set -euo pipefail
policy=$(realpath "$1") man=$(realpath "$2") postinst=$(realpath "$3") postrm=$(realpath "$4") self=$(realpath "$0") usb=/devices/pci0000:00/0000:00:14.0/usb1/1-1
serial='%s%n $(touch /run/owned); `id` "q'"'"'"'
if [[ -z ${5:-} ]]; then exec unshare -m "$self" "$policy" "$man" "$postinst" "$postrm" --namespace; fi
if [[ $5 == --namespace ]]; then
    mount --make-rprivate /
    for folder in /run /etc/udev/rules.d /var/lib; do mkdir -p $folder && mount -t tmpfs tmpfs $folder; done
    # A /dev of its own, where the syslog socket can be.
    mkdir /run/dev && mount --rbind /dev /run/dev && mount -t tmpfs tmpfs /dev && ln -s /proc/self/fd /dev/fd
    for node in null zero urandom; do touch /dev/$node && mount --bind /run/dev/$node /dev/$node; done
    printf '%s\n' "P: $usb" E:SUBSYSTEM=usb E:DEVTYPE=usb_device A:authorized=1 A:idVendor=0781 \
        A:idProduct=5581 "A:serial=$serial" A:manufacturer=SanDisk A:product=Ultra '' "P: $usb/1-1:1.0" \
        E:SUBSYSTEM=usb E:DEVTYPE=usb_interface E:DRIVER=usb-storage A:authorized=1 A:bInterfaceClass=08 |
        sed 's/^\([EA]\):/\1: /' >/run/devices.umockdev
    exec umockdev-run -d /run/devices.umockdev -- "$self" "$policy" "$man" "$postinst" "$postrm" --testbed
fi
# The reader: each datagram of the journal's native protocol as one JSON object per line.
cat >/run/journal.py <<'PY'
import json, socket, struct, sys, time
if sys.argv[1] == "listen":
    s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM); s.bind(sys.argv[2])
    while True:
        d, e = s.recv(1 << 20), {}
        while d:
            line, _, d = d.partition(b"\n")
            if b"=" in line: k, _, v = line.partition(b"=")
            else: k, n = line, struct.unpack("<Q", d[:8])[0]; v, d = d[8:8 + n], d[9 + n:]
            e[k.decode()] = v.decode()
        with open(sys.argv[3], "a") as f: f.write(json.dumps(e) + "\n")
want = dict(a.split("=", 1) for a in sys.argv[3:])
for _ in range(20):  # the datagrams arrive a moment after the command ends
    if any(all(e.get(k) == v for k, v in want.items()) for e in map(json.loads, open(sys.argv[2]))): sys.exit(0)
    time.sleep(0.1)
sys.exit(1)
PY
mkdir -p /run/systemd/journal /sys/bus/usb && : >/sys/bus/usb/drivers_probe && : >/run/journal
python3 /run/journal.py listen /run/systemd/journal/socket /run/journal & reader=$!
trap 'kill $reader' EXIT
until [[ -S /run/systemd/journal/socket ]]; do sleep 0.1; done
rules=/etc/udev/rules.d/61-varnholt.rules hive=/var/lib/varnholt/machine.reg failures=0
check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1" && cat /run/out /run/err && ((++failures)); fi; }
run() { status=0 && "$policy" "$@" >/run/out 2>/run/err || status=$?; }
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
journal() { python3 /run/journal.py find /run/journal "$@"; }
documented() { sed -n 's/^\*MESSAGE_ID=\([0-9a-f]*\)\*$/\1/p' "$man" | sed -n "$1p"; }  # the nth id
json_state() { [[ $("$policy" status --json) == *"\"state\":\"$1\",\"exit_status\":$2,"* ]]; }
status_is() { local code=0 && "$policy" status >/dev/null || code=$? && [[ $code == "$1" ]] && json_state "$2" "$1"; }

umask 000 && SUDO_UID=1000 run set readwrite && umask 022
check "umask 000: the hive's folder made 0755 root, the hive 0644; status 0 in force" \
    '[[ $status == 0 && $(stat -c %a:%u /var/lib/varnholt) == 755:0 && $(stat -c %a $hive) == 644 ]] && status_is 0 in-force'
SUDO_UID=1000 run set disable
check "journal: mode from and to, who asked; the device blocked, a hostile serial verbatim; ids as documented" \
    'journal MESSAGE_ID=$(documented 1) VARNHOLT_MODE_FROM=readwrite VARNHOLT_MODE_TO=disable VARNHOLT_UID=0 VARNHOLT_SUDO_UID=1000 &&
     journal MESSAGE_ID=$(documented 2) VARNHOLT_ACTION=blocked VARNHOLT_VENDOR_PRODUCT=0781:5581 "VARNHOLT_SERIAL=$serial" \
        VARNHOLT_MANUFACTURER=SanDisk VARNHOLT_PRODUCT=Ultra VARNHOLT_KERNEL_NAME=1-1:1.0 VARNHOLT_SYSPATH=/sys$usb/1-1:1.0 && [[ ! -e /run/owned ]]'
echo 1 >/sys$usb/1-1:1.0/authorized
check "at plug: udev hands the command only the device's path, which records the rest; status 5 for the device" \
    'status_is 5 drift && [[ $(udevadm test --action=add /sys$usb/1-1:1.0 2>&1) == *"run: '"'$VARNHOLT_INSTALLED_POLICY plugged blocked $usb/1-1:1.0'"'"* ]] &&
     "$policy" plugged blocked $usb/1-1:1.0 && journal MESSAGE_ID=$(documented 2) VARNHOLT_AT_PLUG=1 "VARNHOLT_SERIAL=$serial"'
echo 0 >/sys$usb/1-1:1.0/authorized && run set readwrite
check "journal: the device given back" 'journal MESSAGE_ID=$(documented 4) VARNHOLT_ACTION=unblocked VARNHOLT_KERNEL_NAME=1-1:1.0'
# A device that cannot be taken away is left in place, and status says why.
attribute=$UMOCKDEV_DIR/sys$usb/1-1:1.0/authorized
rm $attribute && mkdir $attribute && run set disable
check "a device that cannot be pulled: exit 1; status names it and why" \
    '[[ $status == 1 ]] && grep -q "left in place by the last apply: .*authorized" <<<"$("$policy" status)" &&
     [[ $("$policy" status --json) == *"\"held_back\":\"cannot open /sys"* ]]'
rmdir $attribute && echo 0 >$attribute && run set readwrite

# The hive gone and the rules impossible to write: the readwrite rules stay, so never exit 3.
rm $hive
for way in "mount -o remount,ro /etc/udev/rules.d|mount -o remount,rw /etc/udev/rules.d" \
    "mount -o remount,size=8k /etc/udev/rules.d; cat /dev/zero >/etc/udev/rules.d/fill|rm /etc/udev/rules.d/fill; mount -o remount,size=1m /etc/udev/rules.d" \
    "rm $rules; mkdir $rules|rmdir $rules"; do
    eval "${way%|*}" 2>/dev/null || true
    run apply
    check "rules unwritable (${way%%;*}): exit 1 naming the rules, disable not claimed; status 3" \
        '[[ $status == 1 ]] && grep -q 61-varnholt.rules /run/err && ! grep -q "^in force" /run/out && status_is 3 hive-problem'
    eval "${way#*|}"
done
for hive_text in "" "\n \r\n" "Windows Registry Editor Version 5.00\n\n"; do
    printf "$hive_text" >$hive && run apply
    check "hive '$hive_text': apply exit 3 with disable in force; status 3" '[[ $status == 3 ]] && grep -q "mode: disable" $rules && status_is 3 hive-problem'
done

run set readwrite && cp $hive /run/theirs.reg && chmod 644 /run/theirs.reg
for plant in "chmod 777 /var/lib/varnholt" "as_nobody cp /run/theirs.reg /var/lib/varnholt/x && mv -f /var/lib/varnholt/x $hive"; do
    chmod 777 /var/lib/varnholt && eval "$plant" && chmod 755 /var/lib/varnholt && [[ $plant == chmod* ]] && chmod 777 /var/lib/varnholt
    run apply
    check "a hive others could replace ($plant): disable, naming why" '[[ $status == 3 ]] && grep -q "cannot be trusted" /run/err && grep -q "mode: disable" $rules'
    chmod 755 /var/lib/varnholt && rm -f $hive
done
mkdir /run/stubs && for tool in deb-systemd-helper deb-systemd-invoke systemctl; do ln -s /bin/true /run/stubs/$tool; done
run set readwrite && chmod 777 /var/lib/varnholt && chown nobody $hive && chmod 666 $hive
PATH=/run/stubs:$PATH sh "$postinst" configure
check "postinst takes back a hive and folder others could write" '[[ $(stat -c %a:%u /var/lib/varnholt $hive | paste -sd" ") == "755:0 644:0" ]]'
# A lock others could open, held by a user: root takes it before it replaces it, so root's write
# waits for theirs and the two never hold the hive at once.
install -m 644 /dev/null $hive.lock
setpriv --reuid=nobody --regid=nogroup --clear-groups bash -c 'exec 9<"$0" && flock -x 9 && exec sleep 1.5' $hive.lock & holder=$!
until ! flock -n $hive.lock true; do sleep 0.05; done # held
status=0 && start=$(date +%s%N) && timeout 5 "$policy" set readwrite >/run/out 2>/run/err || status=$?
waited=$((($(date +%s%N) - start) / 1000000)) && wait $holder
check "a 0644 lock held by a user: root's write waits for it ($waited ms), then the lock is root's alone" \
    '[[ $status == 0 && $waited -ge 500 && $(stat -c %a:%u $hive.lock) == 600:0 ]]'
mount -o remount,ro /var/lib && run set disable && mount -o remount,rw /var/lib
check "a read-only /var: the write refused as such, with its number" \
    '[[ $status == 1 ]] && grep -q "Read-only file system" /run/err && grep -q "error -2147024877" /run/err && ! grep -q "Invalid root" /run/err'
run $'\e[2J\nset' $'disable\x7f'
check "a usage error shows control characters escaped" '[[ $status == 2 ]] && grep -qF "\x1b[2J\x0aset" /run/err && ! grep -q $'"'"'\e'"'"' /run/err'
mount -t tmpfs -o mode=0777 tmpfs "$(dirname "$VARNHOLT_INSTALLED_POLICY")" && run set disable
check "the installed program in a folder users may write: rules that never run it, exit 1 naming it" \
    '[[ $status == 1 ]] && grep -q "writable by users other than its owner" /run/err && ! grep -q RUN+=.*plugged $rules && grep -q "mode: disable" $rules'
umount "$(dirname "$VARNHOLT_INSTALLED_POLICY")" && run set readwrite

mkfifo /run/fifo
for target in /run/fifo /dev/zero; do
    ln -sf $target $rules && code=0 && timeout 5 "$policy" status >/run/out 2>/run/err || code=$?
    run apply
    check "rules a link to $target: status 5 at once, apply replaces it" '[[ $code == 5 && $status == 0 && -f $rules && ! -L $rules ]]'
done
echo keep >/etc/udev/rules.d/victim && ln /etc/udev/rules.d/victim /etc/udev/rules.d/.61-varnholt.rules.new
rm $rules && run apply
check "a hard link planted at the temporary name: its other name untouched" '[[ $status == 0 && $(cat /etc/udev/rules.d/victim) == keep ]]'
rm -rf /run/varnholt && mkdir -m 777 /run/elsewhere && ln -s /run/elsewhere /run/varnholt && run apply
check "/run/varnholt a link: refused, nothing written through it" '[[ $status == 1 ]] && grep -q /run/varnholt /run/err && [[ -z $(ls /run/elsewhere) ]]'
rm /run/varnholt
rm /run/systemd/journal/socket && python3 -c 'import socket; s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("/dev/log"); s.settimeout(5); open("/run/syslog", "wb").write(s.recv(4096))' & until [[ -S /dev/log ]]; do sleep 0.05; done && run set disable && wait $!
check "no journal: syslog" 'grep -q "mode changed from readwrite to disable.*\[$(documented 1)\]" /run/syslog'
rm -f $rules && mkdir -p $rules/inside && PATH=/run/stubs:$PATH sh "$postrm" purge >/run/out 2>/run/err && status=0 || status=$?
check "purge with a folder at the rules' name: exit 0, nothing left" '[[ $status == 0 && ! -e $rules && ! -e /var/lib/varnholt ]]'
echo "$failures failure(s)"
((failures == 0))
