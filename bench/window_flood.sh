#!/usr/bin/env bash
# The main window capturing and listing a UDP flood over a veth pair between
# two namespaces made for the run, with tcpdump capturing the same interface.
# dumpcap and a bare TPACKET_V3 counter (the floor) capture the same interface
# too. Prints what was sent, what each captured and its kernel drops, the CPU
# each spent per captured datagram, and the window's event-loop stalls.
#
#   bench/window_flood.sh [--filter EXPR] [--sort COLUMN[:desc]] [--senders N] [--alone] [BUILD_DIR] [RATE] [SECONDS] [PAYLOAD_BYTES]
#
# --senders N shares RATE among N sender processes (one sender core tops out
# near 150,000 datagrams a second here); a RATE beyond what they can send
# means as fast as they can.
# --alone runs the window without tcpdump, dumpcap and the floor counter: on
# two cores, under a flood as fast as the senders go, those three take CPU
# time from the window's thread, and its stalls are then theirs as much as
# its own.
# --filter applies a display filter (tcpdump syntax, e.g. udp) and --sort
# orders the list by a column (0 protocol, 1 source, 2 source port, 3
# destination, 4 destination port, 5 size, 6 time; e.g. 2:desc) before the
# capture starts, as the filter field and a header click do.
# PERF_OUT=FILE runs the window under `perf record -g -k CLOCK_MONOTONIC -o FILE`
# (PERF_FLAGS adds options, e.g. "-e sched:sched_switch"); the long gaps it
# prints carry monotonic times to find in `perf script`.
# STUCK_MS=N has the window print what its main thread waits in, and every
# other thread's stack, for each gap of over N ms (default 100) while it lasts,
# and every thread's stack when the store's writer has been full that long.
# TICK_MS=N sets the stall timer's period (default 5 ms). A gap between ticks
# also holds the idle time before a stall, up to one period; TICK_MS=1 tells
# the stalls themselves more closely.
# HOLD_PUMP_MS=N keeps the window's ring-emptying thread (wirelens-pump) off
# every CPU for N ms, HOLD_AT_S seconds (default 5) into the flood, as a
# virtual machine that holds the one CPU the thread is on does: the thread is
# bound to the last CPU, which a real-time spinner then takes for that long,
# and the helper to the others. The shared ring and the kernel's ring behind
# it must hold what comes meanwhile. (A hold of the helper's CPU as well is
# the kernel's ring's alone to outlast.)
# WINDOW_USER=NAME runs the window as that user (e.g. nobody), as a person
# would, with a copy of this build's helper given its capabilities, instead
# of as root. The helper writes its datagrams into the window's ring from its
# own process only when the window holds no capability the helper lacks: a
# window run as root has them all, and the helper then maps the ring itself.
# Needs root. Traffic stays between 198.51.100.1 and 198.51.100.2 inside the namespaces.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
LIST_OPTIONS=()
SENDERS=1
ALONE=0
while [ $# -ge 1 ] && { [ "$1" = --filter ] || [ "$1" = --sort ] || [ "$1" = --senders ] || [ "$1" = --alone ]; }; do
    if [ "$1" = --alone ]; then ALONE=1; shift; continue; fi
    if [ "$1" = --senders ]; then SENDERS="$2"; else LIST_OPTIONS+=("$1" "$2"); fi
    shift 2
done
BUILD="$(cd "${1:-$ROOT/build-rel}" && pwd)"
RATE="${2:-100000}"
SECONDS_TO_RUN="${3:-10}"
PAYLOAD="${4:-64}"
PORT=9
IDLE_SECONDS=3  # long enough to read every process's CPU time after the flood

source "$ROOT/bench/flood_net.sh"
flood_net_up window

WINDOW=("$BUILD/bin/wirelens_window_flood" "${LIST_OPTIONS[@]}" "$PORT" "$IDLE_SECONDS")
if [ -n "${PERF_OUT:-}" ]; then
    # shellcheck disable=SC2206  # PERF_FLAGS is meant to split into options
    WINDOW=(perf record -g -k CLOCK_MONOTONIC ${PERF_FLAGS:-} -o "$PERF_OUT" -- "${WINDOW[@]}")
fi

TCPDUMP_PID="" DUMPCAP_PID="" RING_PID=""
if [ "$ALONE" -eq 0 ]; then
    start_tcpdump "$PORT"
    start_dumpcap "$PORT"
    start_ring_count "$BUILD" "$PORT"
fi
if [ "${PAUSE_WATCH:-0}" = 1 ]; then start_pause_watch "$BUILD"; fi
AS_USER=()
if [ -n "${WINDOW_USER:-}" ]; then
    # The user reaches the helper's copy and a folder of its own for the store;
    # port 9 is below those it may bind, but in its namespace alone.
    chmod 755 "$WORK"
    mkdir -p "$WORK/helper" "$WORK/home"
    cp "$BUILD/bin/wirelens-capture" "$WORK/helper/"
    setcap cap_net_raw,cap_sys_nice+ep "$WORK/helper/wirelens-capture"
    chown "$WINDOW_USER" "$WORK/home"
    ip netns exec "$NS_A" sysctl -qw net.ipv4.ip_unprivileged_port_start=0
    AS_USER=(setpriv --reuid="$WINDOW_USER" --regid="$(id -g "$WINDOW_USER")" --clear-groups --inh-caps=-all
        env HOME="$WORK/home" TMPDIR="$WORK/home" XDG_CACHE_HOME="$WORK/home" FLOOD_HELPER="$WORK/helper/wirelens-capture")
fi
QT_QPA_PLATFORM=offscreen ip netns exec "$NS_A" "${AS_USER[@]}" "${WINDOW[@]}" >"$WORK/window.out" 2>"$WORK/window.err" &
PIDS+=($!)
WINDOW_PID=$!
wait_for "$WORK/window.out" "^ready"

HELPER_PID="$(pgrep -P "$WINDOW_PID" | head -n1 || true)"
CPU_PIDS=("$WINDOW_PID" "$HELPER_PID" "$TCPDUMP_PID" "$DUMPCAP_PID" "$RING_PID")
CPU_BEFORE=()
for pid in "${CPU_PIDS[@]}"; do CPU_BEFORE+=("$(cpu_ticks "$pid")"); done
if [ -n "${HOLD_PUMP_MS:-}" ]; then
    PUMP_TID="$(grep -l '^wirelens-pump$' /proc/"$WINDOW_PID"/task/*/comm | head -n1 | cut -d/ -f5)"
    LAST_CPU=$(( $(nproc) - 1 ))
    (
        sleep "${HOLD_AT_S:-5}"
        taskset -p -c "$LAST_CPU" "$PUMP_TID" >/dev/null
        taskset -a -p -c "0-$(( LAST_CPU - 1 ))" "$HELPER_PID" >/dev/null
        sleep 0.01
        echo "pump held:           thread $PUMP_TID kept off the CPUs for $HOLD_PUMP_MS ms, ${HOLD_AT_S:-5} s into the flood" >"$WORK/hold.out"
        # The spinner ends itself: a real-time task on that CPU lets nothing else there run.
        taskset -c "$LAST_CPU" chrt -f 99 bash -c 'end=$(( ${EPOCHREALTIME/./} + '"$HOLD_PUMP_MS"' * 1000 )); while (( ${EPOCHREALTIME/./} < end )); do :; done'
        taskset -p -c "0-$LAST_CPU" "$PUMP_TID" >/dev/null
        taskset -a -p -c "0-$LAST_CPU" "$HELPER_PID" >/dev/null
    ) &
    PIDS+=($!)
fi
run_flood "$BUILD" "$PORT" "$RATE" "$SECONDS_TO_RUN" "$PAYLOAD" "$SENDERS"
CPU_USED=()
for i in "${!CPU_PIDS[@]}"; do CPU_USED+=($(( $(cpu_ticks "${CPU_PIDS[$i]}") - CPU_BEFORE[i] ))); done
# Resident memory, peak and now, of the helper and of dumpcap (kB). A helper
# that writes the shared ring through a mapping of its own (a window run as
# root) has the ring in its RssShmem, pages the window holds as well; what is
# left of VmRSS is its own.
memory_kb() {
    [ -n "$1" ] && [ -r "/proc/$1/status" ] && awk '/^VmHWM|^VmRSS|^RssAnon|^RssFile|^RssShmem/ {printf "%s %s kB  ", $1, $2; v[$1] = $2}
        END {printf "own (VmRSS - RssShmem): %d kB", v["VmRSS:"] - v["RssShmem:"]}' "/proc/$1/status" 2>/dev/null || echo "-"
}
HELPER_MEMORY="$(memory_kb "$HELPER_PID")"
DUMPCAP_MEMORY="$(memory_kb "${DUMPCAP_PID:-}")"
stop_comparisons
stop_pause_watch
WINDOW_STATUS=0
wait "$WINDOW_PID" || WINDOW_STATUS=$?
PIDS=()

tcpdump_count() { { grep "$1" "$WORK/tcpdump.err" 2>/dev/null || true; } | awk '{print $1}'; }
CAPTURED="$(value "$WORK/window.out" "flood datagrams")"
TCPDUMP_CAPTURED="$(tcpdump_count "packets captured")"
# "Packets received/dropped on interface 'X': RECEIVED/DROPPED (...)"
DUMPCAP_CAPTURED="$(sed -n "s|^Packets received/dropped on interface .*: \([0-9]*\)/.*|\1|p" "$WORK/dumpcap.err" 2>/dev/null | head -n1 || true)"
RING_CAPTURED="$(value "$WORK/ring.out" "flood datagrams" 2>/dev/null || true)"
sed 's/^/flood:               /' "$WORK/flood.out"
echo "interface rx:        $RX_DURING packets on $IF_A during the flood"
echo "list:                display filter $(sed -n 's/^display filter //p' "$WORK/window.out");" \
     "sorted by $(sed -n 's/^sorted by //p' "$WORK/window.out")"
echo "wirelens captured:   $CAPTURED flood datagrams" \
     "($(value "$WORK/window.out" "stored packets") packets stored, $(value "$WORK/window.out" "rows") rows)"
echo "wirelens listed:     $(value "$WORK/window.out" "flood rows") flood datagrams in the list," \
     "$(value "$WORK/window.out" "unordered rows") rows out of order"
echo "lost datagrams:      $((SENT - CAPTURED)) (sent, not captured by wirelens)"
if [ -f "$WORK/hold.out" ]; then cat "$WORK/hold.out"; fi
echo "wirelens drops:      $(value "$WORK/window.out" "kernel drops") (kernel and interface, from the helper;" \
     "its sockets took in $(value "$WORK/window.out" "kernel received"), drops included)"
echo "sequence gaps:       $(value "$WORK/window.out" "sequence missing") flood datagrams missing in" \
     "$(value "$WORK/window.out" "sequence gaps") gaps of the senders' numbers," \
     "$(value "$WORK/window.out" "sequence repeated") repeated, $(value "$WORK/window.out" "sequence unreadable") unreadable"
sed -n 's/^sequence gap /                     gap: /p' "$WORK/window.out"
echo "shared ring:         $(value "$WORK/window.out" "ring bytes published") bytes of records published by the helper," \
     "$(value "$WORK/window.out" "ring bytes taken") taken by the pump, $(value "$WORK/window.out" "ring bytes stored") those of the packets stored"
if [ "$ALONE" -eq 0 ]; then
    echo "tcpdump captured:    $TCPDUMP_CAPTURED (kernel drops $(tcpdump_count "dropped by kernel"))"
    echo "dumpcap captured:    ${DUMPCAP_CAPTURED:-not run} ($(sed -n "s|^Packets received/dropped on interface .*: [0-9]*/\([0-9]*\) (\(.*\)).*|dropped \1: \2|p" "$WORK/dumpcap.err" 2>/dev/null || true))"
    echo "floor counter:       $RING_CAPTURED (kernel drops $(value "$WORK/ring.out" "kernel drops"))"
else
    echo "comparisons:         not run (--alone)"
fi
# Captured over sent, and CPU per captured datagram, each process measured over the same flood.
ratio() { awk -v c="${1:-0}" -v s="$SENT" 'BEGIN { if (s > 0) printf "%.4f", c / s; else print "-" }'; }
cpu_row() {  # NAME CAPTURED TICKS
    printf "  %-32s %10s %9s %12s\n" "$1" "$2" "$(ratio "$2")" "$(us_per_datagram "$3" "$2")"
}
echo "resident memory:     helper $HELPER_MEMORY; dumpcap $DUMPCAP_MEMORY"
echo "window's queue:      at most $(value "$WORK/window.out" "pump peak MiB") MiB of frames waited for the list (the shared ring holds $(value "$WORK/window.out" "shared ring MiB"), and at most $(value "$WORK/window.out" "ring peak MiB") MiB waited there for the capture pump's thread)"
echo "disk behind:         the store's writer was full $(value "$WORK/window.out" "writer full stretches") times," \
     "longest $(value "$WORK/window.out" "writer full longest ms") ms, $(value "$WORK/window.out" "writer full total ms") ms in all" \
     "(frames waited in the capture pump and the rings meanwhile); at most $(value "$WORK/window.out" "writer most waiting") of its" \
     "$(value "$WORK/window.out" "writer room") parts waited for the disk at once"
echo "CPU per captured datagram (user + system, from /proc; $CLOCK_TICK ticks a second):"
printf "  %-32s %10s %9s %12s\n" capturer captured "of sent" "µs/datagram"
if [ -n "$RING_PID" ]; then cpu_row "floor (bare TPACKET_V3 counter)" "$RING_CAPTURED" "${CPU_USED[4]}"; fi
cpu_row "wirelens window" "$CAPTURED" "${CPU_USED[0]}"
cpu_row "wirelens helper" "$CAPTURED" "${CPU_USED[1]}"
cpu_row "wirelens, window + helper" "$CAPTURED" "$((CPU_USED[0] + CPU_USED[1]))"
if [ -n "$TCPDUMP_PID" ]; then cpu_row "tcpdump -w /dev/null" "$TCPDUMP_CAPTURED" "${CPU_USED[2]}"; fi
if [ -n "$DUMPCAP_PID" ]; then cpu_row "dumpcap -w /dev/null" "$DUMPCAP_CAPTURED" "${CPU_USED[3]}"; fi
echo "largest stall:       $(value "$WORK/window.out" "largest stall ms") ms" \
     "(at $(value "$WORK/window.out" "largest stall at s") s; packets first seen at" \
     "$(value "$WORK/window.out" "first packet seen at s") s, last at $(value "$WORK/window.out" "last packet seen at s") s)"
echo "list paints:         $(value "$WORK/window.out" "list paints") (the list's viewport and scroll bar)"
RESIDENT_START="$(value "$WORK/window.out" "resident kB at start")"
RESIDENT_END="$(value "$WORK/window.out" "resident kB at end")"
STORED="$(value "$WORK/window.out" "stored packets")"
echo "window's memory:     $((RESIDENT_START / 1024)) MiB when the capture started, $((RESIDENT_END / 1024)) MiB at the end" \
     "(resident, all but the shared ring): $(awk -v a="$RESIDENT_START" -v b="$RESIDENT_END" -v n="$STORED" \
        'BEGIN { if (n > 0) printf "%.1f", (b - a) * 1024 / n; else printf "-" }') bytes per stored packet"
echo "memory mappings:     $(value "$WORK/window.out" "memory mappings") (the window's, at the end: the kernel walks them all at times, holding its memory map)"
echo "major page faults:   $(value "$WORK/window.out" "major faults main thread") in the main thread," \
     "$(value "$WORK/window.out" "major faults process") in the whole window, while capturing (pages read from the disk: each holds its thread until read)"
echo "event-loop ticks:    $(grep '^tick gap ms' "$WORK/window.out" | sed 's/^tick gap ms //') (ms between $(value "$WORK/window.out" "tick ms") ms ticks)"
grep '^tick gap .*-' "$WORK/window.out" | sed 's/^/                     /'
echo "window's own turns:  $(sed -n 's/^ran ms //p' "$WORK/window.out") (ms the main thread ran between ticks)"
grep '^long gap' "$WORK/window.out" | sed 's/^/  /'
if [ "${PAUSE_WATCH:-0}" = 1 ]; then stalls_beside_pauses "$WORK/window.out" "$WORK/pauses.out"; fi
echo "closing:             the window closed (and its capture stopped) in $(value "$WORK/window.out" "closing ms") ms after the flood"
echo "window progress:"
grep '^t ' "$WORK/window.err" | sed 's/^/  /' || true
if grep -q '^message' "$WORK/window.err"; then grep '^message' "$WORK/window.err"; fi
# The first five stalls the watch reported (over 100 ms, or STUCK_MS), and the first five times the
# store's writer was full that long, each with the other threads' states and stacks.
awk '/^stuck main thread/ { shown = ++stalls <= 5 } /^store.s writer full/ { shown = ++full <= 5 }
     shown && (/^stuck main thread/ || /^store.s writer full/ || /^  thread /)' "$WORK/window.err"
if [ "$WINDOW_STATUS" -ne 0 ]; then
    echo "wirelens_window_flood exited with status $WINDOW_STATUS" >&2
    cat "$WORK/window.err" >&2
    exit 1
fi
