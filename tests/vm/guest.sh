#!/bin/bash
# SPDX-License-Identifier: MIT
# Runs inside the VM (see scripts/vm-test), as root, in the host's file
# system mounted read-only: the system tests in each register-read
# behaviour, then the tools and examples as root and as an ordinary user.
set -u
export PATH=/usr/sbin:/usr/bin:/sbin:/bin # usermod, blockdev: the guest's init says so too
repo=$1 build=$2 which=${3:-all}
out=$build/out
[ -e /dev/fd ] || ln -s /proc/self/fd /dev/fd # as systemd would make it
failures=0
passed=0
summary=/tmp/summary
: > $summary
# Each step's lines that begin with "result: " go to the summary too.
step() {
    local name=$1 status began=$SECONDS
    shift
    echo "=== $name"
    "$@" > >(tee /tmp/step.log) 2>&1
    status=$?
    echo "--- $((SECONDS - began)) s"
    sleep 0.1 # tee's last lines
    sed -n 's/^result: /  /p' /tmp/step.log >> $summary
    if [ $status -eq 0 ]; then
        passed=$((passed + 1))
        echo "--- passed: $name"
    else
        failures=$((failures + 1))
        echo "--- FAILED: $name"
        echo "  FAILED: $name" >> $summary
    fi
}

system_tests() {
    local reads=$1 filter=$2
    KDX7400_VM_READS=$reads "$out/kdx7400_system_tests" --gtest_filter="$filter" --gtest_brief=${KDX7400_VM_BRIEF:-1} ||
        { echo "--- the kernel's last words:"; dmesg | tail -n 60; return 1; }
}

# The random unplugs (50 with exact reads, 20 each way in the others) and
# the two- and four-program probes take long: beyond exact reads they run
# with --long.
long='System.ComesBack*:System/SharingPrograms.*'
all_reads="exact block phase residue short short-phase"
for reads in $all_reads; do
    case $reads in
    exact) filter='System.*:System/SharingPrograms.*:-System.AShortReply*' ;;
    # Every library call fails on a module whose register reads come short,
    # so only that test runs there; the tools' steps below cover them too.
    short | short-phase) filter='System.AShortReply*' ;;
    *) filter="System.*:-System.AShortReply*:$long" ;;
    esac
    if [ "$which" = all ] || [ "$which" = "$reads" ]; then
        KDX7400_VM_UNPLUGS=${KDX7400_VM_UNPLUGS:-50} step "system tests, reads=$reads" \
            system_tests "$reads" "${KDX7400_VM_FILTER:-$filter}"
    fi
    if [ "$which" = long ] && [ $reads != exact ]; then
        # With short reads the library takes no module at all. With phase
        # errors every register read resets the port (about 0.3 s), so the
        # probe's round of 64 read-modify-writes takes some 20 s there.
        rounds=$KDX7400_VM_PROBE_ROUNDS
        case $reads in
        block | residue) long_here=$long ;;
        phase) long_here=$long rounds=$(( rounds < 10 ? rounds : 10 )) ;;
        *) long_here='System.ComesBack*' ;;
        esac
        KDX7400_VM_PROBE_ROUNDS=$rounds KDX7400_VM_UNPLUGS=${KDX7400_VM_UNPLUGS:-40} \
            step "random unplugs and two and four programs, reads=$reads" \
            system_tests "$reads" "${KDX7400_VM_FILTER:-$long_here}"
    fi
done

# ---- udev, as on an installed system -----------------------------------------

# Debian's own systemd-udevd applies the shipped rule to every node that
# appears from here on, in the group the package's postinst makes.
start_udev() {
    if ! getent group kdx7400 > /dev/null; then
        { cat /etc/group && echo "kdx7400:x:4242:"; } > /run/group && mount --bind /run/group /etc/group
    fi
    # udevadm's trigger and settle do nothing in a chroot: no module is
    # plugged in yet, and node_as_installed waits for the rule instead.
    mkdir -p /run/udev/rules.d &&
    cp "$repo/udev/60-kdx7400.rules" /run/udev/rules.d/ &&
    /lib/systemd/systemd-udevd --daemon
}

# The node as udev leaves it: group kdx7400, 0660.
node_as_installed() {
    local mode _
    for _ in $(seq 100); do
        mode=$(stat -c '%G %a' /dev/$1) && [ "$mode" = "kdx7400 660" ] && return 0
        sleep 0.1
    done
    echo "/dev/$1 is '$mode', not 'kdx7400 660'"
    return 1
}

# ---- kdxio and the examples on a real sg node ------------------------------

