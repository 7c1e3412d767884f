# SPDX-License-Identifier: MIT
"""The Python watcher against its goals, on a virtual module (run under
kdx7400-sim's preload, with KDX7400_SIM_TESTBED set):

  watch.py latency FLIPPER... INTERVAL_MS N   change to arrival: iterator and asyncio
  watch.py cpu INTERVAL_MS SECONDS            a watcher's share of one core

FLIPPER is the command line of ``watch flipper DIR NODE``: it flips input 0
per line and prints when, in CLOCK_MONOTONIC (time.monotonic's clock)."""

from __future__ import annotations

import asyncio
import resource
import subprocess
import sys
import time

import kdx7400


def report(name: str, interval_ms: int, ms: list[float]) -> None:
    ms.sort()
    p50, p99 = ms[len(ms) // 2], ms[len(ms) * 99 // 100]
    met = "met" if p99 <= interval_ms + 2 else "NOT met"
    print(f"{name:14} interval {interval_ms:3} ms  p50 {p50:6.2f} ms  p99 {p99:6.2f} ms"
          f"  goal p99 <= {interval_ms + 2} ms: {met}")


def flip(flipper: subprocess.Popen[str]) -> float:
    assert flipper.stdin is not None and flipper.stdout is not None
    flipper.stdin.write("\n")
    flipper.stdin.flush()
    return int(flipper.stdout.readline()) / 1e9


def latency(flipper_command: list[str], interval_ms: int, n: int) -> None:
    flipper = subprocess.Popen(flipper_command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    with kdx7400.open(0x7401, 0) as module:
        ms = []
        with module.watch(interval_ms / 1000) as watcher:
            for i in range(n):
                time.sleep(0.001 + (i * 7919 % (interval_ms * 1000)) / 1e6)
                changed = flip(flipper)
                next(iter(watcher))
                ms.append((time.monotonic() - changed) * 1000)
        report("Python", interval_ms, ms)

        async def consume() -> list[float]:
            ms = []
            events = module.watch_async(interval_ms / 1000)
            for i in range(n):
                # Waiting for the event before the change: the first wait
                # also makes the watcher.
                pending = asyncio.ensure_future(events.__anext__())
                await asyncio.sleep((0.05 if i == 0 else 0.001) + (i * 7919 % (interval_ms * 1000)) / 1e6)
                changed = flip(flipper)
                await pending
                ms.append((time.monotonic() - changed) * 1000)
            await events.aclose()
            return ms

        report("Python asyncio", interval_ms, asyncio.run(consume()))
    assert flipper.stdin is not None
    flipper.stdin.close()
    flipper.wait()


def cpu(interval_ms: int, seconds: int) -> None:
    with kdx7400.open(0x7401, 0) as module:
        before = resource.getrusage(resource.RUSAGE_SELF)
        with module.watch(interval_ms / 1000):
            time.sleep(seconds)
        after = resource.getrusage(resource.RUSAGE_SELF)
    used = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    share = 100 * used / seconds
    print(f"Python watcher interval {interval_ms:3} ms  {share:.2f} % of a core  goal < 5 %: "
          + ("met" if share < 5 else "NOT met"))


if __name__ == "__main__":
    if sys.argv[1] == "latency":
        latency(sys.argv[2:-2], int(sys.argv[-2]), int(sys.argv[-1]))
    else:
        cpu(int(sys.argv[2]), int(sys.argv[3]))
