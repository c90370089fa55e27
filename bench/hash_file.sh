#!/usr/bin/env bash
# HashFile against `openssl md5` and `md5sum` on one 1 GiB file with the page cache warm:
# each run 3 times, medians compared. Then the peak memory of hashing 1 GiB against 1 MiB.
# VARNHOLT_QUICK=1: 16 MiB in place of 1 GiB, to see that it runs, not to measure.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset release >/dev/null
cmake --build --preset release --target hash_file_bench >/dev/null
bench=build/release/bench/hash_file_bench

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
size_mib=$((${VARNHOLT_QUICK:-0} ? 16 : 1024))
head -c "${size_mib}M" /dev/urandom >"$work/big"
head -c 1M /dev/urandom >"$work/small"
cat "$work/big" >/dev/null  # warm the page cache

# Wall time of one run of the command, in nanoseconds.
run_ns() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    echo $((end - start))
}

# The median of three times in nanoseconds, in seconds.
median_seconds() {
    printf '%s\n' "$@" | sort -n | sed -n 2p | awk '{ printf "%.3f", $1 / 1e9 }'
}

ours=$("$bench" "$work/big" | cut -d' ' -f1)
theirs=$(openssl md5 -r "$work/big" | cut -c1-32 | tr a-f A-F)
[[ "$ours" == "$theirs" ]] || { echo "digests differ: $ours vs $theirs" >&2; exit 1; }

# Rounds take the tools in turn, so a busy moment of the machine falls on all of them alike.
ours_ns=() openssl_ns=() md5sum_ns=()
for _ in 1 2 3; do
    ours_ns+=("$(run_ns "$bench" "$work/big")")
    openssl_ns+=("$(run_ns openssl md5 "$work/big")")
    md5sum_ns+=("$(run_ns md5sum "$work/big")")
done
t_ours=$(median_seconds "${ours_ns[@]}")
t_openssl=$(median_seconds "${openssl_ns[@]}")
t_md5sum=$(median_seconds "${md5sum_ns[@]}")

echo "MD5 of a $size_mib MiB file, page cache warm, median of 3 runs"
for row in "HashFile:$t_ours" "openssl md5:$t_openssl" "md5sum:$t_md5sum"; do
    awk -v name="${row%%:*}" -v t="${row#*:}" \
        -v mib="$size_mib" 'BEGIN { printf "  %-12s %7.3f s  %7.1f MiB/s\n", name, t, mib / t }'
done
awk -v a="$t_ours" -v b="$t_openssl" \
    'BEGIN { printf "  HashFile / openssl md5 throughput: %.3f (target >= 0.95)\n", b / a }'

rss_big=$("$bench" "$work/big" | cut -d' ' -f2)
rss_small=$("$bench" "$work/small" | cut -d' ' -f2)
echo "Peak resident memory of HashFile"
echo "  $size_mib MiB file: $rss_big KiB, 1 MiB file: $rss_small KiB," \
    "difference $((rss_big - rss_small)) KiB (target < 1024)"
