# SPDX-License-Identifier: MIT
"""GET /metrics as Prometheus reads it: promtool's check passes, and an
input's pulse total only grows, across a clear and a re-plug."""

from __future__ import annotations

import re
import subprocess
import time
from pathlib import Path

import pytest
import requests

from modbus_rig import AUTH, Rig, eventually
from test_events import reader_on


def scrape(base: str) -> str:
    answer = requests.get(f"{base}/metrics", timeout=10)
    assert answer.status_code == 200 and answer.headers["Content-Type"].startswith("text/plain; version=0.0.4")
    check = subprocess.run(["promtool", "check", "metrics"], input=answer.text, capture_output=True, text=True,
                           timeout=30)
    assert check.returncode == 0, check.stdout + check.stderr
    return answer.text


def value(text: str, series: str) -> float:
    found = re.search("^" + re.escape(series) + r" (\S+)$", text, re.M)
    assert found, series
    return float(found.group(1))


def test_metrics_pass_promtool_and_pulse_totals_only_grow(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    started = time.time()
    base = rig.start_http_with_token("--module", "1=7401:3", "--module", "2=7401:9")
    pulses = 'kdx7400_input_pulses_total{unit="1",channel="4"}'
    rig.sim("pulse", rig.root, "sg0", "4", "100", "1000")
    text = scrape(base)
    assert value(text, pulses) == 100
    # When the total began, to the millisecond (not rounded to 10 s).
    assert started - 0.01 <= value(text, 'kdx7400_input_pulses_created{unit="1",channel="4"}') <= time.time()
    assert value(text, 'kdx7400_plugged{unit="1"}') == 1 and value(text, 'kdx7400_plugged{unit="2"}') == 0
    assert value(text, 'kdx7400_clients{front_end="http"}') >= 1
    assert value(text, 'kdx7400_request_duration_seconds_count{unit="1"}') >= 1
    # A clear through the daemon keeps what was counted before it.
    rig.sim("pulse", rig.root, "sg0", "4", "20", "1000")
    assert requests.post(f"{base}/api/modules/1/counters/clear", json={"mask": "0x10"}, headers=AUTH,
                         timeout=5).status_code == 200
    rig.sim("pulse", rig.root, "sg0", "4", "30", "1000")
    assert value(scrape(base), pulses) == 150
    # A module powered up afresh counts from 0 again: the total goes on.
    rig.sim("unplug", rig.root, "sg0")
    assert eventually(lambda: value(scrape(base), 'kdx7400_plugged{unit="1"}') == 0)
    rig.sim("plug", rig.root, "sg0")
    # It counts more than it held before it went, before the daemon reads it.
    rig.sim("pulse", rig.root, "sg0", "4", "70", "1000")
    assert eventually(lambda: value(scrape(base), 'kdx7400_plugged{unit="1"}') == 1)
    assert value(scrape(base), pulses) == 220
    outputs = requests.put(f"{base}/api/modules/1/outputs", json={"mask": 3, "value": 2}, headers=AUTH, timeout=5)
    assert outputs.status_code == 200
    text = scrape(base)
    assert [value(text, f'kdx7400_output{{unit="1",channel="{c}"}}') for c in (0, 1)] == [0, 1]


@pytest.mark.parametrize("watched", [False, True], ids=["nothing-watching", "watch-sampling"])
def test_a_scrape_reads_only_what_it_shows_and_nothing_the_watch_keeps_current(rig: Rig, watched: bool) -> None:
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http_with_token("--module", "1=7401:3", "--watch-interval", "2000")
    rig.sim("inputs", rig.root, "sg0", "0x5")
    stream = reader_on(f"{base}/api/events") if watched else None
    time.sleep(0.3)  # the watch's first sample taken; its next is 2 s on
    scrape(base)  # the watch's first sample reads no outputs: this one may
    Path(rig.root, "log").write_text("")
    texts = [scrape(base) for _ in range(3)]
    # Inputs, outputs and counters: READ(10) three times, no setting read.
    assert rig.transfers() == ([] if watched else ["28"] * 9)
    for text in texts:
        assert [value(text, f'kdx7400_input{{unit="1",channel="{c}"}}') for c in (0, 1, 2)] == [1, 0, 1]
    if stream is not None:
        stream.close()


def test_pulse_totals_count_each_pulse_once_when_a_clear_comes_between_the_watchs_samples(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http_with_token("--module", "1=7401:3", "--watch-interval", "1000")
    stream = reader_on(f"{base}/api/events")
    time.sleep(1.3)  # two samples taken (the second reads the outputs too): a scrape now takes the watch's values
    rig.sim("pulse", rig.root, "sg0", "4", "10", "1000")
    # Clearing input 5 reads every counter, input 4's 10 pulses among them,
    # before the watch has seen them.
    assert requests.post(f"{base}/api/modules/1/counters/clear", json={"mask": "0x20"}, headers=AUTH,
                         timeout=5).status_code == 200
    pulses = 'kdx7400_input_pulses_total{unit="1",channel="4"}'
    assert value(scrape(base), pulses) == 10
    time.sleep(1.0)  # the watch's next sample has the same 10
    assert value(scrape(base), pulses) == 10
    stream.close()
