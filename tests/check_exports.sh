#!/bin/bash
# SPDX-License-Identifier: MIT
# The shared object exports exactly the functions the public header
# declares: no C++ symbol, no internal helper. It needs nothing but libc:
# a C program using it must not pay for loading the C++ runtime.
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
needed=$(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
# (A sanitizer build adds its runtimes.)
if [ -z "${KDX7400_SANITIZED:-}" ] && [ "$needed" != "libc.so.6 " ]; then
    echo "the library needs more than libc: $needed"
    exit 1
fi
echo "$(echo "$actual" | wc -l) symbols, all declared in the header; needs only libc"
