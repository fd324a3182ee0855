#!/bin/bash
# Fuzzes every target for SECONDS each (default 60): builds the libFuzzer programs if needed
# (build/fuzz: clang, Debug, ASan+UBSan, QDO_FUZZ; the fuzzed code itself is built at -O2),
# runs the targets in parallel, one process per core (nproc, or FUZZ_JOBS), each starting from
# its saved corpus fuzz/corpus/<target>, and merges what they found back into it with
# -merge=1, which keeps only inputs that add coverage. Prints per target the executions,
# executions per second, coverage (libFuzzer's cov: and ft:) and the saved corpus's size.
#
# A crash (a sanitizer report, a failed check, a time-out or running out of memory) stops the
# run: the other fuzzers are stopped, nothing is merged, and the crashing input is saved under
# build/fuzz/fuzz-runs/<time>/ and reported with its reproduction command. Once the fault is
# mended, copy the input into the target's corpus so that its replay test keeps it mended.
#
# Environment: FUZZ_TARGETS (names, default all), FUZZ_RUNS (also stop each target after this
# many executions), FUZZ_JOBS (parallel processes), FUZZ_MAX_LEN (largest input; default the
# larger of 1024 and the target's largest saved input).
set -u
cd "$(dirname "$0")/.." || exit 1
seconds=${1:-60}
build=build/fuzz
jobs=${FUZZ_JOBS:-$(nproc)}
all_targets="batch data_records json_text list_decoder list_roundtrip match_string mtext reply_framing server_requests
             session_replies pushed_frames server_handshake"
targets=${FUZZ_TARGETS:-$all_targets}

# The quarantine that holds freed memory back (to catch uses after free) is 256 MB by default;
# one input here allocates at most a few megabytes, and a smaller quarantine keeps the freed
# memory in the caches, which is a good part of the speed.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DQDO_WERROR=ON -DQDO_SANITIZE=ON -DQDO_FUZZ=ON -DQDO_BUILD_BENCH=OFF \
        -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null ||
        exit 1
fi
programs=""
for t in $targets; do programs="$programs fuzz_$t"; done
# shellcheck disable=SC2086
cmake --build "$build" -j"$jobs" --target $programs >/dev/null || {
    echo "fuzz.sh: building the fuzzers failed" >&2
    exit 1
}

run=$build/fuzz-runs/$(date -u +%Y%m%d-%H%M%S)
mkdir -p "$run"
echo "fuzzing $(echo "$targets" | wc -w) targets for ${seconds} s each, $jobs at a time; logs in $run"

largest_input() {
    local size
    size=$(find "fuzz/corpus/$1" -type f -printf '%s\n' | sort -n | tail -1)
    echo "${size:-0}"
}

fuzz_one() {
    local t=$1 max_len
    max_len=${FUZZ_MAX_LEN:-$(largest_input "$t")}
    [ -n "${FUZZ_MAX_LEN:-}" ] || [ "$max_len" -ge 1024 ] || max_len=1024
    mkdir -p "$run/$t.new"
    # libFuzzer's entropic schedule keeps the frequency of every feature an input hits, up to
    # 255 hits each by default; with a corpus of thousands of features that bookkeeping took
    # half of pushed_frames' time. Counting up to 32 keeps the schedule's rare features rare.
    "$build/fuzz/fuzz_$t" "$run/$t.new" "fuzz/corpus/$t" -max_total_time="$seconds" \
        ${FUZZ_RUNS:+-runs=$FUZZ_RUNS} -max_len="$max_len" -print_final_stats=1 \
        -entropic_feature_frequency_threshold=32 \
        -artifact_prefix="$run/$t-" >"$run/$t.log" 2>&1
    echo $? >"$run/$t.status"
}

# Stops the fuzzers still running: each is the child of one of this script's jobs.
stop_all() {
    for pid in $(jobs -p); do
        pkill -TERM -P "$pid" 2>/dev/null
    done
    wait
}
trap 'stop_all; exit 130' INT TERM

crashed=""
check_crashes() {
    local status t
    for status in "$run"/*.status; do
        [ -f "$status" ] || continue
        t=$(basename "$status" .status)
        [ "$(cat "$status")" = 0 ] || crashed="$crashed $t"
    done
}

# One process per core; the first crash stops the rest.
pending=$targets
while true; do
    for t in $pending; do
        [ "$(jobs -rp | wc -l)" -lt "$jobs" ] || break
        fuzz_one "$t" &
        pending=${pending#*"$t"}
    done
    [ "$(jobs -rp | wc -l)" -gt 0 ] || break
    wait -n
    check_crashes
    if [ -n "$crashed" ]; then
        stop_all
        break
    fi
done

if [ -n "$crashed" ]; then
    for t in $crashed; do
        echo "=== $t CRASHED (exit $(cat "$run/$t.status")); log: $run/$t.log"
        grep -E 'ERROR:|check failed|SUMMARY|runtime error' "$run/$t.log" | head -5
        for input in "$run/$t"-*; do
            [ -f "$input" ] || continue
            echo "input: $input ($(stat -c %s "$input") bytes)"
            echo "reproduce: $build/fuzz/fuzz_$t $input"
        done
    done
    echo "nothing merged; mend the fault, then copy the input into fuzz/corpus/<target>/"
    exit 1
fi

printf '%-17s %12s %8s %6s %7s %14s %10s\n' target executions exec/s cov ft corpus+added bytes
for t in $targets; do
    log=$run/$t.log
    before=$(find "fuzz/corpus/$t" -type f | wc -l)
    "$build/fuzz/fuzz_$t" -merge=1 "fuzz/corpus/$t" "$run/$t.new" >"$run/$t.merge.log" 2>&1 ||
        echo "fuzz.sh: merging $t failed; see $run/$t.merge.log" >&2
    after=$(find "fuzz/corpus/$t" -type f | wc -l)
    bytes=$(du -sb "fuzz/corpus/$t" | cut -f1)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1)
    cov=$(echo "$last" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
    ft=$(echo "$last" | sed -n 's/.*ft: \([0-9]*\).*/\1/p')
    printf '%-17s %12s %8s %6s %7s %14s %10s\n' "$t" "${execs:-?}" "${rate:-?}" "${cov:-?}" \
        "${ft:-?}" "$after+$((after - before))" "$bytes"
done
