#!/usr/bin/env bash
# Takes docs/win32-*.png again from the Windows tests' own runs of the program, in a fresh
# Wine prefix. Needs ImageMagick's `import`.
set -euo pipefail
cd "$(dirname "$0")/../.."
command -v import >/dev/null || { echo "ImageMagick's import is missing" >&2; exit 1; }

cmake --preset win32 >/dev/null
cmake --build --preset win32 --target varnholt platform_probe >/dev/null
prefix=$(mktemp -d)/prefix
tools/wine-session start "$prefix" >/dev/null
trap 'tools/wine-session stop "$prefix"' EXIT
export WINEPREFIX="$prefix" VARNHOLT_SCREENSHOTS="$PWD/docs"
tests/win32/e2e_login_and_modes.sh build/win32/varnholt.exe >/dev/null
tests/win32/e2e_change_password.sh build/win32/varnholt.exe >/dev/null
tests/win32/e2e_write_failure.sh build/win32/varnholt.exe \
    build/win32/tests/win32/platform_probe.exe >/dev/null
ls docs/win32-*.png
