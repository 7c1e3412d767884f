# SPDX-License-Identifier: MIT
"""Virtual modules for the Python tests: each test gets a testbed of its own
that kdx7400-sim builds, and helpers to drive and inspect it. The tests run
with libkdx7400-sim.so preloaded (see tests/CMakeLists.txt)."""

from __future__ import annotations

import json
import os
import subprocess
import tempfile
from pathlib import Path
from typing import Any, Iterator

import pytest

SIM = os.environ["KDX7400_SIM"]


class Bed:
    """A testbed directory and what a test does with it."""

    def __init__(self, root: str) -> None:
        self.root = root

    def sim(self, *args: str) -> str:
        return subprocess.run([SIM, *args], check=True, capture_output=True, text=True).stdout

    def add(self, description: str) -> None:
        self.sim("create", self.root, "--module", description)

    def state(self, node: str = "sg0") -> dict[str, Any]:
        return json.loads(self.sim("show", self.root, node, "--json"))  # type: ignore[no-any-return]

    def inputs(self, levels: int, node: str = "sg0") -> None:
        self.sim("inputs", self.root, node, hex(levels))

    def unplug(self, node: str = "sg0") -> None:
        self.sim("unplug", self.root, node)

    def fault(self, kind: str, node: str = "sg0", opcode: int = -1) -> None:
        self.sim("fault", self.root, node, kind, "--opcode", str(opcode))

    def transfers(self) -> list[dict[str, str]]:
        """SG_IO commands since the last clear, as key=value fields."""
        lines = Path(self.root, "log").read_text().splitlines()
        return [dict(f.split("=", 1) for f in line.split()[1:]) for line in lines if line.startswith("sgio")]

    def clear(self) -> None:
        Path(self.root, "log").write_text("")


@pytest.fixture
def bed() -> Iterator[Bed]:
    with tempfile.TemporaryDirectory(prefix="kdx7400-py-") as root:
        previous = os.environ.get("KDX7400_SIM_TESTBED")
        os.environ["KDX7400_SIM_TESTBED"] = root
        yield Bed(root)
        if previous is None:
            del os.environ["KDX7400_SIM_TESTBED"]
        else:
            os.environ["KDX7400_SIM_TESTBED"] = previous
