#!/bin/bash
# SPDX-License-Identifier: MIT
# Every source file carries the licence identifier.
set -euo pipefail
cd "$1"
missing=$(find include src sim tools bindings examples tests bench fuzz scripts cmake docs .ci \
    -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' -o -name '*.py' \
    -o -name '*.sh' -o -name '*.cmake' -o -name '*.in' -o -name 'CMakeLists.txt' -o -name '*.[138]' \
    -o -perm -u+x \) -not -path '*/corpus/*' -not -path '*/__pycache__/*' -not -name 'triggers' \
    -print0 | xargs -0 grep -L 'SPDX-License-Identifier: MIT' || true)
missing="$missing$(grep -L 'SPDX-License-Identifier: MIT' CMakeLists.txt || true)"
if [ -n "$missing" ]; then
    echo "no SPDX-License-Identifier in:"
    echo "$missing"
    exit 1
fi
echo "every source file names its licence"
