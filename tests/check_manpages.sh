#!/bin/bash
# SPDX-License-Identifier: MIT
# Every function of the public header has a section-3 manual page, and
# every page (the programs' ones too) renders without a groff warning and
# with no tag that runs into its text.
set -euo pipefail
header=$1
pages=$2
shift 2
programs=("$@")
missing=0
for name in $(grep -E '^KDX7400_API ' "$header" | grep -oE '[A-Za-z0-9_]+\(' | tr -d '('); do
    if ! grep -q "[ *]$name(" "$pages"/*.3; then
        echo "no manual page shows $name"
        missing=1
    fi
done
for page in "$pages"/*.3 "${programs[@]}"; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 > /dev/null || true)
    if [ -n "$warnings" ]; then
        echo "$page: $warnings"
        missing=1
    fi
    # A tag cut in two: an opening bracket whose line has no closing one.
    broken=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2> /dev/null | grep -E '^ {7}[a-z].*\[[^]]*$' |
             awk 'length($0) < 60' || true)
    if [ -n "$broken" ]; then
        echo "$page: a tag runs over its line: $broken"
        missing=1
    fi
done
[ "$missing" -eq 0 ] && echo "every function of the header has its manual page"
