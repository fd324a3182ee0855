#!/bin/sh
# Installs the build into a scratch prefix, then builds a small C consumer against it twice:
# once with CMake's find_package(qdo) and once with pkg-config; both must run.
# Usage: check_install.sh build-dir consumer-source-dir scratch-dir
set -eu
build=$1
consumer=$2
scratch=$3
rm -rf "$scratch"
mkdir -p "$scratch"
prefix=$scratch/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null

cmake -S "$consumer" -B "$scratch/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/cmake-consumer" >/dev/null
"$scratch/cmake-consumer/consumer"

pc_dir=$(dirname "$(find "$prefix" -name qdo.pc)")
flags=$(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs qdo)
libdir=$(PKG_CONFIG_PATH=$pc_dir pkg-config --variable=libdir qdo)
cc -std=c99 -Wall -Wextra -Wpedantic -Werror "$consumer/consumer.c" $flags -o "$scratch/pc-consumer"
LD_LIBRARY_PATH=$libdir "$scratch/pc-consumer"
echo "install ok"
