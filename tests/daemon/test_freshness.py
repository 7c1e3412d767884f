# SPDX-License-Identifier: MIT
"""Every value kdx7400d shows says how fresh it is: through a watch paused
for an armed watchdog and a module that hangs, the HTTP state, the event
streams, the Modbus status registers and /metrics tell the same story, and
a reader never needs to poll to learn it."""

from __future__ import annotations

import time
from typing import Any

import requests

from modbus_rig import AUTH, Rig, eventually
from test_events import reader_on

VALUES = ("inputs", "outputs", "counters", "settings")
PRESENT, RESPONDING, WATCHING, PAUSED = 1, 2, 4, 8


def status(rig: Rig, unit: int) -> list[int]:
    client = rig.client()
    answer = client.read_input_registers(1100, 2, slave=unit)
    client.close()
    assert not answer.isError(), answer
    return list(answer.registers)


def metric(base: str, name: str, unit: int) -> float:
    text = requests.get(f"{base}/metrics", timeout=5).text
    prefix = f'{name}{{unit="{unit}"}} '
    return float(next(line[len(prefix):] for line in text.splitlines() if line.startswith(prefix)))


def monitor(base: str, unit: int) -> dict[str, Any]:
    answer = requests.get(f"{base}/api/modules/{unit}?monitor", timeout=5)
    assert answer.status_code == 200, answer.text
    return answer.json()  # type: ignore[no-any-return]


def test_a_paused_watch_is_told_and_its_values_are_stale_on_every_front_end(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http_with_token("--module", "1=7401:3", "--watch-interval", "20")
    viewer = reader_on(f"{base}/api/modules/1/events")
    assert viewer.wait(lambda: any(d["watch"] == "watching" for d in viewer.named("watch")))
    state = monitor(base, 1)
    assert {state["quality"][v]["quality"] for v in VALUES} == {"current"}, state["quality"]
    assert (state["present"], state["responding"], state["watch"]) == (True, True, "watching")
    bits, age = status(rig, 1)
    assert bits == PRESENT | RESPONDING | WATCHING and age <= 3

    # A client arms the watchdog: a quarter of its time-out later the watch
    # pauses, says why, and what was read before is stale from then on.
    assert requests.patch(f"{base}/api/modules/1/settings", json={"watchdog_timeout": 2000}, headers=AUTH,
                          timeout=5).status_code == 200
    assert viewer.wait(lambda: any(d["watch"] == "paused" for d in viewer.named("watch")), 3)
    paused = [d for d in viewer.named("watch") if d["watch"] == "paused"][0]
    assert paused["watchdog_timeout"] == 2000 and "watchdog" in paused["why"]
    rig.sim("inputs", rig.root, "sg0", "0x1")  # nobody reads it now
    time.sleep(1.0)
    state = monitor(base, 1)
    assert state["inputs"] == "0x0000000000000000" and state["watch"].startswith("paused")
    inputs = state["quality"]["inputs"]
    assert inputs["quality"] == "stale" and inputs["age"] >= 0.9 and abs(time.time() - inputs["time"] - inputs["age"]) < 1
    assert state["quality"]["watch"]["state"] == "paused"
    bits, age = status(rig, 1)
    assert bits == PRESENT | RESPONDING | PAUSED and age >= 9
    assert metric(base, "kdx7400_sample_age_seconds", 1) >= 0.9
    late = reader_on(f"{base}/api/modules/1/events")  # its hello: what is known, not a read on its behalf
    assert late.named("hello")[0]["state"]["quality"]["inputs"]["quality"] == "stale"
    assert not any(d["kind"] == "rising" for d in viewer.named("input"))

    # Turned off: the watch resumes, and the input that rose shows.
    assert requests.patch(f"{base}/api/modules/1/settings", json={"watchdog_timeout": 0}, headers=AUTH,
                          timeout=5).status_code == 200
    assert viewer.wait(lambda: viewer.named("watch")[-1]["watch"] == "watching", 3)
    assert viewer.wait(lambda: any(d["kind"] == "rising" and d["channel"] == 0 for d in viewer.named("input")), 3)
    assert monitor(base, 1)["quality"]["inputs"]["quality"] == "current"
    viewer.close()
    late.close()


def test_a_module_that_hangs_is_present_and_not_responding_until_it_answers(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    rig.add("pid=0x7401,bid=4")
    base = rig.start_http("--module", "1=7401:3", "--module", "2=7401:4", "--watch-interval", "20")
    viewer = reader_on(f"{base}/api/events")
    assert viewer.wait(lambda: any(d["unit"] == 2 and d["watch"] == "watching" for d in viewer.named("watch")))
    # Its sample hangs past the stall time, and so does the first reopen.
    rig.sim("fault", rig.root, "sg1", "hang", "--delay", "5200", "--times", "2")
    assert viewer.wait(lambda: any(d["unit"] == 2 for d in viewer.named("responding")), 8)
    lost = [d for d in viewer.named("responding") if d["unit"] == 2][0]
    assert lost["responding"] is False and "answer" in lost["why"]
    assert not any(d["unit"] == 2 for d in viewer.named("unplugged")), "a hang is no unplug"
    listed = {m["id"]: m for m in requests.get(f"{base}/api/modules", timeout=5).json()["modules"]}
    assert (listed[2]["present"], listed[2]["responding"]) == (True, False)
    assert listed[2]["watch"].startswith("stopped: the module does not answer")
    assert (listed[1]["present"], listed[1]["responding"]) == (True, True)
    assert (metric(base, "kdx7400_plugged", 2), metric(base, "kdx7400_responding", 2)) == (1, 0)
    assert metric(base, "kdx7400_responding", 1) == 1
    assert status(rig, 2)[0] == PRESENT
    # The paced reopen finds it answering: said once, as an event.
    assert viewer.wait(lambda: [d["responding"] for d in viewer.named("responding") if d["unit"] == 2] == [False, True],
                       15)
    assert eventually(lambda: status(rig, 2)[0] == PRESENT | RESPONDING | WATCHING, 3)
    assert not any(d["unit"] == 2 for d in viewer.named("plugged"))
    viewer.close()
