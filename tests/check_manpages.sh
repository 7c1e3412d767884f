#!/bin/bash
# SPDX-License-Identifier: MIT
# Every function of the public header has a section-3 manual page, and
# every page renders without a groff warning.
set -euo pipefail
header=$1
pages=$2
missing=0
for name in $(grep -E '^KDX7400_API ' "$header" | grep -oE '[A-Za-z0-9_]+\(' | tr -d '('); do
    if ! grep -q "[ *]$name(" "$pages"/*.3; then
        echo "no manual page shows $name"
        missing=1
    fi
done
for page in "$pages"/*.3; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 > /dev/null || true)
    if [ -n "$warnings" ]; then
        echo "$page: $warnings"
        missing=1
    fi
done
[ "$missing" -eq 0 ] && echo "every function of the header has its manual page"
