#!/bin/sh
# Runs every test: a g++ build, then a clang build with AddressSanitizer and
# UndefinedBehaviorSanitizer (which also builds the libFuzzer targets). Both builds run the
# unit tests, the example programs and the replay of the saved fuzz corpora.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake -S . -B build/gcc -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DQDO_WERROR=ON
cmake --build build/gcc -j2
ctest --test-dir build/gcc -j2 --output-on-failure

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DQDO_WERROR=ON -DQDO_SANITIZE=ON -DQDO_FUZZ=ON
cmake --build build/asan -j2
ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan -j2 --output-on-failure
