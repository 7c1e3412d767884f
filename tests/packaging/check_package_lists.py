#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Every program the scripts and tests run comes from a Debian package that
scripts/packages*.txt names, or from one every Debian root has (priority
required, as a debootstrap minbase root holds). A program found only
because this machine happens to have it fails a fresh machine's
./scripts/test after many minutes; this check fails in a second.
Programs are looked up where a fresh Debian root has them, never in a
developer's own folders (a pyenv shim is no package). One in /usr/sbin
run by its bare name is missing on a normal user's PATH: it is named by
its full path, or the file sets a PATH with /usr/sbin itself."""

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
# A fresh root's PATH, and the part of it a normal user has.
SYSTEM_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
USER_PATH = "/usr/local/bin:/usr/bin:/bin"
SETS_SBIN_PATH = re.compile(r'PATH=\S*/usr/sbin')
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


def programs() -> tuple[dict[str, Path], dict[str, Path]]:
    """Every program started, and those started by a bare name in a file
    that does not put /usr/sbin on its PATH itself."""
    found: dict[str, Path] = {}
    bare: dict[str, Path] = {}
    for path in sources():
        text = path.read_text(errors="replace")
        names = set()
        if path.suffix == ".py":
            names |= set(PYTHON_ARGV.findall(text))
        if is_shell(path, text):
            for line in text.splitlines():
                code = line.split(" #", 1)[0]
                if code.lstrip().startswith("#"):
                    continue
                names |= {n for n in SHELL_COMMAND.findall(code) if n not in SHELL_WORDS}
        if not SETS_SBIN_PATH.search(text):
            for name in names:
                bare.setdefault(name, path)
        for name in names | set(USR_BIN.findall(text)):
            found.setdefault(name, path)
    return found, bare


def listed() -> set[str]:
    names = set()
    for list_file in (SOURCE / "scripts").glob("packages*.txt"):
        for line in list_file.read_text().splitlines():
            line = line.strip()
            if line and not line.startswith("#"):
                names.add(line)
    return names


def package_of(program: str) -> str | None:
    where = shutil.which(program, path=SYSTEM_PATH)
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


def first_choices(relations: str) -> set[str]:
    """The packages a Depends or Pre-Depends field installs for sure: the
    first of each set of alternatives, without version or architecture."""
    names = set()
    for alternatives in relations.split(","):
        first = alternatives.split("|")[0].strip().split(" ")[0].split(":")[0]
        if first:
            names.add(first)
    return names


def with_dependencies(packages: set[str]) -> set[str]:
    """The listed packages and what they depend on directly (g++ brings
    g++-12, pkg-config brings pkgconf, python3 pre-depends on
    python3-minimal): installed whenever they are."""
    done = subprocess.run(["dpkg-query", "-W", "-f", "${Depends}\t${Pre-Depends}\n", *packages],
                          capture_output=True, text=True)
    names = set(packages)
    for line in done.stdout.splitlines():
        for field in line.split("\t"):
            names |= first_choices(field)
    return names


def priority(package: str) -> str:
    done = subprocess.run(["dpkg-query", "-W", "-f", "${Priority}", package], capture_output=True, text=True)
    return done.stdout.strip()


def main() -> int:
    wanted = with_dependencies(listed())
    found, bare = programs()
    missing = []
    for program, where in sorted(bare.items()):
        if shutil.which(program, path=USER_PATH) is None and shutil.which(program, path=SYSTEM_PATH):
            missing.append(f"{program} is in /usr/sbin, off a normal user's PATH: run by {where.relative_to(SOURCE)}"
                           " by its bare name")
    for program, where in sorted(found.items()):
        package = package_of(program)
        if package is None or package in wanted or priority(package) == "required":
            continue
        missing.append(f"{program} (package {package}), run by {where.relative_to(SOURCE)}")
    if missing:
        print("programs from packages that scripts/packages*.txt does not name, or off a user's PATH:")
        print("\n".join("  " + m for m in missing))
        return 1
    print("every program the scripts and tests run is in the package lists or in every Debian root")
    return 0


if __name__ == "__main__":
    sys.exit(main())
