#!/bin/bash
# SPDX-License-Identifier: MIT
# kdx7400-sim passes Ctrl-C, SIGTERM and SIGHUP to the program it runs,
# waits for it and removes its temporary testbed; product IDs are hex.
set -euo pipefail
sim=$1 kdxio=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# pid=7401 is 0x7401, as kdxio reads it.
"$sim" --module pid=7401,bid=3 -- "$kdxio" -p 7401 -b 3 do get > /dev/null 2>&1 ||
    { echo "pid=7401 is not the module kdxio -p 7401 names"; exit 1; }
for signal in INT TERM HUP; do
    rm -f "$scratch/child" "$scratch/err"
    # Started in a shell of its own, as a terminal would: job control.
    "$sim" --module pid=0x7401,bid=3 -- sh -c 'echo $$ > "$0"; exec sleep 30' "$scratch/child" \
        2> "$scratch/err" &
    sim_pid=$!
    for _ in $(seq 100); do [ -s "$scratch/child" ] && break; sleep 0.05; done
    child=$(cat "$scratch/child")
    bed=$(sed -n 's/^kdx7400-sim: testbed //p' "$scratch/err")
    [ -d "$bed" ] || { echo "SIG$signal: no testbed while the program runs"; exit 1; }
    kill -"$signal" "$sim_pid"
    for _ in $(seq 100); do kill -0 "$sim_pid" 2> /dev/null || break; sleep 0.05; done
    if kill -0 "$sim_pid" 2> /dev/null; then echo "SIG$signal: kdx7400-sim still runs"; exit 1; fi
    status=0
    wait "$sim_pid" || status=$?
    if kill -0 "$child" 2> /dev/null; then echo "SIG$signal: the program still runs"; kill "$child"; exit 1; fi
    [ ! -e "$bed" ] || { echo "SIG$signal: testbed $bed left behind"; exit 1; }
    [ "$status" -ne 0 ] || { echo "SIG$signal: exit status 0 for a killed program"; exit 1; }
done
echo "signals reach the program and the testbed goes"
