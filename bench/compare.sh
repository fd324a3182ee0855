#!/bin/sh
# Compares single-connection synchronous set and get of distinct short global nodes (^B(i))
# against the floor of a raw TCP ping-pong of 20-byte messages, all in one run, with client and
# server pinned to the same CPU (across two vCPUs a wake-up costs ~70 us and swamps the rest):
#   (a) the raw ping-pong, the floor
#   (b) the qdo library against qdo-server
#   (c) GT.M's own remote-global protocol, GT.CM GNP (gtcm_gnp_server)
# Prints operations per second and each as a ratio to (a).
#
#   bench/compare.sh [COUNT]        (default 50000; needs build/gcc built)
set -eu
cd "$(dirname "$0")/.."
count=${1:-50000}
. bench/lib.sh
bench_setup
start_qdo_server
start_gnp_server

floor=$($cpu "$build/bench/qdo_pingpong" "$count" | awk '{print $2}')
qdo=$($cpu "$build/bench/qdo_setget" 127.0.0.1 "$qdo_port" "$count")
gnpout=$(gnp_client $cpu "$gtm_dist/mumps" -run gnpbench "$count")

row() { # name, operations per second
    awk -v name="$1" -v ops="$2" -v floor="$floor" \
        'BEGIN { printf "%-24s %10d ops/s   %.2f of the floor\n", name, ops, ops / floor }'
}
echo "$count operations each, client and server on CPU 0"
row "(a) raw TCP ping-pong" "$floor"
row "(b) qdo set" "$(echo "$qdo" | awk '/^set/ {print $2}')"
row "(b) qdo get" "$(echo "$qdo" | awk '/^get/ {print $2}')"
row "(c) GT.CM GNP set" "$(echo "$gnpout" | awk '/^set/ {print $2}')"
row "(c) GT.CM GNP get" "$(echo "$gnpout" | awk '/^get/ {print $2}')"

# Group reads through the C++ API (chunks decoded), and the cost of a reply's last frame.
echo "group reads of 200,000 short nodes, and single replies"
$cpu "$build/bench/qdo_groupread" 127.0.0.1 "$qdo_port" 200000 | sed 's/^/    /'
