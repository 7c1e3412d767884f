# SPDX-License-Identifier: MIT
"""What the daemon keeps for the page: channel names in its state folder,
the counters' history with resets marked (no spike after a clear), and
who made each change of the outputs."""

from __future__ import annotations

import csv
import io
from pathlib import Path

import pytest
import requests

from modbus_rig import AUTH, Rig, eventually
from test_events import reader_on


@pytest.fixture
def kept(rig: Rig) -> tuple[Rig, str]:
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http_with_token("--module", "1=7401:3", "--state-dir", str(Path(rig.root, "state")),
                                     "--watch-interval", "10")
    return rig, base


@pytest.mark.parametrize("body, status", [
    ({"inputs": ["door closed", "", "pump 2"], "outputs": ["lamp"]}, 200),
    ({"inputs": ["x"] * 17}, 422),                 # the module has 16
    ({"inputs": ["a" * 41]}, 422),                 # over 40 bytes
    ({"inputs": ["tab\there"]}, 422),              # a control character
    ({"inputs": [3]}, 422),
    ({"names": []}, 422),
])
def test_labels_are_checked(kept: tuple[Rig, str], body: dict[str, object], status: int) -> None:
    rig, base = kept
    answer = requests.put(f"{base}/api/modules/1/labels", json=body, headers=AUTH, timeout=5)
    assert answer.status_code == status, answer.text
    assert requests.put(f"{base}/api/modules/1/labels", json=body, timeout=5).status_code == 401


def test_labels_survive_a_restart_and_show_in_the_state(kept: tuple[Rig, str]) -> None:
    rig, base = kept
    names = {"inputs": ["door closed", "", "pump 2"], "outputs": ["lamp"]}
    assert requests.put(f"{base}/api/modules/1/labels", json=names, headers=AUTH, timeout=5).json() == names
    rig.stop()
    rig.start_http_with_token("--module", "1=7401:3", "--state-dir", str(Path(rig.root, "state")))
    assert requests.get(f"{base}/api/modules/1/labels", timeout=5).json() == names
    assert requests.get(f"{base}/api/modules/1", timeout=5).json()["labels"] == names
    # A kind left out keeps its names.
    assert requests.put(f"{base}/api/modules/1/labels", json={"outputs": ["lamp 2"]}, headers=AUTH,
                        timeout=5).json() == {"inputs": names["inputs"], "outputs": ["lamp 2"]}


def test_history_marks_a_clear_and_downloads_as_csv(kept: tuple[Rig, str]) -> None:
    rig, base = kept
    reader = reader_on(f"{base}/api/modules/1/events")  # a watcher: the daemon samples
    rig.sim("pulse", rig.root, "sg0", "4", "200", "1000")

    def samples() -> list[dict[str, object]]:
        return requests.get(f"{base}/api/modules/1/history?seconds=60", timeout=5).json()["samples"]

    assert eventually(lambda: any(s["counters"][4] == 200 for s in samples()), 10)  # type: ignore[index]
    assert requests.post(f"{base}/api/modules/1/counters/clear", json={"mask": "0x10"}, headers=AUTH,
                         timeout=5).status_code == 200
    rig.sim("pulse", rig.root, "sg0", "4", "5", "1000")
    assert eventually(lambda: samples()[-1]["counters"][4] == 5, 10)  # type: ignore[index]
    history = samples()
    after = next(i for i, s in enumerate(history) if s["counters"][4] < 200 and i > 0)  # type: ignore[index]
    assert int(str(history[after]["resets"]), 16) & 0x10, "the drop is marked as a reset, not a wrap"
    download = requests.get(f"{base}/api/modules/1/history?seconds=60&format=csv", timeout=5)
    assert download.headers["Content-Type"].startswith("text/csv")
    rows = list(csv.reader(io.StringIO(download.text)))
    assert ",".join(rows[0][:2]) == "time,counter0" and rows[0][-1] == "reset" and len(rows) == len(history) + 1
    reader.close()


def test_each_change_of_the_outputs_says_who_made_it(kept: tuple[Rig, str]) -> None:
    rig, base = kept
    reader = reader_on(f"{base}/api/modules/1/events")
    assert requests.put(f"{base}/api/modules/1/outputs", json={"mask": 1, "value": 1}, headers=AUTH,
                        timeout=5).status_code == 200
    rig.client().write_coil(1, True, slave=1)
    rig.kdxio("-p", "7401", "-b", "3", "do", "set", "0x0080")

    def by() -> list[str]:
        return [data["by"] for _, name, data in reader.events if name == "outputs"]

    assert reader.wait(lambda: by()[:3] == ["http", "modbus", "another program"]), by()
    reader.close()
