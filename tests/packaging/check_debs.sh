#!/bin/bash
# SPDX-License-Identifier: MIT
# Makes the Debian packages (cpack -G DEB), checks them with lintian (no
# errors), unpacks every one into a scratch root (dpkg-deb -x) and runs from
# there, with no ldconfig and no LD_LIBRARY_PATH: kdxio against a virtual
# module, a C and a C++ consumer built against the unpacked dev package, and
# import kdx7400.
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
unset LD_LIBRARY_PATH LD_PRELOAD KDX7400_LIBRARY

(cd "$build" && rm -f ./*.deb && cpack -G DEB > "$scratch/cpack.log" 2>&1) || {
    cat "$scratch/cpack.log"
    exit 1
}
debs=("$build"/*.deb)
names=$(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Package; done | LC_ALL=C sort | tr '\n' ' ')
if [ "$names" != "kdx7400-tools kdx7400d libkdx7400-1 libkdx7400-dev python3-kdx7400 " ]; then
    echo "unexpected packages: $names"
    exit 1
fi
lintian --tag-display-limit 0 "${debs[@]}" > "$scratch/lintian.log" 2>&1 || true
if grep -q '^E:' "$scratch/lintian.log"; then
    grep '^E:' "$scratch/lintian.log"
    exit 1
fi
echo "5 packages; lintian: $(grep -c '^W:' "$scratch/lintian.log" || true) warnings, no errors"

# dpkg -l shows the start of each summary: no two may read alike.
# sed reads to the end: head would leave dpkg-deb a closed pipe (SIGPIPE).
summaries=$(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Description | sed -n 1p | cut -c 1-30; done)
[ "$(sort -u <<< "$summaries" | wc -l)" -eq 5 ] || { echo "summaries alike:"; echo "$summaries"; exit 1; }

# Removing the Python package takes the bytecode Python wrote beside it, so
# that no empty namespace package stays importable: its prerm, run on a
# scratch copy of dist-packages (no mount namespace needed, so that this
# also runs in a chroot or container).
python_deb=$(printf '%s\n' "${debs[@]}" | grep python3-kdx7400)
dpkg-deb -e "$python_deb" "$scratch/python-control"
grep -q ' /usr/lib/python3/dist-packages/kdx7400/__pycache__$' "$scratch/python-control/prerm" ||
    { echo "python3-kdx7400's prerm does not remove the package's __pycache__"; exit 1; }
mkdir -p "$scratch/dist-packages/kdx7400/__pycache__"
touch "$scratch/dist-packages/kdx7400/__pycache__/__init__.cpython-311.pyc"
sed "s|/usr/lib/python3/dist-packages|$scratch/dist-packages|g" "$scratch/python-control/prerm" > "$scratch/prerm"
sh "$scratch/prerm" remove
[ ! -e "$scratch/dist-packages/kdx7400/__pycache__" ] || { echo "python3-kdx7400's prerm leaves __pycache__"; exit 1; }

root="$scratch/root"
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
usr="$root/usr"
libdir=$(dirname "$(find "$usr" -name 'libkdx7400.so.1' | sed -n 1p)")

# Every program must take the library it came with.
for program in kdxio kdx7400d; do
    found=$(ldd "$usr/bin/$program" | awk '$1 == "libkdx7400.so.1" { print $3 }')
    if [ -z "$found" ] || [ "$(realpath "$found")" != "$(realpath "$libdir/libkdx7400.so.1")" ]; then
        echo "$program does not find the unpacked library:"
        ldd "$usr/bin/$program"
        exit 1
    fi
done
out=$("$usr/bin/kdx7400-sim" --module pid=0x7401,bid=3 -- \
    sh -c "'$usr/bin/kdxio' -p 0x7401 -b 3 do set 0x5 && '$usr/bin/kdxio' -p 0x7401 -b 3 do get" 2> /dev/null)
[ "$out" = "0x0005" ] || { echo "kdxio from the package printed '$out'"; exit 1; }
man -l "$usr/share/man/man1/kdxio.1.gz" > /dev/null
man -l "$usr/share/man/man3/kdx7400_open.3.gz" > /dev/null

# The dev package: pkg-config and find_package, C and C++.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc "$source_dir/tests/consumer/main.c" $(pkg-config --cflags --libs kdx7400) -o "$scratch/c-consumer"
c++ -std=c++20 "$source_dir/tests/consumer/main.cpp" $(pkg-config --cflags --libs kdx7400) \
    -o "$scratch/cpp-consumer"
cmake -S "$source_dir/tests/consumer" -B "$scratch/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$usr" > /dev/null
cmake --build "$scratch/consumer" > /dev/null
for consumer in "$scratch/c-consumer" "$scratch/cpp-consumer" "$scratch/consumer/consumer" \
    "$scratch/consumer/consumer_cpp"; do
    LD_LIBRARY_PATH="$libdir" "$consumer" > /dev/null
done

# The Python package finds the library of its own prefix.
PYTHONPATH="$usr/lib/python3/dist-packages" /usr/bin/python3 -c '
import sys, kdx7400
assert kdx7400.library_version() == "1.0.0"
maps = open("/proc/self/maps").read()
assert sys.argv[1] in maps, "the unpacked libkdx7400.so.1 was not the one loaded"
' "$libdir/libkdx7400.so.1"
echo "unpacked packages: kdxio, C and C++ consumers and import kdx7400 all work"

# The daemon's unit as packaged: the packaged program, and systemd's own
# rating, 2.5 or better.
unit="$root/usr/lib/systemd/system/kdx7400d.service"
[ -f "$unit" ] || unit="$root/lib/systemd/system/kdx7400d.service"
grep -q '^ExecStart=/usr/bin/kdx7400d ' "$unit" || { echo "the packaged unit does not start /usr/bin/kdx7400d"; exit 1; }
test -x "$root/usr/share/kdx7400d/setup-host"
# The configuration the unit reads is shipped as a conffile, and checks.
grep -q -- '--config /etc/kdx7400d/kdx7400d.conf$' "$unit" || { echo "the packaged unit reads no configuration"; exit 1; }
daemon_deb=$(printf '%s\n' "${debs[@]}" | grep '/kdx7400d_')
dpkg-deb -e "$daemon_deb" "$scratch/daemon-control"
grep -qx /etc/kdx7400d/kdx7400d.conf "$scratch/daemon-control/conffiles" ||
    { echo "kdx7400d.conf is no conffile"; exit 1; }
echo 0123456789abcdef0123 > "$scratch/token" # setup-host makes the real one
"$usr/bin/kdx7400d" --config "$root/etc/kdx7400d/kdx7400d.conf" --http-token-file "$scratch/token" --check-config \
    > "$scratch/effective.conf" ||
    { echo "the shipped configuration does not check"; exit 1; }
grep -qx 'modbus="0.0.0.0:502"' "$scratch/effective.conf" || { echo "the shipped configuration:"; cat "$scratch/effective.conf"; exit 1; }
zcat "$root/usr/share/doc/kdx7400d/NEWS.gz" | grep -q 'read-only by default' || { echo "kdx7400d ships no NEWS"; exit 1; }
rating=$(systemd-analyze security --offline=yes "$unit" 2>&1 | sed -n 's/.*Overall exposure level for kdx7400d.service: \([0-9.]*\).*/\1/p')
if [ -z "$rating" ] || ! awk -v r="$rating" 'BEGIN { exit !(r <= 2.5) }'; then
    echo "kdx7400d.service: exposure '$rating', want 2.5 or better"
    systemd-analyze security --offline=yes "$unit" 2>&1 | grep -v '✓' | head -40
    exit 1
fi
man -l "$usr/share/man/man8/kdx7400d.8.gz" > /dev/null
# The unpacked daemon finds its page beside itself.
"$usr/bin/kdx7400-sim" create "$scratch/bed" --module pid=0x7401,bid=3 2> /dev/null
# Two ports free together; another program may take one before the daemon
# binds it, so a refused listen is tried again with new ones.
served=no
for attempt in 1 2 3 4 5; do
    read -r port modbus_port < <(python3 -c 'import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))')
    (eval "$("$usr/bin/kdx7400-sim" env "$scratch/bed")" &&
        exec timeout 30 "$usr/bin/kdx7400d" --all --modbus "127.0.0.1:$modbus_port" --http "127.0.0.1:$port") \
        2> "$scratch/daemon.log" &
    daemon=$!
    for _ in $(seq 50); do
        if python3 -c "import urllib.request, sys; sys.exit(b'<main' not in urllib.request.urlopen('http://127.0.0.1:$port/', timeout=2).read())" 2> /dev/null; then
            served=yes
            break
        fi
        kill -0 "$daemon" 2> /dev/null || break
        sleep 0.1
    done
    kill "$daemon" 2> /dev/null || true
    wait "$daemon" 2> /dev/null || true
    [ "$served" = no ] && grep -q 'Address already in use' "$scratch/daemon.log" || break
    echo "ports $port and $modbus_port were taken meanwhile (attempt $attempt); new ones"
done
[ "$served" = yes ] || { echo "the packaged kdx7400d does not serve its page"; cat "$scratch/daemon.log"; exit 1; }
echo "kdx7400d.service: exposure $rating"
