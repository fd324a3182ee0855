#!/bin/sh
# Sets up a fresh Debian 12 machine, builds the library and the reference server, starts the
# server on a fresh data directory, runs a short session against it, and stops it again.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake -S . -B build/gcc -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
cmake --build build/gcc -j2

work=$(mktemp -d /tmp/qdo-demo-XXXXXX)
server=""
cleanup() {
    [ -n "$server" ] && kill -TERM "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

echo "== initialising a data directory: $work/data"
build/gcc/server/qdo-server init --data "$work/data"

echo "== starting qdo-server on a free port"
# The server will not run as root unless told to (see docs/server.md for a service user).
as_root=""
[ "$(id -u)" -ne 0 ] || as_root=--allow-root
mkfifo "$work/out"
build/gcc/server/qdo-server run --data "$work/data" --listen 127.0.0.1:0 $as_root \
    >"$work/out" 2>"$work/server.log" &
server=$!
read -r line <"$work/out"
echo "   $line"
port=${line##*:}

echo "== a session through the C++ API: examples/session.cpp"
build/gcc/examples/example_session 127.0.0.1 "$port"
echo "== a session through the flat C interface: examples/connection.c"
build/gcc/examples/example_connection 127.0.0.1 "$port" USER
echo "== events and BLOBs through the C++ API: examples/events_blobs.cpp"
build/gcc/examples/example_events_blobs 127.0.0.1 "$port"
echo "== data operations through the C++ API: examples/data_operations.cpp"
build/gcc/examples/example_data_operations 127.0.0.1 "$port"
echo "== JSON export and import through the C++ API: examples/json.cpp"
build/gcc/examples/example_json 127.0.0.1 "$port"
echo "== data operations through the flat C interface: examples/data_operations_c.c"
build/gcc/examples/example_data_operations_c 127.0.0.1 "$port"

echo "== stopping the server"
kill -TERM "$server"
wait "$server" || true
server=""
echo "== server log"
sed 's/^/   /' "$work/server.log"
