#!/bin/bash
# SPDX-License-Identifier: MIT
# Installs the build into a scratch prefix, then builds and runs a program
# against it with pkg-config and with find_package.
set -euo pipefail
build=$1
source_dir=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" > "$scratch/install.log"
libdir=$(dirname "$(find "$scratch/prefix" -name 'libkdx7400.so.1' | head -n 1)")
test -f "$scratch/prefix/include/kdx7400.h"
test -f "$scratch/prefix/include/kdx7400.hpp"
test -f "$scratch/prefix/include/kdx7400/module.hpp"
test -f "$scratch/prefix/lib/udev/rules.d/60-kdx7400.rules"
test -x "$scratch/prefix/bin/kdxio"
# The daemon's unit starts the program of this prefix, and the host set-up
# it asks for makes a token only the group may read.
if [ -x "$scratch/prefix/bin/kdx7400d" ]; then
    unit="$scratch/prefix/lib/systemd/system/kdx7400d.service"
    grep -qx "ExecStart=$scratch/prefix/bin/kdx7400d --config $scratch/prefix/etc/kdx7400d/kdx7400d.conf" "$unit" || {
        echo "the installed unit does not start $scratch/prefix/bin/kdx7400d:"
        grep ExecStart "$unit"
        exit 1
    }
    # Recorded like every installed file (cmake's uninstall recipes read
    # the manifest), and enabled by its path: systemd does not look there.
    grep -qx "$unit" "$build/install_manifest.txt" || { echo "the unit is not in install_manifest.txt"; exit 1; }
    grep -qx "$scratch/prefix/etc/kdx7400d/kdx7400d.conf" "$build/install_manifest.txt" ||
        { echo "the configuration is not installed in the prefix"; exit 1; }
    grep -q "systemctl enable --now $unit\$" "$scratch/install.log" || {
        echo "cmake --install does not say how to enable a unit outside systemd's folders:"
        grep kdx7400d: "$scratch/install.log"
        exit 1
    }
    "$scratch/prefix/share/kdx7400d/setup-host" --token "$scratch/etc/token" --group "$(id -gn)"
    [ "$(stat -c %a "$scratch/etc/token")" = 640 ] && [ "$(wc -c < "$scratch/etc/token")" -eq 49 ] || {
        echo "setup-host made no proper token"
        exit 1
    }
    before=$(cat "$scratch/etc/token")
    "$scratch/prefix/share/kdx7400d/setup-host" --token "$scratch/etc/token" --group "$(id -gn)"
    [ "$(cat "$scratch/etc/token")" = "$before" ] || { echo "setup-host replaced a token"; exit 1; }
fi
# Installed programs take the library of their own prefix (RUNPATH), with
# no ldconfig and no LD_LIBRARY_PATH.
found=$(env -u LD_LIBRARY_PATH ldd "$scratch/prefix/bin/kdxio" | awk '$1 == "libkdx7400.so.1" { print $3 }')
[ "$(realpath "$found")" = "$(realpath "$libdir/libkdx7400.so.1")" ] || {
    echo "installed kdxio takes '$found', not the prefix's library"
    exit 1
}

export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc "$source_dir/tests/consumer/main.c" $(pkg-config --cflags --libs kdx7400) -o "$scratch/pc-consumer"
LD_LIBRARY_PATH="$libdir" "$scratch/pc-consumer"
c++ -std=c++20 "$source_dir/tests/consumer/main.cpp" $(pkg-config --cflags --libs kdx7400) \
    -o "$scratch/pc-consumer-cpp"
LD_LIBRARY_PATH="$libdir" "$scratch/pc-consumer-cpp"
# The README's C++ example as a user types it: the compiler's default
# standard (C++17 for Debian 12's g++), then C++20.
awk '/^## Using the library from C\+\+/ { section = 1 }
     section && /^```cpp/ { keep = 1; next }
     keep && /^```/ { exit }
     keep { print }' "$source_dir/README.md" > "$scratch/readme.cpp"
grep -q 'kdx::Module' "$scratch/readme.cpp"
c++ "$scratch/readme.cpp" $(pkg-config --cflags --libs kdx7400) -o "$scratch/readme-default"
c++ -std=c++20 "$scratch/readme.cpp" $(pkg-config --cflags --libs kdx7400) -o "$scratch/readme-20"
# And its C example, which says why an open failed as the examples do.
awk '/^## Using the library$/ { section = 1 }
     section && /^```c$/ { keep = 1; next }
     keep && /^```/ { exit }
     keep { print }' "$source_dir/README.md" > "$scratch/readme.c"
grep -q 'KDX7400_WhyOpenFailed' "$scratch/readme.c"
cc -std=c99 -Wall -Wextra -Werror "$scratch/readme.c" $(pkg-config --cflags --libs kdx7400) -o "$scratch/readme-c"

cmake -S "$source_dir/tests/consumer" -B "$scratch/consumer" -G Ninja \
      -DCMAKE_PREFIX_PATH="$scratch/prefix" > /dev/null
cmake --build "$scratch/consumer" > /dev/null
LD_LIBRARY_PATH="$libdir" "$scratch/consumer/consumer"
LD_LIBRARY_PATH="$libdir" "$scratch/consumer/consumer_cpp"
# The Python package, where Debian's Python looks under the prefix.
packages=$(dirname "$(find "$scratch/prefix" -path '*/dist-packages/kdx7400/py.typed')")
packages=$(dirname "$packages")
env -u LD_LIBRARY_PATH PYTHONPATH="$packages" /usr/bin/python3 -c '
import sys, kdx7400
assert kdx7400.library_version() == "1.0.0"
assert sys.argv[1] in open("/proc/self/maps").read(), "not the prefix library"
' "$(realpath "$libdir/libkdx7400.so.1")"
echo "installed library used from C, C++ and Python"
