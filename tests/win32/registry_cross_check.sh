#!/usr/bin/env bash
# The shell object and the settings store against Wine's registry, checked with reg query
# and fed with reg add: what the program writes is where Windows tools look for it.
# Usage: registry_cross_check.sh PLATFORM_PROBE_EXE
source "$(dirname "$0")/wine_test_lib.sh"
probe() { wine "$1" "${@:2}" | tr -d '\r'; }
exe="$1"

# Writing creates every missing key along the path.
policies='HKLM\SYSTEM\CurrentControlSet\Control\StorageDevicePolicies'
reg_delete_key "$policies"
probe "$exe" write "$policies\\WriteProtect" dword 0 REG_DWORD
expect_eq "WriteProtect created with its key" "$(reg_value "$policies" WriteProtect)" "REG_DWORD 0x0"
probe "$exe" write "HKCU\\Software\\Varnholt Cross\\A\\B\\Start" dword 4 REG_DWORD
expect_eq "a DWORD under two new keys" \
    "$(reg_value 'HKCU\Software\Varnholt Cross\A\B' Start)" "REG_DWORD 0x4"
probe "$exe" write "HKCU\\Software\\Varnholt Cross\\Wide" dword 70000 REG_DWORD
expect_eq "a number past 16 bits" "$(reg_value 'HKCU\Software\Varnholt Cross' Wide)" \
    "REG_DWORD 0x11170"

# A string where a DWORD is expected reads as its text; a DWORD added by hand as its number.
reg_add 'HKCU\Software\Varnholt Cross' Start REG_SZ letters
expect_eq "a string value read" "$(probe "$exe" read 'HKCU\Software\Varnholt Cross\Start')" \
    "text:letters"
reg_add 'HKCU\Software\Varnholt Cross' Lock REG_DWORD 2
expect_eq "a DWORD added by reg" "$(probe "$exe" read 'HKCU\Software\Varnholt Cross\Lock')" "dword:2"

# A missing value fails with the system's not-found number, and reading creates nothing.
missing="$(probe "$exe" read 'HKCU\Software\Varnholt Cross\Absent\Value' || true)"
expect_eq "a missing value's error number" "${missing%%:*}:$(cut -d: -f2 <<<"$missing")" \
    "error:-2147024894"
if wine reg query 'HKCU\Software\Varnholt Cross\Absent' >/dev/null 2>&1; then
    fail "reading a missing value created its key"
fi

# The settings store: a text saved is found at its full name, and one added there is read.
settings='HKCU\Software\VB and VBA Program Settings\Tarnwell\t'
reg_delete_key 'HKCU\Software\VB and VBA Program Settings\Tarnwell'
expect_eq "no entry gives the default" "$(probe "$exe" get-setting Tarnwell t p none)" "none"
probe "$exe" save-setting Tarnwell t p 4C0D9F5E2A0C3E5B8E5E0C1D8B1A2F33
expect_eq "saved entry" "$(reg_value "$settings" p)" "REG_SZ 4C0D9F5E2A0C3E5B8E5E0C1D8B1A2F33"
reg_add "$settings" p REG_SZ 'typed by hand'
expect_eq "entry added with reg" "$(probe "$exe" get-setting Tarnwell t p none)" "typed by hand"

reg_delete_key 'HKCU\Software\Varnholt Cross'
finish
