# SPDX-License-Identifier: MIT
"""With --all, each module keeps its unit: node order at first, then the
unit it had, across restarts and re-plugs, idle or busy, also beside an
identical module. A unit is checked by what reaches the module: a write to
it through Modbus, seen in the module's own state."""

from __future__ import annotations

import threading
import time
from pathlib import Path

import requests

from modbus_rig import Rig, eventually, exception_of


def start_all(rig: Rig) -> None:
    rig.start("--all", "--state-dir", str(Path(rig.root, "state")))


def node_of_unit(rig: Rig, unit: int, nodes: list[str]) -> str | None:
    """Writes a pattern to the unit's outputs; the node that shows it."""
    pattern = (unit * 37) % 255 + 1
    client = rig.client()
    try:
        response = client.write_coils(0, [bool(pattern >> i & 1) for i in range(8)], slave=unit)
        if response.isError():
            return None
    finally:
        client.close()
    shown = [n for n in nodes if rig.state(n)["outputs"] & 0xFF == pattern]
    return shown[0] if len(shown) == 1 else None


def test_units_follow_node_order_not_directory_order(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=4,sg=1")
    rig.add("pid=0x7401,bid=3,sg=0")
    start_all(rig)
    assert node_of_unit(rig, 1, ["sg0", "sg1"]) == "sg0"
    assert node_of_unit(rig, 2, ["sg0", "sg1"]) == "sg1"


def test_a_restart_keeps_each_modules_unit(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")  # sg0
    rig.add("pid=0x7401,bid=4")  # sg1
    start_all(rig)
    assert node_of_unit(rig, 2, ["sg0", "sg1"]) == "sg1"
    rig.stop()
    rig.sim("unplug", rig.root, "sg0")
    base = rig.start_http("--all", "--state-dir", str(Path(rig.root, "state")))
    # Alone now, bid 4 is still unit 2; unit 1 waits for its own module,
    # and says so: absent (0x0B, 503), not a unit never served (0x0A, 404).
    assert node_of_unit(rig, 2, ["sg1"]) == "sg1"
    c = rig.client()
    assert exception_of(c.read_coils(0, 1, slave=1)) == 0x0B
    assert exception_of(c.read_coils(0, 1, slave=3)) == 0x0A
    listed = {m["id"]: m for m in requests.get(f"{base}/api/modules", timeout=5).json()["modules"]}
    assert listed[1]["present"] is False and listed[1]["target"] == "0x7401:3" and listed[2]["present"]
    assert requests.get(f"{base}/api/modules/1", timeout=5).status_code == 503
    rig.add("pid=0x7401,bid=3")  # back, on sg2
    assert eventually(lambda: node_of_unit(rig, 1, ["sg1", "sg2"]) == "sg2")
    c.close()
    assert "units of 2 modules from" in rig.stop()


def test_a_module_plugged_back_returns_to_its_own_unit(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")  # sg0
    rig.add("pid=0x7401,bid=4")  # sg1
    start_all(rig)
    assert node_of_unit(rig, 1, ["sg0", "sg1"]) == "sg0"
    # Idle: unit 1 has not touched its module since it went.
    rig.sim("unplug", rig.root, "sg0")
    rig.add("pid=0x7401,bid=3")  # sg2
    assert eventually(lambda: node_of_unit(rig, 1, ["sg1", "sg2"]) == "sg2")
    # Twice in a row, the second time on a node the first one had.
    rig.sim("unplug", rig.root, "sg2")
    rig.sim("plug", rig.root, "sg0")
    assert eventually(lambda: node_of_unit(rig, 1, ["sg0", "sg1"]) == "sg0")
    # Busy: a master keeps polling unit 1 all along.
    stop = threading.Event()
    errors: list[int] = []

    def poll() -> None:
        c = rig.client()
        while not stop.is_set():
            response = c.read_coils(0, 1, slave=1)
            if response.isError():
                errors.append(int(response.exception_code))
        c.close()

    poller = threading.Thread(target=poll)
    poller.start()
    time.sleep(0.3)
    rig.sim("unplug", rig.root, "sg0")
    rig.sim("plug", rig.root, "sg2")
    assert eventually(lambda: node_of_unit(rig, 1, ["sg1", "sg2"]) == "sg2")
    stop.set()
    poller.join(timeout=10)
    assert set(errors) <= {4, 0x0B}, errors
    c = rig.client()
    for unit in (3, 4):
        assert exception_of(c.read_coils(0, 1, slave=unit)) == 0x0A, f"unit {unit}: one module, one unit"
    c.close()


def test_identical_modules_get_distinct_units_that_stay(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")  # sg0
    rig.add("pid=0x7401,bid=3")  # sg1
    rig.add("pid=0x7401,bid=5")  # sg2
    start_all(rig)
    assert [node_of_unit(rig, u, ["sg0", "sg1", "sg2"]) for u in (1, 2, 3)] == ["sg0", "sg1", "sg2"]
    # One of the twins goes and comes back: it takes its twin's free unit,
    # never a third one, and the other twin and bid 5 keep theirs.
    rig.sim("unplug", rig.root, "sg1")
    rig.add("pid=0x7401,bid=3")  # a third twin's node, sg3, while sg1 is away
    assert eventually(lambda: node_of_unit(rig, 2, ["sg0", "sg2", "sg3"]) == "sg3")
    rig.sim("unplug", rig.root, "sg3")
    rig.sim("plug", rig.root, "sg1")
    assert eventually(lambda: node_of_unit(rig, 2, ["sg0", "sg1", "sg2"]) == "sg1")
    assert node_of_unit(rig, 1, ["sg0", "sg1", "sg2"]) == "sg0"
    assert node_of_unit(rig, 3, ["sg0", "sg1", "sg2"]) == "sg2"
    c = rig.client()
    assert exception_of(c.read_coils(0, 1, slave=4)) == 0x0A
    c.close()
    log = rig.stop()
    assert "another module with these IDs has unit 1" in log
    start_all(rig)
    assert [node_of_unit(rig, u, ["sg0", "sg1", "sg2"]) for u in (1, 2, 3)] == ["sg0", "sg1", "sg2"]
