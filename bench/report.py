# SPDX-License-Identifier: MIT
"""Tables for scripts/bench from Google Benchmark's JSON and callgrind dumps.

  report.py operations TIMINGS.json CALLGRIND_DIR CALLS SYSCALLS.json [BASELINE_DIR BASELINE_SYSCALLS.json]
      one row per operation: its SG_IO commands (the count FaultMatrix
      asserts), time beside bare SG_IO, the ratio, the
      library's own instructions per call (its dump minus the bare one),
      and its flock calls per call (the module lock), with a baseline
      library's figures beside them when one was measured
  report.py readme README.md NAME FILE
      puts FILE between README's "<!-- bench NAME -->" and
      "<!-- /bench NAME -->" lines, so that its tables come from a run
"""
from __future__ import annotations

import json
import sys
from pathlib import Path


def callgrind_dumps(directory: Path) -> dict[str, int]:
    """Instructions of each dump, by the label it was taken at."""
    counts: dict[str, int] = {}
    for dump in directory.glob("cg.out.*"):
        label, total = None, None
        for line in dump.read_bytes().decode("utf-8", "replace").splitlines():
            if line.startswith("desc: Trigger: Client Request: "):
                label = line.removeprefix("desc: Trigger: Client Request: ")
            elif line.startswith("summary: "):
                total = int(line.split()[1])
        if label is not None and total is not None:
            counts[label] = total
    return counts


def own_instructions(counts: dict[str, int], name: str, calls: int) -> float:
    return (counts.get(f"library {name}", 0) - counts.get(f"bare {name}", 0)) / calls


def operations(timings_path: str, callgrind_dir: str, calls: str, syscalls_path: str,
               baseline_dir: str | None = None, baseline_syscalls_path: str | None = None) -> None:
    timings = json.loads(Path(timings_path).read_text())["benchmarks"]
    ns = {b["name"]: float(b["real_time"]) for b in timings if b.get("run_type", "iteration") == "iteration"}
    commands = {b["name"]: int(b.get("commands", 0)) for b in timings}
    counts = callgrind_dumps(Path(callgrind_dir))
    n = int(calls)
    names = [name.split("/", 1)[1] for name in ns if name.startswith("library/")]
    baseline = callgrind_dumps(Path(baseline_dir)) if baseline_dir else None
    syscalls = json.loads(Path(syscalls_path).read_text())
    baseline_syscalls = json.loads(Path(baseline_syscalls_path).read_text()) if baseline_syscalls_path else {}
    print(f"{'operation':32} {'SG_IO':>5} {'library ns':>10} {'bare ns':>8} {'ratio':>6} {'instr/call':>10}"
          + (f" {'baseline':>9}" if baseline else "") + f" {'flock':>5}"
          + (f" {'baseline':>8}" if baseline_syscalls else ""))
    worst = 0.0
    for name in names:
        lib, bare = ns[f"library/{name}"], ns[f"bare/{name}"]
        own = own_instructions(counts, name, n)
        worst = max(worst, own)
        row = f"{name:32} {commands[f'library/{name}']:5} {lib:10.1f} {bare:8.1f} {lib / bare:6.2f} {own:10.0f}"
        if baseline:
            row += f" {own_instructions(baseline, name, n):9.0f}" if f"library {name}" in baseline else f" {'-':>9}"
        row += f" {syscalls.get(name, [0, 0])[1]:5.0f}"
        if baseline_syscalls:
            row += f" {baseline_syscalls.get(name, [0, 0])[1]:8.0f}" if name in baseline_syscalls else f" {'-':>8}"
        print(row)
    print(f"most library instructions per call: {worst:.0f}")
    print("flock: the module lock's system calls per call (writes only; reads and SG_IO counts"
          " are unchanged)")


def readme(path: str, name: str, table_path: str) -> None:
    text = Path(path).read_text()
    begin, end = f"<!-- bench {name} -->\n", f"<!-- /bench {name} -->\n"
    if begin not in text or end not in text:
        sys.exit(f"{path} has no {begin.strip()} ... {end.strip()} section")
    head, rest = text.split(begin, 1)
    _, tail = rest.split(end, 1)
    Path(path).write_text(head + begin + Path(table_path).read_text() + end + tail)


if __name__ == "__main__":
    if len(sys.argv) in (6, 8) and sys.argv[1] == "operations":
        operations(*sys.argv[2:])
    elif len(sys.argv) == 5 and sys.argv[1] == "readme":
        readme(*sys.argv[2:])
    else:
        sys.exit(__doc__)