bed=/tmp/tools-bed
kdxio=$out/kdxio
expect() { # expect TEXT COMMAND...: the command succeeds and prints TEXT
    local text=$1 output
    shift
    output=$("$@" 2>&1) || { echo "failed: $* -> $output"; return 1; }
    [[ $output == *"$text"* ]] || { echo "$*: expected '$text' in: $output"; return 1; }
}

start_module() { # [READS]
    "$out/kdx7400-gadget" --testbed $bed --udc dummy_udc.0 --name t0 --module pid=0x7401,bid=3 \
        --reads "${1:-exact}" &
    gadget=$!
    for _ in $(seq 100); do
        node=$(ls /sys/class/scsi_generic 2>/dev/null | head -1)
        [ -n "$node" ] && break
        sleep 0.1
    done
    sleep 0.3
    [ -n "$node" ] && node_as_installed $node
}

kdxio_as_root() {
    local m=(-p 0x7401 -b 3)
    expect "0x7401" $kdxio list &&
    expect '"board_id":3' $kdxio list --json &&
    expect '0x0000' $kdxio -d /dev/$node do get &&
    expect '"outputs"' $kdxio "${m[@]}" info --json &&
    $kdxio "${m[@]}" do set 0b1010 &&
    expect '"outputs":"0x000000000000000a"' $kdxio "${m[@]}" do get --json &&
    $kdxio "${m[@]}" do on 0 &&
    expect '0x000b' $kdxio "${m[@]}" do get &&
    "$out/kdx7400-sim" inputs $bed t0 0x5 &&
    expect '0x0005' $kdxio "${m[@]}" di get &&
    "$out/kdx7400-sim" inputs $bed t0 0x4 &&
    "$out/kdx7400-sim" inputs $bed t0 0x5 &&
    expect '2' $kdxio "${m[@]}" counter read 0 &&
    $kdxio "${m[@]}" watchdog set 1500 &&
    expect '1500' $kdxio "${m[@]}" watchdog get &&
    $kdxio "${m[@]}" watchdog clear &&
    expect 'KALMIR' $kdxio "${m[@]}" inquiry &&
    expect 'inputs' $kdxio "${m[@]}" monitor --count 1 --interval 50
}

examples() {
    local suffix
    for suffix in "" _cpp; do
        expect 'outputs 0x' "$out/toggle_output$suffix" 0x7401 3 &&
        expect 'DI15=' "$out/read_inputs$suffix" 0x7401 3 &&
        "$out/watch_counters$suffix" 0x7401 3 &&
        expect 'fed 3 times' "$out/feed_watchdog$suffix" 0x7401 3 || return 1
    done
}

python_smoke() {
    PYTHONPATH="$repo/bindings/python" KDX7400_LIBRARY="$out/libkdx7400.so.1" \
        /usr/bin/python3 "$repo/tests/vm/smoke.py"
}

# Until the daemon answers on its port, not a guessed time: a slow guest
# takes its while to start it.
wait_port() {
    local _
    for _ in $(seq 100); do
        (exec 3<> /dev/tcp/127.0.0.1/$1) 2> /dev/null && return 0
        sleep 0.1
    done
    echo "nothing listens on port $1"
    return 1
}

modbus_session() {
    local gateway status=0
    ip link set lo up 2>/dev/null || busybox ifconfig lo up
    "$out/kdx7400d" --module 1=7401:3 --modbus 127.0.0.1:1502 --allow-write 127.0.0.1/32 &
    gateway=$!
    wait_port 1502 || status=1
    $kdxio -p 7401 -b 3 do set 0 &&
    mbpoll -m tcp -p 1502 -1 -a 1 -t 0 -r 1 127.0.0.1 1 1 0 1 | grep -q "Written 4 references" &&
    expect '0x000b' $kdxio -p 7401 -b 3 do get &&
    mbpoll -m tcp -p 1502 -1 -a 1 -t 3 -r 1011 -c 2 127.0.0.1 | grep -q "\[1012\]: 	16" || status=1
    kill $gateway
    wait $gateway
    return $status
}

