#!/usr/bin/env bash
# Takes docs/win32-*.png again from the Windows end-to-end runs, in a fresh Wine prefix.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target varnholt key_access >/dev/null
prefix=$(mktemp -d)/prefix
tools/wine-session start "$prefix" >/dev/null
trap 'tools/wine-session stop "$prefix"' EXIT
export WINEPREFIX="$prefix" VARNHOLT_SCREENSHOTS="$PWD/docs"
tests/win32/e2e_login_and_modes.sh build/win32/varnholt.exe >/dev/null
tests/win32/e2e_write_failure.sh build/win32/varnholt.exe build/win32/tests/win32/key_access.exe \
    >/dev/null
ls docs/win32-*.png
