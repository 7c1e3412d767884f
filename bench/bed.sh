# SPDX-License-Identifier: MIT
# Sourced by the benchmarks: a testbed of N sg nodes (N-1 foreign disks,
# the module last), and a way to run a program on it. As root, a private
# mount namespace puts the testbed's sysfs and /dev tree at /sys and /dev,
# so the figures are the program's own, with no interposer loaded into it
# (the module's node is a plain file there, so an open ends not found
# after the same walk). Otherwise the program runs under kdx7400-sim.
# Needs $out (the build's out folder) and $work (a scratch folder).

make_bed() { # nodes
    local args=() i
    for ((i = 0; i < $1 - 1; i++)); do args+=(--module "pid=0x1234,sg=$i"); done
    "$out/kdx7400-sim" create "$work/bed$1" "${args[@]}" --module pid=0x7401,bid=0,sg=9999 2> /dev/null
}

bed_namespace=no
if [ "$(id -u)" = 0 ] && unshare -m true 2> /dev/null; then
    bed_namespace=yes
fi

on_bed() { # nodes library_dir command...
    local nodes=$1 libs=$2 bed="$work/bed$1"
    shift 2
    if [ "$bed_namespace" = yes ]; then
        touch "$bed/dev/null"
        LD_LIBRARY_PATH="$libs" unshare -m sh -c 'mount --bind /dev/null "$0/dev/null" &&
            mount --bind "$0/sys" /sys && mount --bind "$0/dev" /dev && exec "$@"' "$bed" "$@"
    else
        LD_PRELOAD="$out/libkdx7400-sim.so" KDX7400_SIM_TESTBED="$bed" LD_LIBRARY_PATH="$libs" "$@"
    fi
}

bed_syscalls() { # nodes library_dir command...
    on_bed "$1" "$2" strace -f -c -o "$work/strace" "${@:3}" > /dev/null 2>&1 || true
    awk '$NF == "total" { print $4 }' "$work/strace"
}

bed_instructions() { # nodes library_dir command...
    { on_bed "$1" "$2" valgrind --tool=callgrind --callgrind-out-file="$work/cg" "${@:3}" 2>&1 > /dev/null || true; } |
        grep -o 'Collected : [0-9]*' | awk '{ print $3 }'
}

bed_where() {
    [ "$bed_namespace" = yes ] && echo "on the testbed mounted at /sys and /dev, no preload" ||
        echo "under kdx7400-sim (its preload library is in every figure)"
}
