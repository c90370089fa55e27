#!/usr/bin/env bash
# The installer in a Wine prefix of its own: an older package of the same sources, this one
# over it, the older one refused, then removal. ARGS: MSI (beside its varnholt.exe) VERSION
msi=$1 version=$2 root="$(cd "$(dirname "$0")/../../.." && pwd)" bin="$(dirname "$1")"
source "$root/tools/drive-windows.sh"
# No menu entries for the host desktop from the shortcut.
export WINEPREFIX="$work/prefix" WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
at_exit='"$root/tools/wine-session" stop "$WINEPREFIX"'
"$root/tools/wine-session" start "$WINEPREFIX" >/dev/null
export DISPLAY="$(cat "$WINEPREFIX/.display")" WINEDEBUG=-all

older="$work/older.msi"
cmake -D VERSION=0.9.0 -D EXE="$bin/varnholt.exe" -D OUTPUT="$older" -P "$root/dist/windows/msi.cmake"
# Wine neither shows the entry's icon nor refuses with the message in a silent run: the tables.
property() { msiinfo export "$1" Property | tr -d '\r' | awk -F '\t' -v name="$2" '$1 == name { print $2 }'; }
expect_eq "per machine, with the icon in its entry" "$(property "$msi" ALLUSERS) $(property "$msi" ARPPRODUCTICON)" "1 varnholt.ico"
msiinfo export "$msi" LaunchCondition | tr -d '\r' |
    grep -qxF $'NOT WIX_DOWNGRADE_DETECTED\tA newer version of Varnholt is already installed.' ||
    fail "no refusal of a downgrade"
code="$(property "$msi" ProductCode)"

# What removal must leave: the machine's storage policy and a user's settings.
kept=('HKLM\SYSTEM\CurrentControlSet\Services\UsbStor|Start|REG_DWORD|0x4'
    'HKLM\SYSTEM\CurrentControlSet\Control\StorageDevicePolicies|WriteProtect|REG_DWORD|0x1'
    'HKCU\Software\VB and VBA Program Settings\Tarnwell\t|p|REG_SZ|BCFC343B64D64C3F6B6574C09D333013')
for row in "${kept[@]}"; do  # Wine's own services may still be starting: the first add may fail.
    IFS='|' read -r key name type data <<<"$row"
    for _ in 1 2; do wine reg add "$key" /v "$name" /t "$type" /d "$data" /f >/dev/null 2>&1 && break; sleep 1; done
done
entries() { wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | grep -c 'DisplayName    REG_SZ    Varnholt' || true; }
entry='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\'"$code"
installed="$WINEPREFIX/drive_c/Program Files/Varnholt/varnholt.exe"
shortcut() { find "$WINEPREFIX/drive_c" -path '*/Start Menu/Programs/Varnholt.lnk'; }  # Wine: in the user's menu

wine msiexec /i "$older" /qn || fail "the older package did not install"
wine msiexec /i "$msi" /qn || fail "the package did not install over the older one"
expect_eq "one entry after the upgrade" "$(entries)" 1
expect_eq "the entry's name, version and publisher" "$(for value in DisplayName DisplayVersion Publisher; do
    reg_value "$entry" $value; done | paste -sd,)" "REG_SZ Varnholt,REG_SZ $version,REG_SZ Varnholt"
cmp "$installed" "$bin/varnholt.exe" || fail "the installed program is not the build's"
cmp "$WINEPREFIX/drive_c/windows/Installer/$code/varnholt.ico" "$root/res/varnholt.ico" || fail "entry icon"
grep -qaF 'C:\Program Files\Varnholt\varnholt.exe' "$(shortcut)" || fail "the shortcut does not start the program"
strings -el "$(shortcut)" | grep -qF "C:\\windows\\Installer\\$code\\varnholt.ico" || fail "shortcut icon"
start_program wine "$installed"
wait_window Login >/dev/null || fail "the installed program shows no login window"
stop_program

start_program wine msiexec /i "$older" /qb
any_owner=1 wait_window "Install Failed" >/dev/null || fail "no message refusing the older package"
xdotool key Return
wait_program_end
[[ $program_exit != 0 ]] || fail "the older package installed over the newer one"

wine msiexec /x "$msi" /qn || fail "removal failed"
expect_eq "removal leaves no entry" "$(entries)" 0
[[ ! -e "$(dirname "$installed")" && -z "$(shortcut)" ]] || fail "the program or its shortcut is still there"
for row in "${kept[@]}"; do
    IFS='|' read -r key name type data <<<"$row"
    expect_eq "removal keeps $name" "$(reg_value "$key" "$name")" "$type $data"
done
finish
