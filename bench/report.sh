#!/bin/sh
# The performance report: runs every benchmark against qdo-server (and GT.CM GNP where there is
# something to compare with) in one go and writes a markdown table of figure, measured, goal and
# whether the goal is met, with two plots:
#   OUTDIR/performance.md     the machine, then the table (also printed on stdout)
#   OUTDIR/manyclients.png    operations/s against the number of clients: qdo, floor, GNP
#   OUTDIR/groupread.png      group-read nodes/s against the number of nodes
#
#   bench/report.sh [OUTDIR]      (default: a new directory under /tmp, named on stdout;
#                                  needs build/gcc built; takes 3 to 4 minutes)
#
# Single connections, group reads and BLOBs run with client and server pinned to CPU 0 (as
# bench/compare.sh does); many clients run on every CPU, servers included. Progress goes to
# stderr.
set -eu
cd "$(dirname "$0")/.."
outdir=${1:-$(mktemp -d /tmp/qdo-report-XXXXXX)}
mkdir -p "$outdir"
outdir=$(cd "$outdir" && pwd)
echo "report in $outdir"
say() { echo "report: $*" >&2; }
began=$(date +%s)

. bench/lib.sh
for program in qdo_setget qdo_groupread qdo_manyclients qdo_blob qdo_sessionopen \
    qdo_request_bench; do
    [ -x "$build/bench/$program" ] || {
        echo "missing $build/bench/$program: build first" >&2
        exit 1
    }
done
if ! command -v gnuplot >/dev/null 2>&1; then
    say "installing gnuplot-nox"
    apt-get install -y gnuplot-nox >/dev/null
fi
clients_list="1 2 4 16 64 200"
# Every client of the largest count takes a socket here and a job (two descriptors) there.
[ "$(ulimit -n)" = unlimited ] || [ "$(ulimit -n)" -ge 4096 ] || ulimit -n 4096
bench_setup
say "starting qdo-server and a GT.CM GNP server"
start_qdo_server --max-jobs 256
start_gnp_server
bench="$build/bench"
gtm_version=$("$gtm_dist/mumps" -run %XCMD 'write $zversion')

table="$work/table.md"
: >"$table"
# row FIGURE MEASURED GOAL MET: one line of the table.
row() { printf '| %s | %s | %s | %s |\n' "$1" "$2" "$3" "$4" >>"$table"; }
# yes when A >= B, else no.
at_least() { awk -v a="$1" -v b="$2" 'BEGIN { print (a + 0 >= b + 0) ? "yes" : "no" }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }'; }
field() { echo "$1" | awk -v key="$2" '$1 == key { print $2; exit }'; }
# at_most A B: yes when A <= B, else no.
at_most() { awk -v a="$1" -v b="$2" 'BEGIN { print (a + 0 <= b + 0) ? "yes" : "no" }'; }
# ops_row NAME OPS FLOOR GNP FLOOR_GOAL [GNP_GOAL]: the rate, and the two ratio rows with their
# goals (no goal for GNP when none is given).
ops_row() {
    row "$1, ops/s" "$2" "" ""
    r=$(ratio "$2" "$3")
    row "$1 / floor" "$r" ">= $5" "$(at_least "$r" "$5")"
    r=$(ratio "$2" "$4")
    if [ -n "${6:-}" ]; then
        row "$1 / GNP" "$r" ">= $6" "$(at_least "$r" "$6")"
    else
        row "$1 / GNP" "$r" "" ""
    fi
}

# --- Single connection, pinned to CPU 0 ---
count=50000
say "single connection: ping-pong, qdo set/get, GNP set/get ($count each)"
floor=$($cpu "$bench/qdo_pingpong" "$count" | awk '{ print $2 }')
qdo=$($cpu "$bench/qdo_setget" 127.0.0.1 "$qdo_port" "$count")
gnp=$(gnp_client $cpu "$gtm_dist/mumps" -run gnpbench "$count")
row "**single connection** (client and server on CPU 0)" "" "" ""
row "raw TCP ping-pong of 20 bytes (the floor), ops/s" "$floor" "" ""
for op in set get; do
    ops_row "qdo $op" "$(field "$qdo" $op)" "$floor" "$(field "$gnp" $op)" 0.85
    row "GT.CM GNP $op, ops/s" "$(field "$gnp" $op)" "" ""
