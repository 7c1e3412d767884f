# SPDX-License-Identifier: MIT
"""The daemon never keeps an armed watchdog alive on its own behalf: an open
page samples the module only within the watchdog's time-out of a client's
last write. The API turns the watchdog off."""

from __future__ import annotations

import time

import requests

from modbus_rig import AUTH, Rig, eventually
from test_events import reader_on


def expired(rig: Rig) -> bool:
    return bool(rig.state()["watchdog_expired"])




def test_an_open_page_does_not_feed_an_armed_watchdog(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http_with_token("--module", "1=7401:3", "--watch-interval", "20")
    auth = AUTH
    viewer = reader_on(f"{base}/api/modules/1/events")  # the dashboard, open all along
    assert requests.patch(f"{base}/api/modules/1/settings", json={"watchdog_timeout": 300}, headers=auth,
                          timeout=5).status_code == 200
    # The client's write fed it; 300 ms later nothing else may.
    took = eventually(lambda: expired(rig), 3.0)
    assert took, "the daemon's sampling kept the watchdog alive"
    assert requests.get(f"{base}/api/modules/1", timeout=5).json()["watch"].startswith("paused")
    # A client that writes keeps it, and the watch, alive.
    requests.post(f"{base}/api/modules/1/watchdog/clear", json={}, headers=auth, timeout=5)
    assert not expired(rig)
    for n in range(10):
        requests.put(f"{base}/api/modules/1/outputs", json={"mask": 1, "value": 1}, headers=auth, timeout=5)
        if n == 5:
            rig.sim("inputs", rig.root, "sg0", "0x2")
        time.sleep(0.05)
    assert not expired(rig)
    assert viewer.wait(lambda: bool(viewer.named("input")), 2.0), "sampling resumed with the client's writes"
    # Turned off through the API: the watch goes on with no client writing.
    assert requests.patch(f"{base}/api/modules/1/settings", json={"watchdog_timeout": 0}, headers=auth,
                          timeout=5).status_code == 200
    assert rig.state()["watchdog_timeout"] == 0
    time.sleep(0.5)
    rig.sim("inputs", rig.root, "sg0", "0x0")
    assert viewer.wait(lambda: any(d["kind"] == "falling" for d in viewer.named("input")), 2.0)
    viewer.close()


def test_a_watchdog_another_program_arms_is_left_to_expire(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http("--module", "1=7401:3", "--watch-interval", "20")
    viewer = reader_on(f"{base}/api/modules/1/events")
    time.sleep(0.2)
    rig.kdxio("-p", "7401", "-b", "3", "watchdog", "set", "300")
    # Known within a second of sampling, then no longer fed.
    assert eventually(lambda: expired(rig), 4.0)
    # And told: the watch pauses, with the time-out the daemon found.
    assert viewer.wait(lambda: any(d["watch"] == "paused" and d["watchdog_timeout"] == 300
                                   for d in viewer.named("watch")), 2.0)
    viewer.close()


def test_modbus_turns_the_watchdog_off_with_zero(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    rig.start("--module", "1=7401:3")
    c = rig.client()
    assert not c.write_registers(4, [0, 500], slave=1).isError()
    assert rig.state()["watchdog_timeout"] == 500
    assert not c.write_registers(4, [0, 0], slave=1).isError()
    assert rig.state()["watchdog_timeout"] == 0
    assert c.write_registers(4, [0, 99], slave=1).exception_code == 3
    c.close()
