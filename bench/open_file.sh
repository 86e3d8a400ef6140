#!/usr/bin/env bash
# Reading a 1,000,000-packet pcap of 100-byte UDP datagrams: files_bench's
# reader and writer figures, then tcpdump (libpcap's read alone, the floor)
# and tshark on the same file, and the ratios.
#   bench/open_file.sh [BUILD_DIR]   (default build-rel, a Release build)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build-rel}"
FILE="$(mktemp /tmp/wirelens-open-XXXXXX.pcap)"
CSV="$(mktemp /tmp/wirelens-open-XXXXXX.csv)"
trap 'rm -f "$FILE" "$CSV"' EXIT

WIRELENS_BENCH_PCAP="$FILE" "$BUILD/bin/files_bench" --benchmark_out="$CSV" --benchmark_out_format=csv

# Best of RUNS wall-clock runs of a command, in seconds.
best_of() {
    local runs=$1 best="" start end
    shift
    for _ in $(seq "$runs"); do
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1
        end=$(date +%s%N)
        if [ -z "$best" ] || [ $((end - start)) -lt "$best" ]; then best=$((end - start)); fi
    done
    awk -v ns="$best" 'BEGIN { printf "%.3f", ns / 1e9 }'
}

# real_time of the file read, in milliseconds in the CSV.
ours=$(awk -F, '/^"BM_ReadPcapFile/ { printf "%.3f", $3 / 1000 }' "$CSV")
tcpdump_s=$(best_of 3 tcpdump -r "$FILE" -w /dev/null)
# tshark dissects every packet: one run takes long enough.
tshark_s=$(best_of 1 sh -c "tshark -r '$FILE' > /dev/null")
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo
echo "1,000,000 packets, $(stat -c %s "$FILE") bytes, tcpdump best of three, tshark one run:"
echo "  ReadCaptureFile               ${ours} s"
echo "  tcpdump -r FILE -w /dev/null  ${tcpdump_s} s   ours / tcpdump = $(ratio "$ours" "$tcpdump_s")"
echo "  tshark -r FILE > /dev/null    ${tshark_s} s   ours / tshark = $(ratio "$ours" "$tshark_s")"
