# Shared by the Windows test scripts: run the cross-built programs under Wine and look at
# what they did with Wine's own tools. Sourced, never run; needs WINEPREFIX from the session.
set -euo pipefail

: "${WINEPREFIX:?the test session gives the prefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[[ -f "$WINEPREFIX/.display" ]] && DISPLAY="$(cat "$WINEPREFIX/.display")" && export DISPLAY

failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

expect_eq() {  # description, actual, expected
    if [[ "$2" != "$3" ]]; then
        fail "$1: got '$2', expected '$3'"
    else
        echo "ok: $1"
    fi
}

finish() {
    if ((failures)); then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
}

# The type and data of one registry value as `reg query` shows them ("REG_DWORD 0x4"), or
# nothing when it is absent.
reg_value() {  # key, value name
    wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        awk -v name="$2" -F '    ' '$2 == name { print $3 " " $4 }'
}

reg_add() {  # key, value name, type, data
    wine reg add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null 2>&1
}

reg_delete_key() {
    wine reg delete "$1" /f >/dev/null 2>&1 || true
}

# A Unix path as the Windows programs name it.
windows_path() {
    wine winepath -w "$1" 2>/dev/null | tr -d '\r'
}
