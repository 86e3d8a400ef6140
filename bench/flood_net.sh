# Sourced by the flood benchmarks: two namespaces joined by a veth pair made
# for the run and removed at exit, with helpers to read them.
#
#   flood_net_up NAME   # NAME tells the run's namespaces apart from other runs'
#
# Sets NS_A, NS_B, IF_A, IF_B, ADDRESS_A, ADDRESS_B, WORK (a scratch folder)
# and PIDS (background processes to end at exit). Needs root.

flood_net_up() {
    local name="$1"
    if [ "$(id -u)" -ne 0 ]; then
        echo "$(basename "$0") needs root: it makes network namespaces and a veth pair" >&2
        exit 1
    fi
    NS_A="wl${name}$$a"
    NS_B="wl${name}$$b"
    IF_A="wl${name:0:1}$$a"
    IF_B="wl${name:0:1}$$b"
    ADDRESS_A=198.51.100.1
    ADDRESS_B=198.51.100.2
    WORK="$(mktemp -d "/tmp/wirelens-$name-XXXXXX")"
    PIDS=()
    trap flood_net_down EXIT

    ip netns add "$NS_A"
    ip netns add "$NS_B"
    ip link add "$IF_A" netns "$NS_A" type veth peer name "$IF_B" netns "$NS_B"
    for ns in "$NS_A" "$NS_B"; do ip -n "$ns" link set lo up; done
    ip -n "$NS_A" addr add "$ADDRESS_A/24" dev "$IF_A"
    ip -n "$NS_B" addr add "$ADDRESS_B/24" dev "$IF_B"
    ip -n "$NS_A" link set "$IF_A" up
    ip -n "$NS_B" link set "$IF_B" up
}

flood_net_down() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    ip netns del "$NS_A" 2>/dev/null || true
    ip netns del "$NS_B" 2>/dev/null || true
    rm -rf "$WORK"
}

rx_packets() { ip netns exec "$NS_A" cat "/sys/class/net/$IF_A/statistics/rx_packets"; }

wait_for() {  # FILE TEXT
    for _ in $(seq 100); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "timed out waiting for \"$2\" in $1" >&2; cat "$1" >&2; exit 1
}

# tcpdump on a's end of the veth, counting the flood's datagrams beside Wirelens.
start_tcpdump() {  # PORT
    ip netns exec "$NS_A" tcpdump -i "$IF_A" -n -Z root -w /dev/null "udp and dst port $1" 2>"$WORK/tcpdump.err" &
    PIDS+=($!)
    TCPDUMP_PID=$!
    wait_for "$WORK/tcpdump.err" "listening on"
}

# dumpcap (Wireshark's capture engine) on the same interface, writing pcapng to /dev/null.
start_dumpcap() {  # PORT
    DUMPCAP_PID=""
    command -v dumpcap >/dev/null || return 0
    ip netns exec "$NS_A" dumpcap -i "$IF_A" -f "udp and dst port $1" -w /dev/null >"$WORK/dumpcap.out" 2>"$WORK/dumpcap.err" &
    PIDS+=($!)
    DUMPCAP_PID=$!
    wait_for "$WORK/dumpcap.err" "Capturing on"
}

# The floor: a bare TPACKET_V3 counter of the bench's own on the same interface.
start_ring_count() {  # BUILD PORT
    ip netns exec "$NS_A" "$1/bin/wirelens_ring_count" "$IF_A" "$2" >"$WORK/ring.out" 2>"$WORK/ring.err" &
    PIDS+=($!)
    RING_PID=$!
    wait_for "$WORK/ring.out" "ready"
}

# CPU time (user + system) a process has used so far, in clock ticks.
cpu_ticks() {  # PID
    [ -n "$1" ] && [ -r "/proc/$1/stat" ] || { echo 0; return; }
    sed 's/^.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'
}
CLOCK_TICK="$(getconf CLK_TCK)"

# Microseconds of CPU per datagram: TICKS clock ticks over COUNT datagrams.
us_per_datagram() {  # TICKS COUNT
    awk -v t="$1" -v n="$2" -v hz="$CLOCK_TICK" 'BEGIN { if (n > 0) printf "%.2f", t / hz * 1e6 / n; else print "-" }'
}

# SENDERS processes flooding ADDRESS:PORT from NAMESPACE, each at RATE; waits for them all.
send_flood() {  # NAMESPACE BUILD ADDRESS PORT RATE SECONDS PAYLOAD SENDERS WORK
    local i pids=()
    for i in $(seq "$8"); do
        ip netns exec "$1" "$2/bin/wirelens_udp_flood" "$3" "$4" "$5" "$6" "$7" >"$9/flood.$i.out" &
        pids+=($!)
    done
    for i in "${pids[@]}"; do wait "$i"; done
}

