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
build=build/gcc
cpu="taskset -c 0"
for program in "$build/bench/qdo_pingpong" "$build/bench/qdo_setget" "$build/server/qdo-server"; do
    [ -x "$program" ] || { echo "missing $program: build first (scripts/main.sh)" >&2; exit 1; }
done
gtm_dist=${gtm_dist:-$(ls -d /usr/lib/x86_64-linux-gnu/fis-gtm/V* | sort | tail -n 1)}
export gtm_dist

work=$(mktemp -d /tmp/qdo-bench-XXXXXX)
server=""
gnp=""
cleanup() {
    [ -n "$server" ] && kill -TERM "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
    [ -n "$gnp" ] && kill -TERM "$gnp" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# (b) qdo-server on a fresh data directory.
"$build/server/qdo-server" init --data "$work/qdo" >/dev/null 2>&1
mkfifo "$work/out"
as_root=""
[ "$(id -u)" -ne 0 ] || as_root=--allow-root
$cpu "$build/server/qdo-server" run --data "$work/qdo" --listen 127.0.0.1:0 --log-level error \
    $as_root >"$work/out" 2>"$work/qdo.log" &
server=$!
read -r line <"$work/out"
qdo_port=${line##*:}

# (c) a GT.CM GNP server over a database of its own; the client's global directory maps its
# segment to NODE:/path with GTCM_NODE naming the server.
export gtmroutines="$work $gtm_dist/libgtmutil.so $gtm_dist"
cp bench/m/gnpbench.m "$work/"
printf 'change -segment DEFAULT -file_name=%s/gnp.dat\nexit\n' "$work" |
    gtmgbldir="$work/server.gld" "$gtm_dist/mumps" -run GDE >/dev/null 2>&1
gtmgbldir="$work/server.gld" "$gtm_dist/mupip" create >/dev/null 2>&1
printf 'change -segment DEFAULT -file_name=gnpnode:%s/gnp.dat\nexit\n' "$work" |
    gtmgbldir="$work/client.gld" "$gtm_dist/mumps" -run GDE >/dev/null 2>&1
gnp_port=$(free_port)
(cd "$work" && gtmgbldir="$work/server.gld" $cpu "$gtm_dist/gtcm_gnp_server" \
    -service="$gnp_port" -log="$work/gnp.log")
sleep 0.5
gnp=$(pgrep -f "gtcm_gnp_server -service=$gnp_port" || true)

floor=$($cpu "$build/bench/qdo_pingpong" "$count" | awk '{print $2}')
qdo=$($cpu "$build/bench/qdo_setget" 127.0.0.1 "$qdo_port" "$count")
gnpout=$(cd "$work" && GTCM_gnpnode="127.0.0.1:$gnp_port" gtmgbldir="$work/client.gld" \
    $cpu "$gtm_dist/mumps" -run gnpbench "$count")

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