# kdxio switches output 5 while a Modbus client toggles coil 0 through the
# gateway: every kdxio update must still be there after it.
modbus_beside_kdxio() {
    local gateway toggler status=0 i verb want value
    "$out/kdx7400d" --module 1=7401:3 --modbus 127.0.0.1:1503 --allow-write 127.0.0.1/32 &
    gateway=$!
    wait_port 1503 || status=1
    (while :; do
        mbpoll -m tcp -p 1503 -1 -a 1 -t 0 -r 1 127.0.0.1 1 > /dev/null
        mbpoll -m tcp -p 1503 -1 -a 1 -t 0 -r 1 127.0.0.1 0 > /dev/null
    done) &
    toggler=$!
    for i in $(seq 100); do
        if [ $((i % 2)) -eq 0 ]; then verb=on want=1; else verb=off want=0; fi
        $kdxio -p 7401 -b 3 do $verb 5 || status=1
        value=$($kdxio -p 7401 -b 3 do get --json | grep -o '"outputs":"0x[0-9a-f]*"' | cut -d'"' -f4)
        [ $(((value >> 5) & 1)) -eq $want ] || { echo "round $i: output 5 undone"; status=1; }
    done
    kill $toggler
    wait $toggler 2> /dev/null
    kill $gateway
    wait $gateway
    return $status
}

# The module is a USB disk to every other program too: what dd writes
# outside the register blocks reads back, and sg3_utils' commands work.
disk_and_sg3_utils() {
    local disk bytes
    disk=$(ls /sys/class/scsi_generic/$node/device/block 2>/dev/null | head -1)
    [ -n "$disk" ] || { echo "no block device beside $node"; return 1; }
    bytes=$(blockdev --getsize64 /dev/$disk) || return 1
    head -c "$bytes" /dev/urandom > /tmp/disk.in &&
    dd if=/tmp/disk.in of=/dev/$disk bs=64k oflag=direct status=none &&
    dd if=/dev/$disk of=/tmp/disk.out bs=64k iflag=direct status=none &&
    cmp /tmp/disk.in /tmp/disk.out || { echo "dd: what was written did not read back"; return 1; }
    echo "result: dd: $bytes bytes written to /dev/$disk and read back unchanged"
    expect 'KDX-7401' sg_inq /dev/$node &&
    expect 'Logical block length=512' sg_readcap /dev/$node &&
    expect "Last LBA=$((bytes / 512 - 1))" sg_readcap --16 /dev/$node &&
    sg_turs /dev/$node &&
    expect 'Mode parameter header' sg_modes /dev/$node &&
    expect 'a5 77 35 5a' sg_raw -r 512 /dev/$node 28 00 00 00 20 40 00 00 01 00 &&
    echo "result: sg3_utils: sg_inq, sg_readcap (10 and 16), sg_turs, sg_modes, sg_raw as expected"
}

as_user() { setpriv --reuid=65534 --regid=65534 "$@"; }
# An ordinary user in the group the udev rule names.
as_member() { as_user --groups="$(getent group kdx7400 | cut -d: -f3)" "$@"; }

unprivileged_with_access() {
    as_member $kdxio -p 0x7401 -b 3 do set 0x3 &&
    expect '0x0003' as_member $kdxio -p 0x7401 -b 3 do get &&
    expect 'outputs 0x' as_member "$out/toggle_output" 0x7401 3
}

# In each read behaviour, a member of the group drives the module, and a
# hung module fails its command within the time-out and answers again.
user_and_hang() {
    local reads=$1 output start took
    start_module $reads || return 1
    if [ $reads = short ] || [ $reads = short-phase ]; then
        # Its module-info block comes short: it is not taken for a module.
        output=$(as_member $kdxio -p 0x7401 -b 3 do get 2>&1)
        [ $? -eq 1 ] && [ -n "$output" ] || { echo "a module with short reads: $output"; return 1; }
        echo "result: reads=$reads: a member of kdx7400 is told: $output"
        return 0
    fi
    as_member $kdxio -p 0x7401 -b 3 do set 0x5 &&
    expect '0x0005' as_member $kdxio -p 0x7401 -b 3 do get || return 1
    "$out/kdx7400-sim" fault --opcode 0x28 $bed t0 hang || return 1
    start=$(date +%s)
    output=$(as_member $kdxio -p 0x7401 -b 3 do get 2>&1) && { echo "a hung module answered: $output"; return 1; }
    took=$(($(date +%s) - start))
    [ $took -lt 30 ] || { echo "a hung module took $took s to fail"; return 1; }
    expect '0x0005' as_member $kdxio -p 0x7401 -b 3 do get || return 1
    echo "result: reads=$reads: a member of kdx7400 drives the module; a hang fails in $took s, then it answers"
}

unprivileged_without_access() {
    local output status
    chmod 0600 /dev/$node
    output=$(as_user --clear-groups $kdxio -p 0x7401 -b 3 info 2>&1)
    status=$?
    [ $status -eq 1 ] || { echo "exit status $status, not 1: $output"; return 1; }
    [ "$output" = "kdxio: /dev/$node: the module's node may not be opened by this user: it belongs to the group kdx7400 (the udev rule 60-kdx7400.rules); add the user with 'sudo usermod -aG kdx7400 USER', then log in again" ] ||
        { echo "unexpected: $output"; return 1; }
}

