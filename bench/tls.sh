#!/bin/sh
# What TLS costs a single connection: small sets and gets of distinct global nodes (qdo_setget)
# and session opens (qdo_sessionopen), against two servers on the same machine, one plain and one
# with TLS (a throw-away certificate made here). The two are measured in turns, three rounds
# each, and the median of each is compared: TLS should cost at most 10% of set/get throughput.
# Client and server are pinned to CPU 0 (as the other single-connection figures are), where every
# microsecond of TLS's CPU adds to each request; cpu=" " bench/tls.sh lets them run on two CPUs,
# as a client and its server normally do.
#
#   bench/tls.sh [COUNT]          (default 50000; needs build/gcc built)
set -eu
cd "$(dirname "$0")/.."
count=${1:-50000}
. bench/lib.sh
bench_setup

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -keyout "$work/ca.key" -out "$work/ca.pem" -subj "/CN=bench CA" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/server.key" \
    -out "$work/server.csr" -subj /CN=localhost 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$work/san.ext"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
    -CAcreateserial -days 2 -extfile "$work/san.ext" -out "$work/server.pem" 2>/dev/null

qdo_name=plain start_qdo_server
plain_port=$qdo_port
qdo_name=tls start_qdo_server --tls-cert "$work/server.pem" --tls-key "$work/server.key"
tls_port=$qdo_port

field() { echo "$1" | awk -v k="$2" '$1 == k { print $2 }'; }
median() { tr ' ' '\n' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
plain_set="" plain_get="" tls_set="" tls_get=""
for round in 1 2 3; do
    out=$($cpu "$build/bench/qdo_setget" 127.0.0.1 "$plain_port" "$count")
    plain_set="$plain_set $(field "$out" set)" plain_get="$plain_get $(field "$out" get)"
    out=$(QDO_BENCH_TLS_CA="$work/ca.pem" $cpu "$build/bench/qdo_setget" 127.0.0.1 "$tls_port" \
        "$count")
    tls_set="$tls_set $(field "$out" set)" tls_get="$tls_get $(field "$out" get)"
done
plain_open=$($cpu "$build/bench/qdo_sessionopen" 127.0.0.1 "$plain_port" 50)
tls_open=$(QDO_BENCH_TLS_CA="$work/ca.pem" $cpu "$build/bench/qdo_sessionopen" 127.0.0.1 \
    "$tls_port" 50)

ps=$(echo $plain_set | median) pg=$(echo $plain_get | median)
ts=$(echo $tls_set | median) tg=$(echo $tls_get | median)
where="client and server on CPU 0"
[ "$cpu" = "taskset -c 0" ] || where="client and server unpinned ($cpu)"
echo "$where; $count operations each, median of 3 rounds"
awk -v ps="$ps" -v pg="$pg" -v ts="$ts" -v tg="$tg" 'BEGIN {
    printf "%-28s %10d ops/s\n", "set, plain", ps
    printf "%-28s %10d ops/s   %.1f%% less (goal: at most 10%%)\n", "set, TLS", ts, 100 * (1 - ts / ps)
    printf "%-28s %10d ops/s\n", "get, plain", pg
    printf "%-28s %10d ops/s   %.1f%% less (goal: at most 10%%)\n", "get, TLS", tg, 100 * (1 - tg / pg)
}'
echo "session open 50 ms apart, plain: $(field "$plain_open" open) ms; TLS: $(field "$tls_open" open) ms"
