#!/bin/sh
# Fails when a test of the build in $1 has no time-out: ctest ($2) lists every test, the
# GoogleTest cases found at test time included, with its properties. (cmake/TestTimeouts.cmake
# gives each label its time-out.)
set -eu
"$2" --test-dir "$1" --show-only=json-v1 | python3 -c '
import json, sys
tests = json.load(sys.stdin)["tests"]
missing = [t["name"] for t in tests
           if not any(p["name"] == "TIMEOUT" and float(p["value"]) > 0
                      for p in t.get("properties", []))]
for name in missing:
    print("no time-out:", name)
print("time-outs ok:", len(tests) - len(missing), "of", len(tests), "tests")
sys.exit(1 if missing else 0)
'
