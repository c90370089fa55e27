#!/usr/bin/env bash
# The Windows build under Wine beside the Linux build, in the same run:
#   - HashFile on one 1 GiB file (page cache warm) under Wine's CryptoAPI, the Linux build's
#     HashFile over OpenSSL, and `openssl md5`; medians of 3 rounds taken in turn;
#   - from start to the login window mapped on an Xvfb display, Windows program under a warm
#     Wine server and Linux program; medians of 10 rounds taken in turn;
#   - the size of the shipped varnholt.exe (release, stripped; target < 2 MiB).
# VARNHOLT_QUICK=1: 16 MiB and 2 rounds of starts, to see that it runs, not to measure.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "Building the release programs..." >&2
cmake --workflow --preset win32-release >/dev/null
cmake -S . -B build/win32-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DVARNHOLT_BUILD_TESTS=OFF >/dev/null
cmake --build build/win32-bench --target hash_file_bench >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release --target varnholt hash_file_bench map_watch >/dev/null
exe=build/win32-release/varnholt.exe
windows_bench=build/win32-bench/bench/hash_file_bench.exe
linux_program=build/release/varnholt
linux_bench=build/release/bench/hash_file_bench
watch=build/release/bench/map_watch

work=$(mktemp -d)
tools/wine-session start "$work/prefix" >/dev/null
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
DISPLAY="$(cat "$WINEPREFIX/.display")"
export DISPLAY
trap 'tools/wine-session stop "$work/prefix"; rm -rf "$work"' EXIT

run_ns() {  # wall time of one run, in nanoseconds
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    echo $((end - start))
}
median() {  # of the numbers given, in the unit divided by $1
    local unit=$1
    shift
    printf '%s\n' "$@" | sort -n | awk -v unit="$unit" '{ v[NR] = $1 }
        END { printf "%.3f", (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) / unit }'
}

size_mib=$((${VARNHOLT_QUICK:-0} ? 16 : 1024)) starts=$((${VARNHOLT_QUICK:-0} ? 2 : 10))
head -c "${size_mib}M" /dev/urandom >"$work/big"
cat "$work/big" >/dev/null
windows_name="$(wine winepath -w "$work/big" 2>/dev/null | tr -d '\r')"
digest_wine=$(wine "$windows_bench" "$windows_name" | cut -d" " -f1)
digest_openssl=$(openssl md5 -r "$work/big" | cut -c1-32 | tr a-f A-F)
[[ "$digest_wine" == "$digest_openssl" ]] || { echo "digests differ" >&2; exit 1; }

wine_ns=() linux_ns=() openssl_ns=()
for _ in 1 2 3; do
    wine_ns+=("$(run_ns wine "$windows_bench" "$windows_name")")
    linux_ns+=("$(run_ns "$linux_bench" "$work/big")")
    openssl_ns+=("$(run_ns openssl md5 "$work/big")")
done
echo "MD5 of a $size_mib MiB file, page cache warm, median of 3 rounds"
for row in "HashFile, Windows build under Wine:$(median 1e9 "${wine_ns[@]}")" \
    "HashFile, Linux build:$(median 1e9 "${linux_ns[@]}")" \
    "openssl md5:$(median 1e9 "${openssl_ns[@]}")"; do
    awk -v name="${row%%:*}" -v t="${row#*:}" \
        -v mib="$size_mib" 'BEGIN { printf "  %-36s %7.3f s  %7.1f MiB/s\n", name, t, mib / t }'
done

# Start to the login window on the screen, from the X server's own notice of the mapping (the
# same watcher as bench/ui_startup.sh); the program is then stopped.
time_to_login() {  # program...
    local ms pid
    read -r ms pid < <("$watch" launch Login -- "$@")
    kill -KILL "$pid" 2>/dev/null || true
    echo "$ms"
}
export HOME="$work/home"  # the Linux program's user hive: a fresh, empty one
mkdir -p "$HOME"
wine_start=() linux_start=()
time_to_login wine "$exe" >/dev/null  # the first start fills Wine's caches
for _ in $(seq "$starts"); do
    wine_start+=("$(time_to_login wine "$exe")")
    linux_start+=("$(time_to_login env QT_QPA_PLATFORM=xcb "$linux_program")")
done
echo "Start to the login window mapped (Xvfb), median of $starts rounds"
echo "  Windows build under Wine (warm server)  $(median 1 "${wine_start[@]}") ms"
echo "  Linux build (Qt, xcb)                   $(median 1 "${linux_start[@]}") ms"

size=$(stat -c %s "$exe")
awk -v s="$size" 'BEGIN { printf "varnholt.exe (release, stripped): %d bytes, %.2f MiB (target < 2 MiB)\n", s, s / 1048576 }'
x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name/ { dlls = dlls " " $3 } END { print "  imports:" dlls }'
