# SPDX-License-Identifier: MIT
"""kdx7400d's Modbus front end against virtual modules, with real Modbus clients
(pymodbus and mbpoll), on loopback only. Every wait is bounded."""

from __future__ import annotations

import json
import os
import socket
import struct
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Any, Iterator

from pymodbus.client import ModbusTcpClient

from modbus_rig import DAEMON, PRELOAD, Rig, exception_of


def test_every_region_of_the_map(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3,di=16,do=16,ai=2,fw=0x0203,date=2026-11-30")
    rig.start("--module", "1=7401:3")
    c = rig.client()
    # Coils: outputs, power-on, counter clears, the watchdog error.
    assert not c.write_coil(3, True, slave=1).isError()
    assert rig.state()["outputs"] == 0x8
    assert not c.write_coils(0, [True, True, False], slave=1).isError()
    assert rig.state()["outputs"] == 0xB
    assert c.read_coils(0, 16, slave=1).bits[:16] == [True, True, False, True] + [False] * 12
    assert not c.write_coils(100, [True] * 4, slave=1).isError()
    assert rig.state()["power_on"] == 0xF
    assert c.read_coils(100, 4, slave=1).bits[:4] == [True] * 4
    # Discrete inputs and counters (two registers each, high word first).
    rig.sim("inputs", rig.root, "sg0", "0x0")
    rig.sim("inputs", rig.root, "sg0", "0x5")
    assert c.read_discrete_inputs(0, 4, slave=1).bits[:4] == [True, False, True, False]
    assert c.read_input_registers(0, 6, slave=1).registers == [0, 1, 0, 0, 0, 1]
    assert not c.write_coil(1000, True, slave=1).isError()
    assert rig.state()["counters"][:3] == [0, 0, 1]
    assert c.read_coils(1000, 1, slave=1).bits[0] is False
    # Identity.
    assert c.read_input_registers(1000, 1, slave=1).registers == [0x0203]
    date = c.read_input_registers(1001, 5, slave=1).registers
    assert b"".join(struct.pack(">H", r) for r in date) == b"2026-11-30"
    assert c.read_input_registers(1010, 6, slave=1).registers == [16, 16, 2, 0, 0, 0]
    # Holding registers.
    assert not c.write_registers(0, [300, 1, 1, 1], slave=1).isError()
    state = rig.state()
    assert (state["filter"], state["input_inverse"], state["edge"], state["output_inverse"]) == (300, 1, 1, 1)
    assert not c.write_registers(4, [0x0001, 0x86A0], slave=1).isError()  # 100000 ms
    assert rig.state()["watchdog_timeout"] == 100000
    assert not c.write_register(5, 0x2710, slave=1).isError()  # low word only: 75536
    assert c.read_holding_registers(4, 2, slave=1).registers == [0x0001, 0x2710]
    assert not c.write_registers(6, [1, 9], slave=1).isError()
    assert c.read_holding_registers(0, 8, slave=1).registers == [300, 1, 1, 1, 0x0001, 0x2710, 1, 9]
    assert not c.write_register(20, 0x00FF, slave=1).isError()
    assert not c.write_register(24, 0x000F, slave=1).isError()
    assert (rig.state()["safety_first"], rig.state()["safety_second"]) == (0xFF, 0x0F)
    assert c.read_holding_registers(20, 1, slave=1).registers == [0x00FF]
    name = b"press line 4".ljust(16, b"\0")
    assert not c.write_register(6, 0, slave=1).isError()
    assert not c.write_registers(100, list(struct.unpack(">8H", name)), slave=1).isError()
    assert rig.state()["nickname"] == "press line 4"
    assert c.read_holding_registers(100, 6, slave=1).registers[:2] == [0x7072, 0x6573]
    c.close()


def test_a_multi_coil_write_is_one_read_and_one_write(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    rig.start("--module", "1=7401:3")
    c = rig.client()
    c.read_coils(0, 1, slave=1)  # the open is done
    Path(rig.root, "log").write_text("")
    assert not c.write_coils(0, [True] * 8, slave=1).isError()
    assert rig.transfers() == ["28", "2a"]
    c.close()


def test_the_watchdog_error_coil(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    rig.start("--module", "1=7401:3")
    c = rig.client()
    assert not c.write_registers(4, [0, 100], slave=1).isError()
    time.sleep(0.3)
    assert rig.state()["watchdog_expired"] is True
    assert not c.write_coil(2000, True, slave=1).isError()
    assert rig.state()["watchdog_expired"] is False
    c.close()


def test_each_exception_from_a_real_cause(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    rig.start("--module", "1=7401:3", "--module", "5=7401:9", "--allow-write", "127.0.0.1/32")
    c = rig.client()
    assert exception_of(c.read_coils(16, 1, slave=1)) == 2          # past 16 outputs
    assert exception_of(c.read_holding_registers(8, 1, slave=1)) == 2
    assert exception_of(c.read_holding_registers(21, 1, slave=1)) == 2  # 16 outputs: one safety register
    assert exception_of(c.read_discrete_inputs(15, 2, slave=1)) == 2
    assert exception_of(c.write_register(1, 2, slave=1)) == 3       # inversion is 0 or 1
    assert exception_of(c.write_registers(4, [0, 50], slave=1)) == 3  # watchdog below 100 ms
    rig.sim("fault", rig.root, "sg0", "eio")
    assert exception_of(c.read_coils(0, 1, slave=1)) == 4           # failed transfer
    assert exception_of(c.read_coils(0, 1, slave=5)) == 0x0B        # configured, absent
    assert exception_of(c.read_coils(0, 1, slave=7)) == 0x0A        # not configured
    other = rig.client(source="127.0.0.2")
    assert exception_of(other.write_coil(0, True, slave=1)) == 1    # outside --allow-write
    assert not other.read_coils(0, 1, slave=1).isError()
    other.close()
    c.close()
    log = rig.stop()
    assert "a transfer failed" in log and "(read only)" in log


def test_plain_modbus_is_read_only_unless_allow_write_names_the_client(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    for writers, source, may_write in [((), "127.0.0.1", False),          # loopback by default: no
                                       (("127.0.0.1/32",), "127.0.0.1", True),
                                       (("127.0.0.1/32",), "127.0.0.2", False),
                                       (("127.0.0.0/8",), "127.0.0.2", True)]:
        rig.start("--module", "1=7401:3", modbus_writers=writers)
        c = rig.client(source)
        before = rig.state()
        answers = [c.write_coil(0, before["outputs"] & 1 == 0, slave=1), c.write_register(0, 20, slave=1),
                   c.write_coils(4, [True, True], slave=1), c.write_registers(0, [30], slave=1)]
        after = rig.state()
        if may_write:
            assert all(not a.isError() for a in answers), (writers, source)
            assert (after["outputs"], after["filter"]) == ((before["outputs"] ^ 1) | 0x30, 30)
        else:
            assert [exception_of(a) for a in answers] == [1, 1, 1, 1], (writers, source)
            assert after == before, "a refused write changed the module"
        assert not c.read_coils(0, 16, slave=1).isError()
        c.close()
        rig.stop()


def test_a_refused_write_changes_nothing(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3,do=8")
    rig.start("--module", "1=7401:3", "--allow-write", "127.0.0.1/32")
    c = rig.client()
    assert not c.read_holding_registers(0, 1, slave=1).isError()
    before = rig.state()
    writes = rig.transfers().count("2a")
    # Each value before the bad one is fine; the request must still be all or nothing.
    for address, values in [(0, [5, 1, 1, 1, 0, 50]),      # watchdog below 100 ms
                            (1, [1, 1, 0, 0x1C, 0xA000]),  # watchdog above 1800000 ms
                            (0, [7] + [0] * 19 + [0x0100]),  # safety output 8 of 8 outputs
                            (24, [0x0001, 0, 0, 0, 0])]:   # past the safety values: address
        assert exception_of(c.write_registers(address, values, slave=1)) in (2, 3), (address, values)
    assert rig.transfers().count("2a") == writes
    assert rig.state() == before
    c.close()


def test_two_modules_and_hot_plug(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    rig.start("--module", "1=7401:3", "--module", "2=7401:4")
    c = rig.client()
    assert exception_of(c.read_coils(0, 1, slave=2)) == 0x0B
    rig.add("pid=0x7401,bid=4")  # plugged in while the gateway runs
    assert not c.write_coil(1, True, slave=2).isError()
    assert rig.state("sg1")["outputs"] == 0x2 and rig.state("sg0")["outputs"] == 0
    rig.sim("unplug", rig.root, "sg1")
    assert exception_of(c.read_coils(0, 1, slave=2)) in (4, 0x0B)
    assert exception_of(c.read_coils(0, 1, slave=2)) == 0x0B
    rig.add("pid=0x7401,bid=4")  # back, on a new node
    assert c.read_coils(0, 1, slave=2).bits[0] is False
    assert not c.read_coils(0, 1, slave=1).isError()
    c.close()


def test_garbage_and_half_frames_disturb_no_one(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    rig.start("--module", "1=7401:3")
    good = rig.client()
    garbage = socket.create_connection(("127.0.0.1", rig.port), timeout=3)
    garbage.sendall(b"\x00\x01\x13\x37\x00\x06\x01\x01\x00\x00\x00\x01")  # protocol 0x1337
    assert garbage.recv(16) == b""  # dropped
    oversized = socket.create_connection(("127.0.0.1", rig.port), timeout=3)
    oversized.sendall(b"\x00\x01\x00\x00\xff\xff\x01")
    assert oversized.recv(16) == b""
    slow = socket.create_connection(("127.0.0.1", rig.port), timeout=3)
    slow.sendall(b"\x00\x07\x00\x00\x00\x06\x01")  # half a frame, then silence
    for _ in range(20):
        assert not good.read_coils(0, 4, slave=1).isError()
    slow.sendall(b"\x01\x00\x00\x00\x04")  # the rest arrives: answered
    answer = slow.recv(64)
    assert answer[:2] == b"\x00\x07" and answer[7] == 1
    half = socket.create_connection(("127.0.0.1", rig.port), timeout=3)
    half.sendall(b"\x00\x08\x00\x00\x00\x06\x01\x01")
    half.close()  # gone mid-frame
    assert not good.read_coils(0, 4, slave=1).isError()
    diagnostics = socket.create_connection(("127.0.0.1", rig.port), timeout=3)
    diagnostics.sendall(b"\x00\x09\x00\x00\x00\x02\x01\x07")  # function 7: not served
    assert diagnostics.recv(64) == b"\x00\x09\x00\x00\x00\x03\x01\x87\x01"
    diagnostics.close()
    for s in (garbage, oversized, slow):
        s.close()
    good.close()
    assert rig.daemon is not None and rig.daemon.poll() is None
    assert "malformed frame" in rig.stop()


def test_mbpoll_reads_and_writes_through_the_gateway(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    rig.start("--all")
    result = rig.mbpoll("-a", "1", "-t", "0", "-r", "1", "-c", "16")
    assert result.returncode == 0, result.stderr
    assert result.stdout.count(":") >= 16 and "[16]: \t0" in result.stdout
    result = rig.mbpoll("-a", "1", "-t", "0", "-r", "1", values=("1", "0", "1"))
    assert result.returncode == 0 and "Written 3 references" in result.stdout
    assert rig.state()["outputs"] == 0b101
    result = rig.mbpoll("-a", "1", "-t", "3", "-r", "1011", "-c", "2")
    assert "[1011]: \t16" in result.stdout
    result = rig.mbpoll("-a", "1", "-t", "0", "-r", "17")
    assert "Illegal data address" in result.stderr + result.stdout


def test_allow_limits_who_may_connect_and_ipv6_is_served(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    rig.start("--module", "1=7401:3", "--allow", "127.0.0.1/32")
    stranger = socket.create_connection(("127.0.0.1", rig.port), timeout=3, source_address=("127.0.0.2", 0))
    try:
        stranger.sendall(b"\x00\x01\x00\x00\x00\x06\x01\x01\x00\x00\x00\x01")
        assert stranger.recv(16) == b""  # closed without an answer
    except ConnectionResetError:
        pass  # closed before the request was read
    stranger.close()
    assert not rig.client().read_coils(0, 1, slave=1).isError()
    assert "not in --allow" in rig.stop()
    if not socket.has_ipv6:
        return
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
    except OSError:
        return  # no IPv6 loopback here
    env = dict(os.environ, LD_PRELOAD=PRELOAD, KDX7400_SIM_TESTBED=rig.root)
    gateway = subprocess.Popen([DAEMON, "--module", "1=7401:3", "--modbus", f"[::1]:{rig.port}", "--allow-write", "::1/128"],
                               env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with socket.socket(socket.AF_INET6) as s:
                if s.connect_ex(("::1", rig.port)) == 0:
                    break
            time.sleep(0.05)
        client = ModbusTcpClient("::1", port=rig.port, timeout=3, retries=0)
        assert client.connect()
        assert not client.write_coil(2, True, slave=1).isError()  # an IPv6 CIDR admits it
        assert rig.state()["outputs"] == 0x4
        client.close()
    finally:
        gateway.terminate()
        gateway.communicate(timeout=10)


def test_kdxio_updates_survive_clients_toggling_another_coil(rig: Rig) -> None:
    """kdxio switches output 5 while clients toggle coil 0: every kdxio
    update must still be there afterwards, however the two interleave."""
    import threading

    rig.add("pid=0x7401,bid=3")
    rig.start("--all")
    stop = threading.Event()
    toggles = [0]

    def toggle() -> None:
        with rig.client() as client:
            on = False
            while not stop.is_set():
                on = not on
                assert not client.write_coil(0, on, slave=1).isError()
                toggles[0] += 1

    toggler = threading.Thread(target=toggle)
    toggler.start()
    env = dict(os.environ, LD_PRELOAD=PRELOAD, KDX7400_SIM_TESTBED=rig.root)
    undone = 0
    try:
        with rig.client() as reader:
            for i in range(300):
                verb = "on" if i % 2 == 0 else "off"
                subprocess.run([os.environ["KDX7400_KDXIO"], "-p", "7401", "-b", "3", "do", verb, "5"],
                               env=env, check=True, timeout=20)
                coil5 = reader.read_coils(5, count=1, slave=1).bits[0]
                undone += coil5 != (verb == "on")
    finally:
        stop.set()
        toggler.join(timeout=20)
    assert toggles[0] > 300, "the clients did not run alongside"
    assert undone == 0
