#!/bin/sh
# Opens the interactive qdo shell on a reference server of its own: builds what is missing,
# keeps a data directory that survives between runs (QDO_DATA, default ~/.local/share/qdo/data),
# starts qdo-server on a free port for the length of the shell, and stops it afterwards.
# Arguments go to qdo (for example: scripts/shell.sh get '^X').
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/gcc
if [ ! -x "$build/tools/qdo" ] || [ ! -x "$build/server/qdo-server" ]; then
    "$root/scripts/install-deps.sh"
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
    cmake --build "$build" -j2 --target qdo-cli qdo-server
fi

work=$(mktemp -d /tmp/qdo-shell-XXXXXX)
server=""
cleanup() {
    [ -n "$server" ] && kill -TERM "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' TERM

data=${QDO_DATA:-${XDG_DATA_HOME:-$HOME/.local/share}/qdo/data}
if [ ! -d "$data" ]; then
    mkdir -p "$(dirname "$data")"
    "$build/server/qdo-server" init --data "$data" >"$work/init.log" 2>&1 ||
        { cat "$work/init.log" >&2; exit 1; }
fi

# The server will not run as root unless told to (see docs/operations.md for a service user).
as_root=""
[ "$(id -u)" -ne 0 ] || as_root=--allow-root
mkfifo "$work/out"
# A session of its own, so that Ctrl-C in the shell reaches qdo and not the server.
setsid "$build/server/qdo-server" run --data "$data" --listen 127.0.0.1:0 --log-level warning \
    $as_root >"$work/out" 2>"$work/server.log" &
server=$!
if ! read -r line <"$work/out"; then
    echo "qdo-server did not start:" >&2
    cat "$work/server.log" >&2
    exit 1
fi
port=${line##*:}
echo "qdo-server on 127.0.0.1:$port, data in $data" >&2
# Ctrl-C belongs to qdo (it stops the running command); this script waits for it to end.
trap : INT
status=0
"$build/tools/qdo" --port "$port" "$@" || status=$?
exit "$status"
