#!/bin/sh
# Replication on loopback: a primary A and two secondaries B and C (three data directories, one
# qdo-server each, GT.M's replication servers between them), measured as an operator sees them:
#   lag       how long after the primary has committed COUNT writes (each a transaction of its
#             own, a 100-byte value) each secondary has applied them all
#   loss      the primary's processes killed while a client writes: how many of the writes it
#             saw acknowledged the secondaries lack
#   failover  promoting B, and the first write that B takes
#   rejoin    the old primary started as B's secondary: until it has what B took meanwhile
#
#   bench/replication.sh [COUNT]     (default 10000; needs build/gcc built)
set -eu
cd "$(dirname "$0")/.."
count=${1:-10000}
. bench/lib.sh
cpu=""
bench_setup
qdo=$build/tools/qdo
server=$build/server/qdo-server
as_root=""
[ "$(id -u)" -ne 0 ] || as_root=--allow-root

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }
field() { echo "$1" | tr ';' '\n' | awk -F= -v k="$2" '$1 == k { print $2 }'; }
status() { "$qdo" -p "$1" -n USER get '$$status^qdorepl()'; }
# serve NAME ARGS...: starts qdo-server on $work/NAME; its port goes in port_NAME
serve() {
    name=$1
    shift
    rm -f "$work/$name.out"
    mkfifo "$work/$name.out"
    "$server" run --data "$work/$name" --listen 127.0.0.1:0 $as_root "$@" \
        >"$work/$name.out" 2>>"$work/$name.log" &
    qdo_pids="$qdo_pids $!"
    eval "pid_$name=$!"
    read -r line <"$work/$name.out"
    eval "port_$name=${line##*:}"
}
# caught_up PORT SEQNO: waits until the secondary at PORT has applied SEQNO
caught_up() {
    while [ "$(field "$(status "$1")" applied)" != "$2" ]; do sleep 0.01; done
}
stop() { # NAME
    eval "kill -TERM \$pid_$1"
    eval "while kill -0 \$pid_$1 2>/dev/null; do sleep 0.05; done"
}

for name in A B C; do
    "$server" init --data "$work/$name" --replication "$name" --namespace USER >/dev/null 2>&1
done
repl_a=$(free_port) repl_b=$(free_port) repl_c=$(free_port)
serve B --secondary "$repl_b"
serve C --secondary "$repl_c"
serve A --primary --replicate-to "B=127.0.0.1:$repl_b" --replicate-to "C=127.0.0.1:$repl_c"

start=$(now)
"$qdo" -p "$port_A" -n USER x "for i=1:1:$count set ^L(i)=\$justify(i,100)"
committed=$(since "$start")
seqno=$(field "$(status "$port_A")" seqno)
start=$(now)
caught_up "$port_B" "$seqno"
lag_b=$(since "$start")
caught_up "$port_C" "$seqno"
lag_c=$(since "$start")
echo "$count writes committed on the primary in $committed s ($seqno transactions in all)"
echo "lag after the last commit: B $lag_b s, C $lag_c s"

# The primary's machine fails while a client writes: every process of A ends at once (kill -9:
# the listener, its jobs, GT.M's source servers). Each "incr" the client saw answered was
# committed on A; what B and C have of them shows the window that asynchronous replication
# loses at a failover.
yes 'incr ^W' | head -n 1000000 | "$qdo" -p "$port_A" -n USER >"$work/acknowledged" 2>/dev/null &
writer=$!
sleep 2
pkill -KILL -f "$work/A" || true
sleep 0.2 # the client reads what was answered before the end
kill "$writer" 2>/dev/null || true
wait "$writer" 2>/dev/null || true
acknowledged=$(tail -n 1 "$work/acknowledged")
sleep 1 # what was on its way is applied
on_b=$("$qdo" -p "$port_B" -n USER get '$get(^W)')
on_c=$("$qdo" -p "$port_C" -n USER get '$get(^W)')
echo "crash of the primary during writes: $acknowledged acknowledged;" \
    "B has $on_b ($((acknowledged - on_b)) lost), C has $on_c ($((acknowledged - on_c)) lost)"

start=$(now)
"$server" promote --data "$work/B" --replicate-to "A=127.0.0.1:$repl_a" \
    --replicate-to "C=127.0.0.1:$repl_c" 2>>"$work/B.log"
promoted=$(since "$start")
start=$(now)
until "$qdo" -p "$port_B" -n USER set '^L("after")' 1 2>/dev/null; do sleep 0.01; done
echo "failover: B promoted in $promoted s; its first write $(since "$start") s after"

start=$(now)
serve A --secondary "$repl_a"
until [ "$("$qdo" -p "$port_A" -n USER get '$get(^L("after"))' 2>/dev/null)" = 1 ]; do
    sleep 0.05
done
echo "rejoin: the old primary, started as B's secondary (recovering from the crash and rolling" \
    "back what B never had), caught up in $(since "$start") s"
