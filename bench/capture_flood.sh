#!/usr/bin/env bash
# UDP flood over a veth pair between two namespaces made for the run, captured
# at once by wirelens-capture (through OpenCaptureSocket and FrameReader, as
# the GUI reads it) and by tcpdump on the same interface. Prints what was
# sent, what the interface received, both capture counts and their kernel drops.
#
#   bench/capture_flood.sh [BUILD_DIR] [RATE] [SECONDS] [PAYLOAD_BYTES]
#
# Needs root. Traffic stays between 198.51.100.1 and 198.51.100.2 inside the namespaces.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build-rel}" && pwd)"
RATE="${2:-100000}"
SECONDS_TO_RUN="${3:-3}"
PAYLOAD="${4:-64}"
PORT=9

source "$ROOT/bench/flood_net.sh"
flood_net_up flood

start_tcpdump "$PORT"
ip netns exec "$NS_A" "$BUILD/bin/wirelens_capture_count" "$ADDRESS_A" "$PORT" >"$WORK/count.out" 2>"$WORK/count.err" &
PIDS+=($!)
COUNT_PID=$!
wait_for "$WORK/count.out" "ready"

run_flood "$BUILD" "$PORT" "$RATE" "$SECONDS_TO_RUN" "$PAYLOAD"
stop_comparisons
wait "$COUNT_PID"
PIDS=()

echo "flood:           $(cat "$WORK/flood.out")"
echo "interface rx:    $RX_DURING packets on $IF_A during the flood"
echo "wirelens:        $(value "$WORK/count.out" "flood datagrams") flood datagrams read," \
     "kernel drops $(value "$WORK/count.out" "kernel drops")," \
     "interface drops $(value "$WORK/count.out" "interface drops")," \
     "pcap received $(value "$WORK/count.out" "pcap received")," \
     "$(value "$WORK/count.out" "reads") reads"
echo "tcpdump:         $(grep -E 'captured|received by filter|dropped by kernel' "$WORK/tcpdump.err" | paste -sd, -)"
