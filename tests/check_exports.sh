#!/bin/bash
# The shared object exports exactly the functions the public header
# declares: no C++ symbol, no internal helper.
set -euo pipefail
library=$1
header=$2
expected=$(grep -E '^KDX7400_API ' "$header" | grep -oE '^[^(]*\('  | sed -E 's/.*[ *]([A-Za-z0-9_]+)\($/\1/' | sort)
actual=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
if [ "$expected" != "$actual" ]; then
    echo "exported symbols differ from the header (< header, > library):"
    diff <(echo "$expected") <(echo "$actual") || true
    exit 1
fi
echo "$(echo "$actual" | wc -l) symbols, all declared in the header"
