# SPDX-License-Identifier: MIT
"""Crowds of connections that do nothing useful (idle, a byte at a time,
event streams nobody reads from) do not deny the HTTP API to a client that
asks properly, and cost neither a thread each nor much memory."""

from __future__ import annotations

import http.client
import os
import resource
import socket
import subprocess
import threading
import time

import pytest
import requests

from modbus_rig import AUTH, Rig

CROWD = 1000


@pytest.fixture(autouse=True)
def enough_descriptors() -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < 3 * CROWD + 500:
        pytest.skip(f"the open-files limit ({hard}) is below three crowds")
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def crowd(port: int, n: int, opening: bytes, first: int = 1) -> list[socket.socket]:
    """n connections, spread over eight loopback addresses so that each stays
    within the per-address limit; each sends its opening, if any."""
    out = []
    for i in range(n):
        s = socket.create_connection(("127.0.0.1", port), timeout=10,
                                     source_address=(f"127.0.{first}.{1 + i % 8}", 0))
        if opening:
            s.sendall(opening)
        out.append(s)
    return out


def p99_of_gets(base: str, n: int = 100) -> float:
    took = []
    for _ in range(n):
        start = time.monotonic()
        assert requests.get(f"{base}/api/modules", timeout=5).status_code == 200
        took.append(time.monotonic() - start)
    return sorted(took)[int(n * 0.99) - 1]


def closed_by_server(s: socket.socket, within: float) -> bool:
    s.settimeout(within)
    try:
        while s.recv(4096):
            pass
        return True
    except socket.timeout:
        return False
    except OSError:
        return True


def threads_of(pid: int) -> int:
    return len(os.listdir(f"/proc/{pid}/task"))


def rss_mib(pid: int) -> float:
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0


