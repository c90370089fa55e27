#!/usr/bin/env bash
# The built .deb: lintian without errors or warnings, a valid menu entry, valid units, the
# expected files, dependencies from the binaries, the default hive's exact bytes, and a
# postinst that never replaces a hive already there.
set -euo pipefail
deb=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

echo "== lintian"
lintian --fail-on error,warning "$deb" ||
    fail "lintian reports errors or warnings"

dpkg-deb -x "$deb" "$work/root"
dpkg-deb -e "$deb" "$work/control"
desktop-file-validate "$work/root/usr/share/applications/varnholt.desktop" ||
    fail "desktop entry"

source "$(dirname "$0")/package_files.sh"
diff <(package_files lib/systemd/system etc/initramfs/post-update.d/varnholt | sort) \
    <(cd "$work/root" && find . -type f | sed 's|^\./||' | sort) || fail "file list"

depends=$(dpkg-deb -f "$deb" Depends)
for needed in libc6 libqt6widgets6 libssl3 pkexec qt6-qpa-plugins; do
    [[ $depends == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done
[[ $depends != *-dev* ]] || fail "Depends names a development package: $depends"
grep -q '>/usr/libexec/varnholt/varnholt-machine-writer</annotate>' \
    "$work/root/usr/share/polkit-1/actions/org.varnholt.varnholt.policy" ||
    fail "the polkit action does not name the installed helper"

version=$("$work/root/usr/sbin/varnholt-policy" --version)
[[ $version == "varnholt-policy $(dpkg-deb -f "$deb" Version)" ]] || fail "--version: $version"
modes=$(bash -c 'source "$1"; COMP_WORDS=(varnholt-policy set ""); COMP_CWORD=2; _varnholt_policy
    echo "${COMPREPLY[*]}"' _ "$work/root/usr/share/bash-completion/completions/varnholt-policy")
[[ $modes == "disable readonly readwrite" ]] || fail "bash completion of set's modes: $modes"

# A Windows machine's defaults, as the registry editor writes a new file.
printf '\xff\xfe' >"$work/want.reg"
printf '%s\r\n' "Windows Registry Editor Version 5.00" "" \
    '[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\UsbStor]' '"Start"=dword:00000003' |
    iconv -f UTF-8 -t UTF-16LE >>"$work/want.reg"
cmp "$work/want.reg" "$work/root/usr/share/varnholt/machine.reg" || fail "default hive bytes"

echo "== unpacked over a private layer of the system: the units, and postinst with the systemd"
echo "   helpers stood in for"
mkdir -p "$work/bin"
for helper in deb-systemd-helper deb-systemd-invoke systemctl; do
    printf '#!/bin/sh\nexit 0\n' >"$work/bin/$helper"
    chmod +x "$work/bin/$helper"
done
unshare --mount --propagation private env PATH="$work/bin:$PATH" bash -euc '
    source "$2"
    private_overlay /usr /etc /var/lib
    [[ -L /lib ]] || private_overlay /lib
    tar -C "$1/root" -c . | tar -C / -x --keep-directory-symlink
    systemd-analyze verify /lib/systemd/system/varnholt-policy{.path,.service,-early.service} /lib/systemd/system/varnholt-boot-image.{path,service}
    rm -rf /var/lib/varnholt
    "$1/control/postinst" configure
    cmp /usr/share/varnholt/machine.reg /var/lib/varnholt/machine.reg
    echo changed >/var/lib/varnholt/machine.reg
    "$1/control/postinst" configure 1.0.0
    [[ $(cat /var/lib/varnholt/machine.reg) == changed ]]' _ "$work" "$(dirname "$0")/../../tools/private-overlay.sh" ||
    fail "units, or postinst: it must create the hive when absent and keep one already there"

exit $((failures > 0))
