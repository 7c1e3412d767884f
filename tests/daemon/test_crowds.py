# SPDX-License-Identifier: MIT
"""Crowds of connections that do nothing useful (idle, a byte at a time,
event streams nobody reads from) do not deny the HTTP API to a client that
asks properly, and cost neither a thread each nor much memory."""

from __future__ import annotations

import os
import resource
import socket
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

    silent = []
    for first in range(7, 15):
        silent += never_reading(CROWD // 8, first)
    workers = [threading.Thread(target=read), threading.Thread(target=toggle)]
    for worker in workers:
        worker.start()
    try:
        highest = 0.0
        for _ in range(25):
            time.sleep(1)
            highest = max(highest, rss_mib(pid))
        assert p99_of_gets(base, 50) < 0.5, "beside never-reading streams"
        assert seen_at and time.monotonic() - seen_at[-1] < 2, "the reader that keeps up is still served"
    finally:
        stop.set()
        for worker in workers:
            worker.join()
    if "ASAN_OPTIONS" not in os.environ:
        assert highest < 64, f"{highest:.0f} MiB"
    assert sum(closed_by_server(s, 0.05) for s in silent[:100]) > 50, "those furthest behind are closed"
    for s in silent:
        s.close()