if [ "$which" = all ] || [ "$which" = tools ]; then
    step "systemd-udevd with the shipped rule" start_udev
    if step "a gadget module appears, its node as udev sets it" start_module; then
        step "kdxio as root" kdxio_as_root
        step "examples as root" examples
        step "the Python package" python_smoke
        step "dd and sg3_utils against the module" disk_and_sg3_utils
        step "a Modbus client through the gateway" modbus_session
        step "kdxio beside a Modbus client undoes nothing" modbus_beside_kdxio
        step "kdxio and an example as a user the udev rule admits" unprivileged_with_access
        step "kdxio names a node it may not open" unprivileged_without_access
        kill $gadget; wait $gadget
    fi
    for reads in $all_reads; do
        step "a user of the group and a hung module, reads=$reads" user_and_hang $reads
        kill $gadget; wait $gadget
    done
fi

# ---- the kernel's own account -------------------------------------------------

# Every warning or error usb-storage, sd, sg or the block layer gave about
# the modules must be one the tests provoke on purpose (sd's note on the
# mode pages a module lacks; I/O or enumeration cut off by an unplug); any
# other fails.
kernel_messages() {
    local allowed scoped unexpected
    allowed='No Caching mode page found|Assuming drive cache: write through|device offline error, dev sd[a-z]+|'
    allowed+='Buffer I/O error on dev sd[a-z]+|unable to read RDB block|callbacks suppressed|'
    allowed+='rejecting I/O to dead device|I/O error, dev sd[a-z]+, sector [0-9]+ op 0x[01]:\((READ|WRITE)\)|'
    # A pull in the middle of the reset that a phase error causes: the
    # re-enumeration, or restoring its configuration after it, meets a
    # device that has gone (-71 from dummy_hcd).
    allowed+='device descriptor read/all, error -71|device not accepting address [0-9]+, error -71|'
    allowed+="can't restore configuration #[0-9]+ \\(error=-71\\)"
    scoped=$(dmesg --level=emerg,alert,crit,err,warn | sed -E 's/^\[[ 0-9.]*\] //' |
        grep -E 'usb-storage|usb [0-9]|scsi|(^| )sd |sd[a-z]+|(^| )sg[ _:0-9]')
    unexpected=$(grep -Ev "$allowed" <<< "$scoped")
    echo "kernel: $(grep -c . <<< "$scoped") expected warnings from usb-storage, sd, sg and the block layer"
    [ -z "$unexpected" ] || { echo "unexpected kernel messages:"; echo "$unexpected"; return 1; }
}

if [ "$which" != run ]; then
    step "no unexpected kernel messages" kernel_messages
fi

# ---- vm-test --run: one program of the host's beside virtual modules ------

if [ "$which" = run ]; then
    . "$build/vm/run.sh"
    start_udev || { echo "vm-test: systemd-udevd did not start"; exit 1; }
    runbed=/tmp/run-bed
    ip link set lo up 2>/dev/null || busybox ifconfig lo up
    gadgets=()
    for i in "${!run_modules[@]}"; do
        "$out/kdx7400-gadget" --testbed $runbed --udc dummy_udc.$i --name m$i --module "${run_modules[$i]}" \
            --reads "$run_reads" 2> /tmp/gadget-$i.log &
        gadgets+=($!)
    done
    if [ ${#run_modules[@]} -gt 0 ]; then
        for _ in $(seq 200); do
            [ "$(ls /sys/class/scsi_generic 2>/dev/null | wc -l)" -ge ${#run_modules[@]} ] && break
            sleep 0.1
        done
        sleep 0.3
        echo "vm-test: modules on $(ls /sys/class/scsi_generic | tr '\n' ' ')"
        for node in /sys/class/scsi_generic/*; do
            node_as_installed ${node##*/} || exit 1
        done
    fi
    mkdir -p $runbed && chmod -R a+rwX $runbed
    cd "$run_cwd" 2>/dev/null || cd /
    if [ "$run_user" = yes ]; then
        KDX7400_VM_TESTBED=$runbed as_member "${run_command[@]}"
    else
        KDX7400_VM_TESTBED=$runbed "${run_command[@]}"
    fi
    status=$?
    kill ${gadgets[@]+"${gadgets[@]}"} 2>/dev/null
    wait ${gadgets[@]+"${gadgets[@]}"} 2>/dev/null
    echo "vm-test: the program exited $status"
    exit $status
fi

echo "=== summary"
cat $summary
echo "vm: $passed passed, $failures failed"
[ "$failures" -eq 0 ]
