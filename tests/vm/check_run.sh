#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# scripts/vm-test --run as a user runs it: a program of this machine's,
# unprivileged, beside two virtual modules on the real kernel, driving
# them and seeing them driven; its exit status comes back; and the
# project's own system tests, which serve their own modules, run the same way.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=$(pwd)/${KDX7400_BUILD:-build}/out
./scripts/vm-test --module pid=0x7401,bid=3 --module pid=0x7401,bid=4,di=32,do=32 --user --run \
    bash -c "set -e
        '$out/kdxio' -p 0x7401 -b 4 do set 0x80000001
        '$out/kdx7400-sim' show \"\$KDX7400_VM_TESTBED\" m1 | grep -q 'outputs=0x80000001'
        '$out/kdx7400-sim' inputs \"\$KDX7400_VM_TESTBED\" m0 0x3
        [ \"\$('$out/kdxio' -p 0x7401 -b 3 di get)\" = 0x0003 ]
        [ \"\$(id -u)\" = 65534 ]
        echo 'run: driven and seen as uid 65534'"
set +e
./scripts/vm-test --run bash -c 'exit 3'
status=$?
set -e
[ $status -eq 3 ] || { echo "vm-test --run passed back $status, not 3"; exit 1; }
# A guest cut off by --timeout says so, and how to give it longer.
set +e
stopped=$(./scripts/vm-test --timeout 1 --run /bin/true 2>&1)
status=$?
set -e
[ $status -ne 0 ] && grep -q 'stopped after 1 s without a result.*--timeout SECS' <<< "$stopped" ||
    { echo "vm-test --timeout 1: status $status, said: $(tail -3 <<< "$stopped")"; exit 1; }
./scripts/vm-test --bare --run "$out/kdx7400_system_tests" \
    --gtest_filter='System.EveryOperationReachesTheModule:System.AnUnpluggedModule*'
echo "vm-test --run: all four runs as expected"
