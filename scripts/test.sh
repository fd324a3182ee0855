#!/bin/sh
# Runs every test: a clang build with AddressSanitizer and UndefinedBehaviorSanitizer, then a g++
# build. Both builds run the unit tests, the example programs and the whole-system tests; the
# saved fuzz corpora are replayed under the sanitizers only, where a replay finds the most
# (scripts/fuzz.sh builds and runs the libFuzzer programs themselves, in build/fuzz).
# Last, a clang build with ThreadSanitizer builds and runs only the tests of the TCP server and its
# threads; any report fails them.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

# Most of the time of a test run is spent waiting on servers and sockets (a run keeps less than
# one core busy), so each build's tests run four at a time while the next build compiles; their
# output is shown once they end. The longest run of tests (ASan's) goes beside the longest build.
run_tests_in_background() { # LOG COMMAND...
    log=$1
    shift
    ("$@" >"$log" 2>&1; echo $? >"$log.status") &
}
wait_for_tests() { # LOG
    wait
    cat "$1"
    [ "$(cat "$1.status")" = 0 ] || { echo "test.sh: tests failed (see above)" >&2; exit 1; }
}

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DQDO_WERROR=ON -DQDO_SANITIZE=ON -DQDO_BUILD_BENCH=OFF
cmake --build build/asan -j2

run_tests_in_background build/asan-tests.log env ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1 \
    UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build/asan -j4 --output-on-failure
cmake -S . -B build/gcc -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DQDO_WERROR=ON -DQDO_FUZZ_REPLAY=OFF
cmake --build build/gcc -j2
wait_for_tests build/asan-tests.log

run_tests_in_background build/gcc-tests.log ctest --test-dir build/gcc -j4 --output-on-failure
# Unoptimized: the ThreadSanitizer tests take seconds, and -O0 compiles the library fastest.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DQDO_WERROR=ON -DQDO_TSAN=ON -DQDO_BUILD_BENCH=OFF
cmake --build build/tsan -j2 --target qdo_socket_thread_tests
wait_for_tests build/gcc-tests.log

TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build/tsan -L socket_threads -j2 --output-on-failure
