#!/bin/sh
# Checks that the flat interface's reference documents what libqdo.so exports: every exported
# QDO* function has a "### NAME" section in the reference, and every such section names a
# function that is exported (so that a renamed or removed function does not leave a stale one).
# Usage: check_capi_reference.sh path/to/libqdo.so path/to/reference.md
set -eu
lib=$1
reference=$2

exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TW]$/ && $3 ~ /^QDO/ {print $3}' | sort -u)
documented=$(sed -n 's/^### \(QDO[A-Za-z0-9_]*\)[[:space:]]*$/\1/p' "$reference" | sort -u)
status=0

for name in $exported; do
    if ! printf '%s\n' "$documented" | grep -qx "$name"; then
        echo "exported but not documented in $reference: $name"
        status=1
    fi
done
for name in $documented; do
    if ! printf '%s\n' "$exported" | grep -qx "$name"; then
        echo "documented but not exported: $name"
        status=1
    fi
done
[ -z "$exported" ] && { echo "no QDO* function exported by $lib"; status=1; }
[ "$status" -eq 0 ] && echo "all $(printf '%s\n' "$exported" | wc -l) exported functions are documented"
exit "$status"