done

# --- Group reads, pinned to CPU 0 ---
row "**group read** (CPU 0)" "" "" ""
: >"$work/groupread.dat"
for nodes in 1000 10000 100000 200000; do
    say "group read of $nodes nodes"
    out=$($cpu "$bench/qdo_groupread" 127.0.0.1 "$qdo_port" "$nodes")
    rate=$(field "$out" walk)
    echo "$nodes $rate" >>"$work/groupread.dat"
    if [ "$nodes" -eq 200000 ]; then
        row "group read walk of $nodes nodes, nodes/s" "$rate" ">= 1000000" \
            "$(at_least "$rate" 1000000)"
    else
        row "group read walk of $nodes nodes, nodes/s" "$rate" "" ""
    fi
done
read_us=$(echo "$out" | awk '/^read/ { print $2 }')
row "read of one node, us" "$read_us" "" ""
# A reply of one chunk costs about what a read does: at most a quarter more.
for what in "group read of one node" "execute" "execute without output"; do
    us=$(echo "$out" | awk -v what="$what" '{ n = $(NF - 1); $(NF - 1) = ""; $NF = ""
        sub(/ +$/, ""); if ($0 == what) print n }')
    r=$(ratio "$us" "$read_us")
    row "$what, us (and / read)" "$us ($r)" "<= 1.25 read" "$(at_most "$r" 1.25)"
done
say "group read of a 1000 MB subtree"
stream=$($cpu "$bench/qdo_groupread" 127.0.0.1 "$qdo_port" 0 1000)
row "group read of a 1000 MB subtree (1000-byte values), MB/s" \
    "$(echo "$stream" | awk '/^stream/ { print $4 }')" "" ""
job_kib=$(echo "$stream" | awk '/^job resident/ { print $3, $8 }')
set -- $job_kib
row "job resident before / at most during it, MiB" \
    "$(awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f / %.1f", a / 1024, b / 1024 }')" \
    "flat (within 2 MiB)" "$(at_most "$(($2 - $1))" 2048)"
client_kib=$(echo "$stream" | awk '/^client resident/ { print $3, $8 }')
set -- $client_kib
row "client resident before / at most during it, MiB" \
    "$(awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f / %.1f", a / 1024, b / 1024 }')" \
    "flat (within 2 MiB)" "$(at_most "$(($2 - $1))" 2048)"

# --- Session open and the client alone, pinned to CPU 0 ---
row "**session open and the client alone** (CPU 0)" "" "" ""
say "session open"
open=$($cpu "$bench/qdo_sessionopen" 127.0.0.1 "$qdo_port" 100)
open_ms=$(echo "$open" | awk '/^open/ { print $2 }')
row "session open (connect, logon, first read, close), 50 ms apart, ms" "$open_ms" "< 3" \
    "$(awk -v a="$open_ms" 'BEGIN { print (a < 3) ? "yes" : "no" }')"
row "session open back to back, median / 90th percentile, ms" \
    "$(echo "$open" | awk '/^back/ { b = $4 } /^p90/ { p = $2 } END { print b " / " p }')" "" ""
say "client alone"
# Medians of five runs each: requests against an in-process peer that answers at once, and the
# raw ping-pong with an in-process peer of the same kind.
$cpu "$bench/qdo_request_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only \
    --benchmark_format=json >"$work/alone.json" 2>/dev/null
