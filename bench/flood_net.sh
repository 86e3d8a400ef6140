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

# Floods a from b, then ends tcpdump. Sets RX_DURING: what a's interface received.
run_flood() {  # BUILD PORT RATE SECONDS PAYLOAD
    local before after
    before="$(rx_packets)"
    ip netns exec "$NS_B" "$1/bin/wirelens_udp_flood" "$ADDRESS_A" "$2" "$3" "$4" "$5" >"$WORK/flood.out"
    sleep 1
    after="$(rx_packets)"
    RX_DURING=$((after - before))
    kill -INT "$TCPDUMP_PID"
    wait "$TCPDUMP_PID" || true
}

# The last field of the line of FILE that starts with TEXT.
value() { grep "^$2" "$1" | awk '{print $NF}'; }
