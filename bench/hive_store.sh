#!/usr/bin/env bash
# One value read and one written in a hive of a million values (~80 MB, UTF-16 as the registry
# editor exports it), through the store and, as the peer, by Python reading the same file whole
# and, for the write, replacing it as the store does. Medians of 3 runs, page cache warm, and
# the peak resident memory of each. Targets: read and write each in at most half Python's time,
# peak under 0.55 of the file's size. VARNHOLT_QUICK=1: 10000 values, to see that it runs, not to
# measure.
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
ratio() { awk -v a="$(median "${times[store $1]}")" -v b="$(median "${times[python3 $1]}")" \
    'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
echo "  store / python3: read $(ratio read), write $(ratio write)"
if ((${VARNHOLT_QUICK:-0})); then
    echo "  a quick run shows that the bench works, not how fast the store is: no targets"
else
    echo "  targets for the store: read and write at most 0.50 of python3's time," \
        "peak under $((size * 55 / 100 / 1048576)) MiB (0.55 of the file's size, as before)"
fi

# The main window's load: two values of a hive of a few hundred bytes, many times over; the
# peer reads the file and finds both as above, in one process as the store's loop runs.
small=$work/small.reg
"$bench" make "$small" 4
loads=$((${VARNHOLT_QUICK:-0} ? 100 : 20000))
python_loads() {
    python3 - "$small" "$loads" <<'EOF'
import sys, time
path, count = sys.argv[1], int(sys.argv[2])
start = time.perf_counter()
for _ in range(count):
    for n in (0, 1):
        with open(path, encoding="utf-16", newline="") as f:
            text = f.read()
        text.index('"Setting number %07d"=dword:' % n)
print("%.1f" % ((time.perf_counter() - start) * 1e6 / count))
EOF
}
echo "Two values of a hive of $(stat -c %s "$small") bytes, the main window's load, $loads times:" \
    "store $("$bench" load "$small" "$loads") µs, python3 $(python_loads) µs each"