set -- $(python3 -c '
import json, sys
runs = {b["run_name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"]
        if b.get("aggregate_name") == "median"}
read, pong = runs["BM_ReadRequest/real_time"], runs["BM_RawPingPong/real_time"]
print("%.0f %.0f %g" % (read["items_per_second"], pong["items_per_second"],
                        read["allocations_per_request"]))' "$work/alone.json")
row "client alone against an in-process peer, requests/s" "$1" "" ""
row "in-process raw ping-pong of 20 bytes, ops/s" "$2" "" ""
r=$(ratio "$1" "$2")
row "client alone / in-process ping-pong" "$r" ">= 0.95" "$(at_least "$r" 0.95)"
row "heap allocations per request" "$3" "0" "$([ "$3" = 0 ] && echo yes || echo no)"

# --- BLOBs, pinned to CPU 0 ---
row "**BLOBs** (CPU 0; MiB = 2^20 bytes)" "" "" ""
: >"$work/blobmemory.dat"
say "ping-pong of 2 KiB messages"
pong=$($cpu "$bench/qdo_pingpong" 30000 1 2048 | awk '/^bytes/ { print $2 }')
row "ping-pong of 2 KiB messages, MiB/s one way" \
    "$(awk -v b="$pong" 'BEGIN { printf "%.1f", b / 1048576 }')" "" ""
for size in 10 100; do
    say "BLOB of $size MiB"
    blob=$($cpu "$bench/qdo_blob" 127.0.0.1 "$qdo_port" "$size")
    echo "$blob" | grep -q '^verified' || {
        echo "qdo_blob $size: the bytes read back differ" >&2
        exit 1
    }
    # size, client growth, job private peak, job peak: one line for the flatness rows below.
    echo "$blob" | awk -v size="$size" '
        $2 == "client" { g = substr($4, 2) + 0; if (g > client) client = g }
        $2 == "job" { if ($7 + 0 > private) private = $7 + 0; if ($4 + 0 > rss) rss = $4 + 0 }
        END { print size, client, private, rss }' >>"$work/blobmemory.dat"
    for direction in write read; do
        bytes=$(echo "$blob" | awk -v d="$direction" '$1 == d && $3 == "MiB/s" { print $4 }')
        mib=$(echo "$blob" | awk -v d="$direction" '$1 == d && $3 == "MiB/s" { print $2 }')
        row "BLOB $direction of $size MiB, MiB/s" "$mib" "" ""
        r=$(ratio "$bytes" "$pong")
        row "BLOB $direction of $size MiB / 2 KiB ping-pong bytes/s" "$r" ">= 0.50" \
            "$(at_least "$r" 0.50)"
    done
done
# Flat: the peak with 100 MiB is within 2 MiB of the peak with 10 MiB.
memory_row() { # COLUMN: "value with 10 / value with 100"
    awk -v column="$1" '{ v[NR] = $column } END { printf "%.1f / %.1f\n", v[1], v[2] }' \
        "$work/blobmemory.dat"
}
flat() { # COLUMN
    awk -v column="$1" '{ v[NR] = $column } END { print (v[2] - v[1] <= 2) ? "yes" : "no" }' \
        "$work/blobmemory.dat"
}
row "client RSS growth, BLOB of 10 / 100 MiB, MiB" "$(memory_row 2)" "flat (within 2 MiB)" \
    "$(flat 2)"
row "job private RSS (RssAnon) peak, BLOB of 10 / 100 MiB, MiB" "$(memory_row 3)" \
    "flat (within 2 MiB)" "$(flat 3)"
row "job RSS peak, the database's shared memory included, 10 / 100 MiB, MiB" "$(memory_row 4)" \
    "" ""

# --- Many clients, on every CPU ---
pin 0-1 "$qdo_pid"
[ -z "$gnp_pid" ] || pin 0-1 "$gnp_pid"
row "**many clients** (not pinned: clients and servers use both CPUs)" "" "" ""
: >"$work/manyclients.dat"
seconds=5
for n in $clients_list; do
    say "$n clients: qdo"
    mc_status=0
    mc=$("$bench/qdo_manyclients" 127.0.0.1 "$qdo_port" "$n" "$seconds" 2>"$work/mc.err") ||
        mc_status=$?
    qdo_ops=$(field "$mc" ops)
    errors=$(field "$mc" errors)
    [ "$mc_status" -eq 0 ] || sed 's/^/    /' "$work/mc.err" >&2

    say "$n clients: ping-pong floor, $n pairs"
    floor=$("$bench/qdo_pingpong" 150000 "$n" | awk '/^pingpong/ { print $2 }')

    say "$n clients: GT.CM GNP, $n processes"
    # All start at one moment, well after every process has started and connected.
    now=$(date +%s%6N)
    start=$((now + 3000000 + n * 100000))
    end=$((start + seconds * 1000000))
    rm -rf "$work/gnpclients"
    mkdir "$work/gnpclients"
    i=0
    clients=""
    while [ "$i" -lt "$n" ]; do
        gnp_client "$gtm_dist/mumps" -run many^gnpbench "$start" "$end" \
            >"$work/gnpclients/$i" 2>&1 &
        clients="$clients $!"
        i=$((i + 1))
    done
    for pid in $clients; do
        wait "$pid" || true
    done
    # Each client's output is one line "ops N late 0|1 wrong W"; anything else is a failure.
    set -- $(cat "$work"/gnpclients/* | awk -v s="$seconds" '
        $1 == "ops" { ops += $2; late += $4; bad += ($6 != 0) }
        END { printf "%.0f %d %d", ops / s, late, bad }')
    gnp_ops=$1
    late=$2
    gnp_bad=$(($3 + n - $(cat "$work"/gnpclients/* | grep -c '^ops')))
    if [ "$gnp_bad" -ne 0 ]; then
        say "GT.CM GNP: $gnp_bad of $n clients failed; their first lines:"
        grep -hv '^ops' "$work"/gnpclients/* | sort | uniq -c | sort -rn | head -n 5 >&2
    fi

    echo "$n $qdo_ops $floor $gnp_ops" >>"$work/manyclients.dat"
    ops_row "$n clients: qdo" "$qdo_ops" "$floor" "$gnp_ops" 0.70 1.50
    row "$n clients: floor ($n ping-pong pairs), ops/s" "$floor" "" ""
    note=""
    [ "$late" -eq 0 ] || note=" ($late started late)"
    [ "$gnp_bad" -eq 0 ] || note="$note ($gnp_bad failed)"
    row "$n clients: GT.CM GNP, ops/s" "$gnp_ops$note" "" ""
    row "$n clients: qdo errors and refusals" "${errors:-none reported (exit $mc_status)}" "0" \
        "$([ "${errors:-1}" = 0 ] && [ "$mc_status" -eq 0 ] && echo yes || echo no)"
done

# --- Plots ---
say "plotting"
gnuplot <<EOF
set terminal pngcairo size 900,560 noenhanced
set output "$outdir/manyclients.png"
set title "Many clients at once, synchronous set and get (2 vCPUs, not pinned)"
set xlabel "clients"
set ylabel "operations/s"
set logscale x 2
set yrange [0:*]
set key outside bottom center horizontal
set grid
plot "$work/manyclients.dat" using 1:3 with linespoints title "raw TCP ping-pong (floor)", \
     "" using 1:2 with linespoints title "qdo", \
     "" using 1:4 with linespoints title "GT.CM GNP"
set output "$outdir/groupread.png"
set title "Group read through the C++ API (client and server on CPU 0)"
set xlabel "nodes"
set ylabel "nodes/s"
set logscale x 10
set xrange [500:400000]
unset key
plot "$work/groupread.dat" using 1:2 with linespoints
EOF

# --- The report ---
{
    echo "# qdo performance"
    echo
    echo "- machine: $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)," \
        "$(nproc) cores, kernel $(uname -r)"
    echo "- GT.M: $gtm_version ($gtm_dist)"
    compiler=$(awk -F= '/^CMAKE_CXX_COMPILER:/ { print $2 }' "$build/CMakeCache.txt")
    echo "- compiler: $("$compiler" --version | head -n 1)," \
        "$(awk -F= '/^CMAKE_BUILD_TYPE:/ { print $2 }' "$build/CMakeCache.txt")"
    echo "- run: $(date -u '+%Y-%m-%d %H:%M UTC'), $(($(date +%s) - began)) s;" \
        "ratios are to the floor (raw TCP ping-pong) and to GT.CM GNP measured in the same run"
    echo
    echo "| figure | measured | goal | met? |"
    echo "|---|---|---|---|"
    cat "$table"
    echo
    echo "![many clients](manyclients.png) ![group read](groupread.png)"
} >"$outdir/performance.md"
cat "$outdir/performance.md"
say "done in $(($(date +%s) - began)) s; report in $outdir"
