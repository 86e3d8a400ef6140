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
