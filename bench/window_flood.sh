#!/usr/bin/env bash
# The main window capturing and listing a UDP flood over a veth pair between
# two namespaces made for the run, with tcpdump capturing the same interface.
# Prints what was sent, what the window and tcpdump captured and their kernel
# drops, and the largest event-loop stall the window had.
#
#   bench/window_flood.sh [--filter EXPR] [--sort COLUMN[:desc]] [BUILD_DIR] [RATE] [SECONDS] [PAYLOAD_BYTES]
#
# --filter applies a display filter (tcpdump syntax, e.g. udp) and --sort
# orders the list by a column (0 protocol, 1 source, 2 source port, 3
# destination, 4 destination port, 5 size, 6 time; e.g. 2:desc) before the
# capture starts, as the filter field and a header click do.
# PERF_OUT=FILE runs the window under `perf record -g -k CLOCK_MONOTONIC -o FILE`
# (PERF_FLAGS adds options, e.g. "-e sched:sched_switch"); the long gaps it
# prints carry monotonic times to find in `perf script`.
# Needs root. Traffic stays between 198.51.100.1 and 198.51.100.2 inside the namespaces.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
LIST_OPTIONS=()
while [ $# -ge 2 ] && { [ "$1" = --filter ] || [ "$1" = --sort ]; }; do
    LIST_OPTIONS+=("$1" "$2")
    shift 2
done
BUILD="$(cd "${1:-$ROOT/build-rel}" && pwd)"
RATE="${2:-100000}"
SECONDS_TO_RUN="${3:-10}"
PAYLOAD="${4:-64}"
PORT=9
IDLE_SECONDS=2

source "$ROOT/bench/flood_net.sh"
flood_net_up window

WINDOW=("$BUILD/bin/wirelens_window_flood" "${LIST_OPTIONS[@]}" "$PORT" "$IDLE_SECONDS")
if [ -n "${PERF_OUT:-}" ]; then
    # shellcheck disable=SC2206  # PERF_FLAGS is meant to split into options
    WINDOW=(perf record -g -k CLOCK_MONOTONIC ${PERF_FLAGS:-} -o "$PERF_OUT" -- "${WINDOW[@]}")
fi

start_tcpdump "$PORT"
QT_QPA_PLATFORM=offscreen ip netns exec "$NS_A" "${WINDOW[@]}" >"$WORK/window.out" 2>"$WORK/window.err" &
PIDS+=($!)
WINDOW_PID=$!
wait_for "$WORK/window.out" "^ready"

run_flood "$BUILD" "$PORT" "$RATE" "$SECONDS_TO_RUN" "$PAYLOAD"
WINDOW_STATUS=0
wait "$WINDOW_PID" || WINDOW_STATUS=$?
PIDS=()

tcpdump_count() { grep "$1" "$WORK/tcpdump.err" | awk '{print $1}'; }
SENT="$(awk '/^sent/ {print $2}' "$WORK/flood.out")"
CAPTURED="$(value "$WORK/window.out" "flood datagrams")"
echo "flood:               $(cat "$WORK/flood.out")"
echo "interface rx:        $RX_DURING packets on $IF_A during the flood"
echo "list:                display filter $(sed -n 's/^display filter //p' "$WORK/window.out");" \
     "sorted by $(sed -n 's/^sorted by //p' "$WORK/window.out")"
echo "wirelens captured:   $CAPTURED flood datagrams" \
     "($(value "$WORK/window.out" "stored packets") packets stored, $(value "$WORK/window.out" "rows") rows)"
echo "wirelens listed:     $(value "$WORK/window.out" "flood rows") flood datagrams in the list," \
     "$(value "$WORK/window.out" "unordered rows") rows out of order"
echo "lost datagrams:      $((SENT - CAPTURED)) (sent, not captured by wirelens)"
echo "wirelens drops:      $(value "$WORK/window.out" "kernel drops") (kernel and interface, from the helper)"
echo "tcpdump captured:    $(tcpdump_count "packets captured")"
echo "tcpdump drops:       $(tcpdump_count "dropped by kernel") (kernel)"
echo "largest stall:       $(value "$WORK/window.out" "largest stall ms") ms" \
     "(at $(value "$WORK/window.out" "largest stall at s") s; packets first seen at" \
     "$(value "$WORK/window.out" "first packet seen at s") s, last at $(value "$WORK/window.out" "last packet seen at s") s)"
echo "list paints:         $(value "$WORK/window.out" "list paints") (the list's viewport and scroll bar)"
echo "event-loop ticks:    $(grep '^tick gap ms' "$WORK/window.out" | sed 's/^tick gap ms //') (ms between 5 ms ticks)"
grep '^tick gap .*-' "$WORK/window.out" | sed 's/^/                     /'
grep '^long gap' "$WORK/window.out" | sed 's/^/  /'
echo "window progress:"
grep '^t ' "$WORK/window.err" | sed 's/^/  /' || true
if grep -q '^message' "$WORK/window.err"; then grep '^message' "$WORK/window.err"; fi
if [ "$WINDOW_STATUS" -ne 0 ]; then
    echo "wirelens_window_flood exited with status $WINDOW_STATUS" >&2
    cat "$WORK/window.err" >&2
    exit 1
fi
