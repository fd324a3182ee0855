#!/bin/sh
# Sets up a fresh Debian 12 machine, builds the library and runs the sample programs.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake -S . -B build/gcc -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
cmake --build build/gcc -j2

echo "== C sample (flat interface): examples/list_functions.c"
build/gcc/examples/example_list_functions
echo "== C++ sample (class API): examples/list_codec.cpp"
build/gcc/examples/example_list_codec
