#!/usr/bin/env bash
# One value read and one written in a hive of a million values (~80 MB, UTF-16 as the registry
# editor exports it), through the store and, as the peer, by Python reading the same file whole
# and, for the write, replacing it as the store does. Medians of 3 runs, page cache warm, and
# the peak resident memory of each. Targets: under 1 s, peak under twice the file's size.
# VARNHOLT_QUICK=1: 10000 values, to see that it runs, not to measure.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset release >/dev/null
cmake --build --preset release --target hive_store_bench >/dev/null
bench=build/release/bench/hive_store_bench

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
hive=$work/machine.reg
values=$((${VARNHOLT_QUICK:-0} ? 10000 : 1000000))
"$bench" make "$hive" "$values"
# One value in the middle of the file, in the key of a thousand that holds it.
middle=$((values / 2 + 123))
setting=$(printf 'Setting number %07d' "$middle")
name=$(printf 'HKLM\\SOFTWARE\\Bench\\Key%06d\\%s' $((middle / 1000)) "$setting")

# Prints the peak resident memory in KiB, as the store's bench program does.
python_peer() {
    python3 - "$@" <<'EOF'
import os, resource, sys
mode, path, setting = sys.argv[1], sys.argv[2], sys.argv[3]
with open(path, encoding="utf-16", newline="") as f:
    text = f.read()
marker = '"%s"=dword:' % setting
at = text.index(marker) + len(marker)
if mode == "write":
    text = text[:at] + "00000001" + text[at + 8:]
    with open(path + ".new", "w", encoding="utf-16", newline="") as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())
    os.rename(path + ".new", path)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
EOF
}
store() { "$bench" "$1" "$hive" "$name" | cut -d' ' -f2; }

# Runs "$@" 3 times, the tools taking turns with the caller; sets ms (median) and kib (peak).
declare -A times peaks
measure() {
    local key=$1 start end kib
    shift
    start=$(date +%s%N)
    kib=$("$@")
    end=$(date +%s%N)
    times[$key]+="$(((end - start) / 1000000)) "
    peaks[$key]=$kib
}
cat "$hive" >/dev/null
for _ in 1 2 3; do
    for mode in read write; do
        measure "store $mode" store "$mode"
        measure "python3 $mode" python_peer "$mode" "$hive" "$setting"
    done
done
median() { tr ' ' '\n' <<<"$1" | grep . | sort -n | sed -n 2p; }

size=$(stat -c %s "$hive")
echo "One value of a hive of $values values, $((size / 1000000)) MB UTF-16; median of 3 runs"
printf '  %-8s %9s %11s %10s %11s\n' "" read "peak" write "peak"
for tool in store python3; do
    printf '  %-8s %6d ms %7d MiB %7d ms %7d MiB\n' "$tool" \
        "$(median "${times[$tool read]}")" $((peaks[$tool read] / 1024)) \
        "$(median "${times[$tool write]}")" $((peaks[$tool write] / 1024))
done
echo "  targets for the store: under 1000 ms, peak under $((2 * size / 1048576)) MiB (twice the file)"
