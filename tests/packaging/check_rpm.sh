#!/usr/bin/env bash
# The built RPM: rpmlint, its files and folders, its requirements; then installed, upgraded to
# a later release and erased with rpm --root in a scratch root (a copy-on-write view of this
# machine) where, as in any chroot, no systemd runs: the scriptlets' effects on files are checked.
# ARGS: RPM BUILD_FOLDER
rpm=$1 build=$2
source "$(dirname "$0")/../../tools/drive-windows.sh"  # $work, fail and finish

echo "== rpmlint"
rpmlint -c "$(dirname "$0")/../../dist/rpmlint.toml" "$rpm" || fail "rpmlint reports errors"

source "$(dirname "$0")/package_files.sh"
diff <({ package_files usr/lib/systemd/system usr/lib/dracut/modules.d/90varnholt/module-setup.sh &&
    printf '%s\n' usr/share/{doc/,}varnholt usr/lib/dracut/modules.d/90varnholt usr/libexec/varnholt; } | sort) \
    <(rpm -qlp "$rpm" | sed 's|^/||' | sort) || fail "files and folders"

requires=$(rpm -qpR "$rpm")
for needed in polkit 'qt6-qtbase-gui >= 6' systemd-udev 'libQt6Widgets.so.6()' 'libcrypto.so.3()'; do
    grep -qF "$needed" <<<"$requires" || fail "no requirement $needed"
done
! grep -E 'pkexec|qt6-qpa|libqt6|-dev' <<<"$requires" || fail "requirements under Debian's names"

cpack -G RPM --config "$build/CPackConfig.cmake" -D CPACK_RPM_PACKAGE_RELEASE=2 \
    -D CPACK_VARNHOLT_BINARY_DIR="$work" >/dev/null
echo "== installed, upgraded and erased in a scratch root"
unshare --mount --propagation private bash -euxc '
    root=$1/root layers=$1/layers
    mkdir -p "$root" "$layers" && mount -t tmpfs tmpfs "$layers" && mkdir "$layers"/{upper,work}
    mount -t overlay overlay -o "lowerdir=/,upperdir=$layers/upper,workdir=$layers/work" "$root"
    mount --bind /proc "$root/proc" && mount --bind /dev "$root/dev"
    hive=$root/var/lib/varnholt/machine.reg rules=$root/etc/udev/rules.d/61-varnholt.rules
    wants=$root/etc/systemd/system/multi-user.target.wants/varnholt-policy
    boot=$root/etc/systemd/system/sysinit.target.wants/varnholt-policy
    rm -rf "$root/var/lib/varnholt" "$rules" "$wants".* "$boot"*
    rpm --root "$root" --nodeps -i "$2"
    cmp "$root/usr/share/varnholt/machine.reg" "$hive"
    [[ -L $wants.path && -L $boot.service && -L $boot-early.service ]]
    # What the administrator made of it: a policy, the path unit off, rules in force.
    echo changed >"$hive" && rm "$wants.path" && echo rules >"$rules"
    rpm --root "$root" --nodeps -U "$1"/rpm/*.rpm
    [[ $(cat "$hive") == changed && ! -e $wants.path && -L $boot.service && -e $rules ]]
    erased=$(rpm --root "$root" -e varnholt 2>&1) && echo "$erased"
    [[ $erased != *"could not undo"* ]]
    [[ ! -e $rules && ! -e $boot.service && $(cat "$hive") == changed ]]
' _ "$work" "$rpm" || fail "scriptlets: the hive kept, the units enabled once, the policy undone on erase"

finish
