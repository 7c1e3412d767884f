#!/bin/bash
set -u
repo=$1 build=$2 tests=$3
out=$build/out
bed=/tmp/bed
$out/kdx7400-gadget --testbed $bed --udc dummy_udc.0 --name m0 --module pid=0x7401,bid=3 &
for i in $(seq 50); do ls /sys/class/scsi_generic/ 2>/dev/null | grep -q sg && break; sleep 0.2; done
ls -l /sys/class/scsi_generic/
dmesg | tail -20
$out/kdxio list
$out/kdxio -p 0x7401 -b 3 info
$out/kdxio -p 0x7401 -b 3 do set 0x1234; $out/kdxio -p 0x7401 -b 3 do get
$out/kdx7400-sim show $bed
exit 0
