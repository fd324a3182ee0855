# Shared pieces of bench/compare.sh and bench/report.sh: the servers they measure, started on a
# scratch directory that goes when the calling script exits. Source it from the repository's top
# directory:   . bench/lib.sh
#
#   bench_setup                   checks the programs, makes $work, sets gtm_dist; cleans up at exit
#   start_qdo_server [ARG...]     qdo-server on a fresh data directory ($work/$qdo_name, default
#                                 qdo); sets qdo_pid, qdo_port (each one started is stopped at exit)
#   start_gnp_server              a GT.CM GNP server over a database of its own; sets gnp_pid,
#                                 gnp_port
#   gnp_client COMMAND...         runs COMMAND (a mumps) as a client of that GNP server
#   pin CPUS PID                  moves PID and its threads to CPUS (taskset -a -p); processes it
#                                 starts later inherit it
#
# $cpu (default "taskset -c 0") prefixes the start of both servers. Single connections are
# measured pinned to one CPU, since across two vCPUs a wake-up costs ~70 us and swamps the rest.

build=${build:-build/gcc}
cpu=${cpu:-taskset -c 0}

bench_setup() {
    for program in "$build/bench/qdo_pingpong" "$build/bench/qdo_setget" \
        "$build/server/qdo-server"; do
        [ -x "$program" ] || {
            echo "missing $program: build first (scripts/main.sh)" >&2
            exit 1
        }
    done
    gtm_dist=${gtm_dist:-$(ls -d /usr/lib/x86_64-linux-gnu/fis-gtm/V* | sort | tail -n 1)}
    export gtm_dist
    work=$(mktemp -d /tmp/qdo-bench-XXXXXX)
    qdo_pid=""
    qdo_pids=""
    gnp_pid=""
    trap bench_cleanup EXIT
    trap 'exit 130' INT TERM
}

bench_cleanup() {
    for pid in $qdo_pids; do
        kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    done
    if [ -n "$gnp_pid" ]; then
        kill -TERM "$gnp_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

start_qdo_server() {
    name=${qdo_name:-qdo}
    "$build/server/qdo-server" init --data "$work/$name" >/dev/null 2>&1
    mkfifo "$work/$name.out"
    as_root=""
    [ "$(id -u)" -ne 0 ] || as_root=--allow-root
    $cpu "$build/server/qdo-server" run --data "$work/$name" --listen 127.0.0.1:0 \
        --log-level error $as_root "$@" >"$work/$name.out" 2>"$work/$name.log" &
    qdo_pid=$!
    qdo_pids="$qdo_pids $qdo_pid"
    read -r line <"$work/$name.out"
    qdo_port=${line##*:}
}

# The client's global directory maps its segment to NODE:/path, with GTCM_NODE naming the server.
start_gnp_server() {
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
    gnp_pid=$(pgrep -f "gtcm_gnp_server -service=$gnp_port" || true)
}

gnp_client() {
    (cd "$work" && GTCM_gnpnode="127.0.0.1:$gnp_port" gtmgbldir="$work/client.gld" "$@")
}

pin() {
    taskset -a -p -c "$1" "$2" >/dev/null
}
