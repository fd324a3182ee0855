#!/bin/sh
# JSON import of COUNT small values (an array of objects {"id": i, "name": "item i"}) into one
# subtree through ImportJson, one connection, client and server on CPU 0. Prints values per
# second.
#
#   bench/json-import.sh [COUNT]    (default 100000; needs build/gcc built)
set -eu
cd "$(dirname "$0")/.."
count=${1:-100000}
. bench/lib.sh
bench_setup
start_qdo_server
result=$($cpu "$build/bench/qdo_jsonimport" 127.0.0.1 "$qdo_port" "$count")
echo "client and server on CPU 0; $count values"
echo "$result" | awk '$1 == "import" { printf "JSON import, values/s %10d\n", $2 }'
