#!/bin/sh
# Small sets and small gets of distinct global nodes (^B(i)) through TMDatabase batches of 1,000
# operations, one connection, client and server pinned to the same CPU, beside the
# single-request figures of the same run:
#   (a) qdo_setget: one request per operation
#   (b) qdo_batch: the server's batch request
#   (c) qdo_batch lines: generated Execute lines (the form for servers without batches)
# Prints operations per second against the goals of 500,000 sets/s and 1,000,000 gets/s.
#
#   bench/batch.sh [COUNT]          (default 200000; needs build/gcc built)
set -eu
cd "$(dirname "$0")/.."
count=${1:-200000}
. bench/lib.sh
bench_setup
start_qdo_server

single=$($cpu "$build/bench/qdo_setget" 127.0.0.1 "$qdo_port" 50000)
batch=$($cpu "$build/bench/qdo_batch" 127.0.0.1 "$qdo_port" "$count" 1000)
lines=$($cpu "$build/bench/qdo_batch" 127.0.0.1 "$qdo_port" "$count" 1000 lines)

row() { # name, operations per second, goal
    awk -v name="$1" -v ops="$2" -v goal="$3" 'BEGIN {
        printf "%-36s %10d ops/s", name, ops
        if (goal > 0) printf "   goal %d: %s", goal, (ops >= goal ? "met" : "not met")
        printf "\n" }'
}
field() { echo "$1" | awk -v k="$2" '$1 == k { print $2 }'; }
echo "client and server on CPU 0; batches of 1000; $count operations each"
row "(a) single requests, set" "$(field "$single" set)" 0
row "(a) single requests, get" "$(field "$single" get)" 0
row "(b) batch request, set" "$(field "$batch" set)" 500000
row "(b) batch request, get" "$(field "$batch" get)" 1000000
row "(c) generated lines, set" "$(field "$lines" set)" 0
row "(c) generated lines, get" "$(field "$lines" get)" 0
