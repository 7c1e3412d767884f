#!/bin/bash
# Runs inside the VM (see scripts/vm-test), as root, in the host's file
# system mounted read-only: the system tests in each register-read
# behaviour, then the tools and examples as root and as an ordinary user.
set -u
repo=$1 build=$2 which=${3:-all}
out=$build/out
failures=0
passed=0
step() {
    local name=$1
    shift
    echo "=== $name"
    if "$@"; then
        passed=$((passed + 1))
        echo "--- passed: $name"
    else
        failures=$((failures + 1))
        echo "--- FAILED: $name"
    fi
}

system_tests() {
    local reads=$1 filter=$2
    KDX7400_VM_READS=$reads "$out/kdx7400_system_tests" --gtest_filter="$filter" --gtest_brief=1
}

for reads in exact block phase residue; do
    filter=${KDX7400_VM_FILTER:-'System.*'}
    [ "$reads" = exact ] || filter='System.*:-System.AHungModule*'
    if [ "$which" = all ] || [ "$which" = "$reads" ]; then
        step "system tests, reads=$reads" system_tests "$reads" "$filter"
    fi
done

echo "vm: $passed passed, $failures failed"
[ "$failures" -eq 0 ]
