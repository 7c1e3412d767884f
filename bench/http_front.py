# SPDX-License-Identifier: MIT
"""kdx7400d's HTTP front end against its goals, on a virtual module, side
by side in one run (run under kdx7400-sim's preload, KDX7400_SIM_TESTBED
set, the daemon already serving the testbed's module as unit 1):

  http_front.py events BASE INTERVAL_MS N FLIPPER...
                                         input change to a browser's EventSource handler
  http_front.py streams BASE PID N SECONDS FLIPPER...
                                         N event streams held: the daemon's memory and CPU
  http_front.py crowds BASE PID N          GET /api/modules alone, then beside N idle, N slowloris
                                         and N streaming connections: p99, memory, threads

FLIPPER is the command line of ``watch flipper DIR NODE``: it flips input 0
per line and prints when, in CLOCK_MONOTONIC (time.monotonic's clock)."""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import threading
import time

import kdx7400
import requests


def percentiles(ms: list[float]) -> tuple[float, float]:
    ms.sort()
    return ms[len(ms) // 2], ms[min(len(ms) - 1, len(ms) * 99 // 100)]


def load_average() -> float:
    return float(open("/proc/loadavg").read().split()[0])


def settled_load() -> float:
    """The load average a run starts at, after waiting up to 90 s for the
    bench's own previous step to stop weighing on it."""
    deadline = time.monotonic() + 90
    while load_average() > LOAD_LIMIT and time.monotonic() < deadline:
        time.sleep(1)
    return load_average()


def markdown_row(row: str) -> None:
    """A row of the README's table, when scripts/bench asks for one."""
    path = os.environ.get("KDX7400_BENCH_MARKDOWN")
    if path:
        with open(path, "a") as table:
            table.write(row + "\n")


LOAD_LIMIT = 1.0


def flip(flipper: subprocess.Popen[str]) -> float:
    """Flips input 0; returns when, as wall-clock seconds."""
    assert flipper.stdin is not None and flipper.stdout is not None
    flipper.stdin.write("\n")
    flipper.stdin.flush()
    monotonic = int(flipper.stdout.readline()) / 1e9
    return monotonic + (time.time() - time.monotonic())


def events(base: str, interval_ms: int, n: int, flipper_command: list[str]) -> None:
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service

    options = Options()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    load = settled_load()
    browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    flipper = subprocess.Popen(flipper_command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        browser.get(f"{base}/api/openapi.json")  # same origin, no page of its own
        browser.execute_script("""
            window.arrivals = [];
            const stream = new EventSource('/api/modules/1/events');
            stream.addEventListener('input', () => window.arrivals.push(performance.timeOrigin + performance.now()));
            window.ready = false;
            stream.addEventListener('hello', () => { window.ready = true; });""")
        deadline = time.monotonic() + 10
        while not browser.execute_script("return window.ready") and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.3)  # the worker's first sample
        ms = []
        for i in range(n):
            changed = flip(flipper)
            deadline = time.monotonic() + 2
            while browser.execute_script("return window.arrivals.length") <= i and time.monotonic() < deadline:
                time.sleep(0.002)
            arrived = browser.execute_script(f"return window.arrivals[{i}]")
            ms.append(arrived - changed * 1000)
            time.sleep(0.05 + (i % 7) * 0.007)  # changes at every phase of the sampling
    finally:
        flipper.terminate()
        browser.quit()
    p50, p99 = percentiles(ms)
    goal = interval_ms + 5
    verdict = (f"not measurable: load above {LOAD_LIMIT:.0f}" if load > LOAD_LIMIT
               else "met" if p99 <= goal else "missed")
    print(f"change to EventSource handler, interval {interval_ms} ms: p50 {p50:6.2f} ms  p99 {p99:6.2f} ms"
          f"  goal p99 <= {goal} ms: {verdict} (load average {load:.2f} before)")
    markdown_row(f"| an input change to a browser's `EventSource` handler (headless Chromium, {n} changes, a "
                 f"{interval_ms} ms watch) | p50 {p50:.1f} ms, p99 {p99:.1f} ms | p99 at most the interval + 5 ms: "
                 f"{verdict} |")


def status_kib(pid: int, field: str) -> int:
    for line in open(f"/proc/{pid}/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return -1


def cpu_seconds(pid: int) -> float:
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def streams(base: str, pid: int, n: int, seconds: float, flipper_command: list[str]) -> None:
    host, port = base.split("//")[1].split(":")
    idle_kib = status_kib(pid, "VmRSS")
    clients = []
    for _ in range(n):
        s = socket.create_connection((host, int(port)), timeout=10)
        s.sendall(f"GET /api/modules/1/events HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
        clients.append(s)
    received = [0] * n

    def read(i: int) -> None:
        s = clients[i]
        s.settimeout(seconds + 10)
        try:
            while chunk := s.recv(65536):
                received[i] += chunk.count(b"event: input")
        except OSError:
            pass

    readers = [threading.Thread(target=read, args=(i,), daemon=True) for i in range(n)]
    for r in readers:
        r.start()
    time.sleep(1.0)
    flipper = subprocess.Popen(flipper_command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    held_kib = status_kib(pid, "VmRSS")
    cpu = cpu_seconds(pid)
    start = time.monotonic()
    flips = 0
    while time.monotonic() - start < seconds:
        flip(flipper)
        flips += 1
        time.sleep(0.1)
    used = (cpu_seconds(pid) - cpu) / (time.monotonic() - start)
    flipper.terminate()
    time.sleep(0.5)
    loaded_kib = status_kib(pid, "VmRSS")
    for s in clients:
        s.close()
    everyone = sum(1 for r in received if r >= flips)
    print(f"{n} event streams held: {everyone} of {n} saw all {flips} changes; daemon {idle_kib} KiB idle, "
          f"{held_kib} KiB with them, {loaded_kib} KiB after {flips} changes; CPU {used * 100:.1f} % of a core")
    idle_goal_kib = 12 * 1024
    verdict = "met" if idle_kib <= idle_goal_kib and everyone == n else "missed"
    markdown_row(f"| {n} event streams held, {flips} changes at 10 a second (Modbus and HTTP on) | {everyone} of {n} "
                 f"saw every change; {idle_kib / 1024:.1f} MiB resident idle, {held_kib / 1024:.1f} MiB with the "
                 f"streams, {loaded_kib / 1024:.1f} MiB after the changes; {used * 100:.1f} % of a core | every "
                 f"stream sees every change, idle at most 12 MiB: {verdict} |")


def crowds(base: str, pid: int, n: int) -> None:
    import resource
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    host, port = base.split("//")[1].split(":")
    session = requests.Session()

    def p99() -> float:
        ms = []
        for _ in range(200):
            start = time.perf_counter()
            assert session.get(f"{base}/api/modules", timeout=10).status_code == 200
            ms.append((time.perf_counter() - start) * 1000)
        return percentiles(ms)[1]

    def crowd(first: int, opening: bytes) -> list[socket.socket]:
        out = []
        for i in range(n):
            s = socket.create_connection((host, int(port)), timeout=10, source_address=(f"127.0.{first}.{1 + i % 8}", 0))
            if opening:
                s.sendall(opening)
            out.append(s)
        return out

    alone = p99()
    threads = len(os.listdir(f"/proc/{pid}/task"))
    rows = [("alone", alone)]
    held = crowd(11, b"")
    rows.append((f"beside {n} idle", p99()))
    slow = crowd(12, b"GET /api/modules HTTP/1.1\r\nX-Slow: ")
    rows.append((f"beside {n} slowloris", p99()))
    for s in slow:
        s.close()
    streams = crowd(13, f"GET /api/events HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
    rows.append((f"beside {n} idle and {n} streams", p99()))
    rss = status_kib(pid, "VmRSS") / 1024
    now = len(os.listdir(f"/proc/{pid}/task"))
    for s in held + streams:
        s.close()
    for name, value in rows:
        print(f"GET /api/modules p99 {name:32s} {value:6.2f} ms  ({value / alone:4.1f}x alone)")
    worst = max(value for _, value in rows)
    print(f"daemon with {2 * n} connections: {rss:.1f} MiB, {now} threads ({threads} before)"
          f"  goals p99 < 100 ms, < 64 MiB, threads unchanged: "
          f"{'met' if worst < 100 and rss < 64 and now == threads else 'NOT met'}")


if __name__ == "__main__":
    command, base = sys.argv[1], sys.argv[2]
    if command == "crowds":
        crowds(base, int(sys.argv[3]), int(sys.argv[4]))
    elif command == "events":
        events(base, int(sys.argv[3]), int(sys.argv[4]), sys.argv[5:])
    else:
        streams(base, int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5]), sys.argv[6:])