# Floods a from b with SENDERS processes (default 1) sharing RATE, then ends
# tcpdump. Sets RX_DURING: what a's interface received. The senders' summaries
# go to $WORK/flood.out, one line each; SENT is their total.
# With SENDERS_APART=1 the senders run in a session of their own, as a load
# started from another terminal would: with the kernel's autogroups on, the
# cores are then shared between their session and the capture's rather than
# among all the processes alike.
run_flood() {  # BUILD PORT RATE SECONDS PAYLOAD [SENDERS]
    local before after senders="${6:-1}"
    local per_sender
    per_sender="$(awk -v r="$3" -v n="$senders" 'BEGIN { printf "%.0f", r / n }')"
    before="$(rx_packets)"
    if [ "${SENDERS_APART:-0}" = 1 ]; then
        setsid -w bash -c "$(declare -f send_flood); send_flood \"\$@\"" _ \
            "$NS_B" "$1" "$ADDRESS_A" "$2" "$per_sender" "$4" "$5" "$senders" "$WORK"
    else
        send_flood "$NS_B" "$1" "$ADDRESS_A" "$2" "$per_sender" "$4" "$5" "$senders" "$WORK"
    fi
    cat "$WORK"/flood.*.out >"$WORK/flood.out"
    SENT="$(awk '/^sent/ {n += $2} END {print n + 0}' "$WORK/flood.out")"
    sleep 1
    after="$(rx_packets)"
    RX_DURING=$((after - before))
}

# Ends the comparison captures (tcpdump, and dumpcap and the counter when started).
stop_comparisons() {
    local pid
    for pid in "$TCPDUMP_PID" "${DUMPCAP_PID:-}" "${RING_PID:-}"; do
        [ -n "$pid" ] || continue
        kill -INT "$pid" 2>/dev/null || true
        wait "$pid" || true
    done
}

# The last field of the line of FILE that starts with TEXT.
value() { grep "^$2" "$1" | awk '{print $NF}'; }

# The machine-pause watcher (pause_watch.cpp): a real-time thread on each CPU
# that notes when its CPU ran nothing new for 2 ms or more.
start_pause_watch() {  # BUILD
    "$1/bin/wirelens_pause_watch" >"$WORK/pauses.out" 2>"$WORK/pauses.err" &
    PIDS+=($!)
    PAUSE_PID=$!
    wait_for "$WORK/pauses.out" "ready"
}

stop_pause_watch() {
    [ -n "${PAUSE_PID:-}" ] || return 0
    kill -INT "$PAUSE_PID" 2>/dev/null || true
    wait "$PAUSE_PID" || true
    PAUSE_PID=""
}

# The stretches in which every CPU was held at once (the machine did not run),
# one "START END" line each (monotonic seconds), from the watcher's output.
machine_pauses() {  # PAUSES_FILE
    local cpus
    cpus="$(grep -c '^cpu ' "$1" || true)"
    [ "${cpus:-0}" -gt 0 ] || return 0
    awk '/^held / {print $3, 1; print $4, -1}' "$1" | sort -g -k1,1 -k2,2n |
        awk -v cpus="$cpus" '{held += $2; if (held == cpus && $2 == 1) start = $1; else if (held == cpus - 1 && $2 == -1 && start != "") {print start, $1; start = ""}}'
}

# The window's stalls ("stall START END RAN WAIT" lines of STALLS_FILE) with
# the machine's pauses taken out: prints the pauses' count, longest and total,
# the longest time a single CPU was held, and the longest stall that remains.
stalls_beside_pauses() {  # STALLS_FILE PAUSES_FILE
    local pauses
    pauses="$(machine_pauses "$2")"
    awk -v pauses="$pauses" '
        BEGIN {
            n = split(pauses, p, /[ \n]/)
            for (i = 1; i + 1 <= n; i += 2) { ps[++np] = p[i]; pe[np] = p[i + 1]; d = pe[np] - ps[np]; total += d; if (d > longest) longest = d }
        }
        FILENAME == ARGV[1] && /^held / { d = $4 - $3; if (d > cpu) cpu = d; if (d >= 0.02 && shown < 5) { printf "cpu held:            CPU %s ran nothing new for %.1f ms (monotonic %.3f to %.3f)\n", $2, d * 1e3, $3, $4; ++shown } }
        FILENAME == ARGV[2] && /^stall / {
            s = $2; e = $3; overlap = 0
            for (i = 1; i <= np; ++i) { a = (s > ps[i] ? s : ps[i]); b = (e < pe[i] ? e : pe[i]); if (b > a) overlap += b - a }
            left = e - s - overlap
            if (left > best) { best = left; bestWhole = e - s; bestEnd = e; bestRan = $4; bestWait = $5 }
        }
        END {
            printf "machine pauses:      %d with every CPU held at once, longest %.1f ms, %.1f ms in all; one CPU held at most %.1f ms\n",
                   np, longest * 1e3, total * 1e3, cpu * 1e3
            if (best > 0)
                printf "largest stall, pauses out: %.1f ms (of a %.1f ms gap ending at monotonic %.6f; the main thread ran %.1f ms, waited for a CPU %.1f ms)\n",
                       best * 1e3, bestWhole * 1e3, bestEnd, bestRan, bestWait
            else
                print "largest stall, pauses out: none of two ticks or more"
        }' "$2" "$1"
}
