#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Every program the scripts and tests run comes from a Debian package that
scripts/packages*.txt names, or from one every Debian root has (priority
required, as a debootstrap minbase root holds). A program found only
because this machine happens to have it fails a fresh machine's
./scripts/test after many minutes; this check fails in a second."""

from __future__ import annotations

import re
import shutil
import subprocess
import sys
from pathlib import Path

SOURCE = Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()

# Where a program is started: the first word of a Python argument list, a
# path under /usr/bin in any source, a shell command's first word.
PYTHON_ARGV = re.compile(r'\[\s*"([a-z][a-z0-9_.+-]*)"\s*,')
USR_BIN = re.compile(r'"/usr/s?bin/([a-z][a-z0-9_.+-]*)')
SHELL_COMMAND = re.compile(r'(?:^|[|;&(]|\$\(|\bthen\b|\bdo\b|\bexec\b|\bsudo\b|\btimeout\s+\S+)\s*'
                           r'([a-z][a-z0-9_.+-]*)(?=\s|$)')
SHELL_WORDS = {"if", "then", "else", "elif", "fi", "for", "while", "until", "do", "done", "case", "esac",
               "in", "function", "select", "time", "local", "export", "readonly", "declare", "set", "unset",
               "shift", "return", "exit", "trap", "wait", "read", "eval", "source", "echo", "printf",
               "cd", "pwd", "true", "false", "test", "kill", "break", "continue", "command", "type",
               "exec", "umask", "ulimit", "getopts", "hash", "builtin", "let", "mapfile", "pushd", "popd"}


def sources() -> list[Path]:
    roots = ["tests", "scripts", "bench", "examples", ".ci"]
    files = []
    for root in roots:
        for path in (SOURCE / root).rglob("*"):
            if path.is_file() and path.suffix in {"", ".sh", ".py", ".cpp", ".h"}:
                files.append(path)
    return files


def is_shell(path: Path, text: str) -> bool:
    return path.suffix == ".sh" or text.startswith("#!/bin/sh") or "bash" in text.split("\n", 1)[0]


def programs() -> dict[str, Path]:
    found: dict[str, Path] = {}
    for path in sources():
        text = path.read_text(errors="replace")
        names = set(USR_BIN.findall(text))
        if path.suffix == ".py":
            names |= set(PYTHON_ARGV.findall(text))
        if is_shell(path, text):
            for line in text.splitlines():
                code = line.split(" #", 1)[0]
                if code.lstrip().startswith("#"):
                    continue
                names |= {n for n in SHELL_COMMAND.findall(code) if n not in SHELL_WORDS}
        for name in names:
            found.setdefault(name, path)
    return found


def listed() -> set[str]:
    names = set()
    for list_file in (SOURCE / "scripts").glob("packages*.txt"):
        for line in list_file.read_text().splitlines():
            line = line.strip()
            if line and not line.startswith("#"):
                names.add(line)
    return names


def package_of(program: str) -> str | None:
    where = shutil.which(program)
    if where is None:
        return None
    for path in dict.fromkeys([where, str(Path(where).resolve())]):
        # usrmerge: dpkg may know the file under /bin rather than /usr/bin
        for candidate in (path, path.replace("/usr/bin/", "/bin/"), path.replace("/usr/sbin/", "/sbin/")):
            done = subprocess.run(["dpkg-query", "-S", candidate], capture_output=True, text=True)
            for line in done.stdout.splitlines():
                if done.returncode == 0 and not line.startswith("diversion "):
                    return line.split(":", 1)[0].split(",")[0].strip()
    return None


def with_dependencies(packages: set[str]) -> set[str]:
    """The listed packages and what they depend on directly (g++ brings
    g++-12, pkg-config brings pkgconf): installed whenever they are."""
    done = subprocess.run(["dpkg-query", "-W", "-f", "${Package} ${Depends} ${Pre-Depends}\n", *packages],
                          capture_output=True, text=True)
    names = set(packages)
    for line in done.stdout.splitlines():
        for alternatives in line.split(" ", 1)[1].split(",") if " " in line else []:
            first = alternatives.split("|")[0].strip().split(" ")[0].split(":")[0]
            if first:
                names.add(first)
    return names


def priority(package: str) -> str:
    done = subprocess.run(["dpkg-query", "-W", "-f", "${Priority}", package], capture_output=True, text=True)
    return done.stdout.strip()


def main() -> int:
    wanted = with_dependencies(listed())
    missing = []
    for program, where in sorted(programs().items()):
        package = package_of(program)
        if package is None or package in wanted or priority(package) == "required":
            continue
        missing.append(f"{program} (package {package}), run by {where.relative_to(SOURCE)}")
    if missing:
        print("programs from packages that scripts/packages*.txt does not name:")
        print("\n".join("  " + m for m in missing))
        return 1
    print("every program the scripts and tests run is in the package lists or in every Debian root")
    return 0


if __name__ == "__main__":
    sys.exit(main())
