#!/bin/sh
# Fails when a C or C++ source of the project is not formatted by the repository's .clang-format.
set -eu
cd "$1"
dirs=""
for d in capi classes connect encodings protocol sockets tests fuzz bench examples server tools; do
    [ -d "$d" ] && dirs="$dirs $d"
done
files=$(find $dirs -type f \( -name '*.h' -o -name '*.c' -o -name '*.cpp' \) | sort)
clang-format --dry-run -Werror $files
echo "format ok: $(printf '%s\n' "$files" | wc -l) files"
