# Shared by the Windows end-to-end scripts: the program under Wine in the test session's prefix,
# on its display, and what it wrote as Wine's own reg tool shows it. Sourced, never run.
: "${WINEPREFIX:?the test session gives the prefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
DISPLAY="$(cat "$WINEPREFIX/.display")"
export DISPLAY
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/drive.sh"

# The type and data of one value as `reg query` shows them ("REG_DWORD 0x4"), or nothing.
reg_value() {  # key, value name
    wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        awk -v name="$2" -F '    ' '$2 == name { print $3 " " $4 }'
}

reg_add() {  # key, value name, type, data; once more after a failure, as Wine's own
    wine reg add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null 2>&1 ||  # services may still start
        { sleep 1 && wine reg add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null; }
}

usb_stor='HKLM\SYSTEM\CurrentControlSet\Services\UsbStor'
storage_policies='HKLM\SYSTEM\CurrentControlSet\Control\StorageDevicePolicies'
user_policies='HKCU\Software\Microsoft\Windows\CurrentVersion\Policies\System'
settings='HKCU\Software\VB and VBA Program Settings\Tarnwell'

# A machine whose storage is read/write, with no password and no lock stored.
fresh_machine() {
    wine reg delete "$settings" /f >/dev/null 2>&1 || true
    wine reg delete "$user_policies" /v DisableRegistryTools /f >/dev/null 2>&1 || true
    reg_add "$usb_stor" Start REG_DWORD 3
    reg_add "$storage_policies" WriteProtect REG_DWORD 0
}