def test_idle_slow_and_streaming_crowds_do_not_deny_the_api(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http_with_token("--module", "1=7401:3")
    assert rig.daemon is not None
    pid = rig.daemon.pid
    assert p99_of_gets(base, 10) < 1
    threads = threads_of(pid)

    idle = crowd(rig.http_port, CROWD, b"", first=1)
    assert p99_of_gets(base) < 0.1, "beside idle sockets"

    # A slowloris crowd: a byte a second, never the end of the head.
    slow = crowd(rig.http_port, CROWD, b"GET /api/modules HTTP/1.1\r\nX-Slow: ", first=2)
    opened = time.monotonic()
    stop = threading.Event()

    def trickle() -> None:
        while not stop.wait(1):
            for s in slow:
                try:
                    s.send(b"a")
                except OSError:
                    pass

    trickler = threading.Thread(target=trickle)
    trickler.start()
    try:
        assert p99_of_gets(base) < 0.1, "beside a byte-at-a-time crowd"
        # The whole head has a deadline (5 s), however steadily it trickles.
        assert all(closed_by_server(s, max(0.1, opened + 8 - time.monotonic())) for s in slow)
    finally:
        stop.set()
        trickler.join()

    streams = crowd(rig.http_port, CROWD, b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", first=3)
    for s in streams:
        seen = b""
        while b"event: hello" not in seen:
            seen += s.recv(4096)
    assert p99_of_gets(base) < 0.1, "beside event streams"
    # The streams are alive: a write reaches a reader.
    assert requests.put(f"{base}/api/modules/1/outputs", json={"mask": 1, "value": 1}, headers=AUTH,
                        timeout=5).status_code == 200
    seen = b""
    while b"event: outputs" not in seen:
        seen += streams[-1].recv(4096)

    assert threads_of(pid) == threads, "no thread per connection"
    if "ASAN_OPTIONS" not in os.environ:  # a sanitizer's shadow memory is not ours
        assert rss_mib(pid) < 64
    for s in idle + slow + streams:
        s.close()


def test_one_address_gets_its_share_and_a_full_house_makes_room(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http("--module", "1=7401:3", "--http-max-per-address", "20", "--http-max-clients", "60")
    hog = [socket.create_connection(("127.0.0.1", rig.http_port), timeout=5, source_address=("127.0.4.1", 0))
           for _ in range(21)]
    assert closed_by_server(hog.pop(), 1), "the 21st from one address"
    assert not closed_by_server(hog[-1], 0.2)
    others = crowd(rig.http_port, 20, b"", first=5)
    time.sleep(1.2)  # a full house makes room only from connections idle a second
    others += crowd(rig.http_port, 20, b"", first=6)  # 60: full
    # A newcomer is let in by closing the connection that waited longest.
    assert requests.get(f"{base}/api/modules", timeout=5).status_code == 200
    assert closed_by_server(hog[0], 2), "the oldest idle connection made room"
    assert not closed_by_server(others[-1], 0.5), "a new one did not"
    for s in hog + others:
        s.close()


def test_never_reading_streams_share_one_memory_budget_and_a_reader_keeps_up(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http("--module", "1=7401:3", "--watch-interval", "10")
    assert rig.daemon is not None
    pid = rig.daemon.pid

    def never_reading(n: int, first: int) -> list[socket.socket]:
        out = []
        for i in range(n):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # it takes next to nothing
            s.bind((f"127.0.{first}.{1 + i % 8}", 0))
            s.connect(("127.0.0.1", rig.http_port))
            s.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            out.append(s)
        return out

    stop = threading.Event()
    seen_at: list[float] = []

    def read() -> None:
        reader = socket.create_connection(("127.0.0.1", rig.http_port), timeout=2)
        reader.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        while not stop.is_set():
            try:
                chunk = reader.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                return  # closed: seen_at stops growing
            if b"event: input" in chunk:
                seen_at.append(time.monotonic())
        reader.close()

    def toggle() -> None:  # 16 inputs each change: about 300 events a second
        level = 0
        while not stop.is_set():
            level ^= 0xFFFF
            rig.sim("inputs", rig.root, "sg0", hex(level))
            time.sleep(0.04)

    # Under the sanitizers every event costs many times more: a fifth of the
    # crowd, and no memory figure (their shadow memory is not ours).
    sanitized = "ASAN_OPTIONS" in os.environ
    silent: list[socket.socket] = []
    workers = [threading.Thread(target=read), threading.Thread(target=toggle)]
    try:
        for first in range(7, 15):
            silent += never_reading((CROWD // 5 if sanitized else CROWD) // 8, first)
        for worker in workers:
            worker.start()
        highest = 0.0
        for _ in range(25):
            time.sleep(1)
            highest = max(highest, rss_mib(pid))
        assert p99_of_gets(base, 50) < (2 if sanitized else 0.5), "beside never-reading streams"
        assert seen_at and time.monotonic() - seen_at[-1] < 2, "the reader that keeps up is still served"
        if not sanitized:
            assert highest < 64, f"{highest:.0f} MiB"
        assert sum(closed_by_server(s, 0.05) for s in silent[:100]) > 50, "those furthest behind are closed"
    finally:
        stop.set()
        for worker in workers:
            if worker.is_alive():
                worker.join()
        for s in silent:
            s.close()


@pytest.mark.parametrize("addresses", [2, 4, 16])
def test_a_full_house_takes_from_the_largest_holder_never_from_a_client_within_its_share(
        rig: Rig, addresses: int) -> None:
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http("--module", "1=7401:3", "--http-max-clients", "120")
    stop = threading.Event()

    evicted = 0

    def attack() -> None:  # more than the house, half streams, reopened as they are closed
        nonlocal evicted
        held: list[socket.socket] = []
        while not stop.is_set():
            alive = []
            for s in held:
                try:
                    if s.recv(65536):
                        alive.append(s)
                    else:
                        evicted += 1
                        s.close()
                except BlockingIOError:
                    alive.append(s)
                except OSError:
                    s.close()
            held = alive
            while len(held) < 140 and not stop.is_set():
                try:
                    s = socket.create_connection(("127.0.0.1", rig.http_port), timeout=2,
                                                 source_address=(f"127.0.9.{1 + len(held) % addresses}", 0))
                    if len(held) % 2 == 0:
                        s.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                    s.setblocking(False)  # looked at, never waited for
                    held.append(s)
                except OSError:
                    break
            time.sleep(0.05)
        for s in held:
            s.close()

    attacker = threading.Thread(target=attack)
    attacker.start()
    failed = []
    try:
        time.sleep(2)  # the house is full
        polls = http.client.HTTPConnection("127.0.0.1", rig.http_port, timeout=5)  # one keep-alive connection
        for i in range(6):
            try:
                polls.request("GET", "/api/modules")
                response = polls.getresponse()
                response.read()
                if response.status != 200:
                    failed.append(f"poll {i}: {response.status}")
            except (OSError, http.client.HTTPException) as error:
                failed.append(f"poll {i}: {error!r}")
            for j in range(3):  # new connections meanwhile
                try:
                    status = requests.get(f"{base}/api/modules", timeout=5).status_code
                    if status != 200:
                        failed.append(f"new {i}.{j}: {status}")
                except requests.RequestException as error:
                    failed.append(f"new {i}.{j}: {error!r}")
                time.sleep(0.4)
        polls.close()
    finally:
        stop.set()
        attacker.join()
    assert not failed, failed
    assert evicted > 0, "the attacker held the house"


@pytest.mark.skipif(os.geteuid() != 0, reason="a local IPv6 /64 route takes root")
def test_ipv6_peers_are_limited_per_64_not_per_address(rig: Rig) -> None:
    prefix = "fd7e:7400:1::"
    subprocess.run(["ip", "-6", "route", "replace", "local", prefix + "/64", "dev", "lo"], check=True)
    try:
        rig.add("pid=0x7401,bid=3")
        rig.start("--module", "1=7401:3", "--http", f"[::1]:{rig.http_port}", "--http-root",
                  os.environ["KDX7400D_WWW"], "--http-max-per-address", "10")

        def from_(address: str) -> socket.socket:
            s = socket.socket(socket.AF_INET6)
            s.setsockopt(socket.IPPROTO_IPV6, 78, 1)  # IPV6_FREEBIND: any address of the local /64
            s.bind((address, 0))
            s.settimeout(5)
            s.connect(("::1", rig.http_port))
            return s

        same_64 = [from_(f"{prefix}{i:x}") for i in range(1, 11)]
        assert not closed_by_server(same_64[-1], 0.3)
        assert closed_by_server(from_(f"{prefix}ff"), 2), "an 11th address of the same /64"
        assert requests.get(f"http://[::1]:{rig.http_port}/api/modules", timeout=5).status_code == 200
        for s in same_64:
            s.close()
    finally:
        subprocess.run(["ip", "-6", "route", "del", "local", prefix + "/64", "dev", "lo"], check=False)
