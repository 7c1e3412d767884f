# SPDX-License-Identifier: MIT
"""Events that lose nothing: one sample baseline however many readers come
and go, a number per unit and one across units, resume with Last-Event-ID
from the ring, and a gap event when the ring (or the run) no longer holds
what a reader missed."""

from __future__ import annotations

import json
import os
import subprocess
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Callable

import requests

from modbus_rig import AUTH, PRELOAD, Rig, eventually, exception_of


@dataclass
class Reader:
    """An event stream read on a thread of its own, as (id, name, data)."""
    url: str
    last_id: str | None = None
    events: list[tuple[str, str, dict[str, Any]]] = field(default_factory=list)
    stop: threading.Event = field(default_factory=threading.Event)

    def __post_init__(self) -> None:
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self) -> None:
        headers = {"Last-Event-ID": self.last_id} if self.last_id else {}
        try:
            with requests.get(self.url, stream=True, timeout=20, headers=headers) as response:
                response.encoding = "utf-8"  # what an event stream always is
                ident, name = "", ""
                for line in response.iter_lines(decode_unicode=True):
                    if self.stop.is_set():
                        return
                    if line.startswith("id: "):
                        ident = line[4:]
                    elif line.startswith("event: "):
                        name = line[7:]
                    elif line.startswith("data: "):
                        self.events.append((ident, name, json.loads(line[6:])))
                        ident = ""
        except requests.RequestException:
            pass

    def wait(self, check: Callable[[], bool], timeout: float = 5.0) -> bool:
        return eventually(check, timeout)

    def named(self, name: str) -> list[dict[str, Any]]:
        return [d for _, n, d in list(self.events) if n == name]

    def close(self) -> None:
        self.stop.set()


def reader_on(url: str, last_id: str | None = None) -> Reader:
    """A reader that has had its hello."""
    reader = Reader(url, last_id)
    assert reader.wait(lambda: bool(reader.named("hello")))
    return reader


def edges_seen(reader: Reader, channel: int) -> int:
    """Rising edges on a channel: each rising event, and each counted pulse."""
    total = 0
    for data in reader.named("input"):
        if data["channel"] == channel:
            total += data["count"] if data["kind"] == "pulses" else int(data["kind"] == "rising")
    return total


def test_readers_coming_and_going_lose_no_other_readers_pulses(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http("--module", "1=7401:3", "--watch-interval", "10")
    steady = reader_on(f"{base}/api/modules/1/events")
    time.sleep(0.1)
    churn_stop = threading.Event()

    def churn() -> None:  # 20 new readers a second, each gone after its hello
        while not churn_stop.is_set():
            with requests.get(f"{base}/api/modules/1/events", stream=True, timeout=5) as response:
                for line in response.iter_lines(decode_unicode=True):
                    if line.startswith("data: "):
                        break
            time.sleep(0.05)

    churner = threading.Thread(target=churn)
    churner.start()
    rig.sim("pulse", rig.root, "sg0", "4", "3000", "300")  # 3000 pulses over about 2 s
    time.sleep(0.5)
    churn_stop.set()
    churner.join(timeout=10)
    assert steady.wait(lambda: edges_seen(steady, 4) >= 3000)
    time.sleep(0.2)
    assert edges_seen(steady, 4) == 3000
    steady.close()


def test_a_reader_resumes_where_it_left_off(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http("--module", "1=7401:3", "--watch-interval", "10")
    first = reader_on(f"{base}/api/modules/1/events")
    hello = first.named("hello")[0]
    assert hello["state"]["outputs"] == "0x0000000000000000" and hello["unit"] == 1
    time.sleep(0.1)
    for level in ("0x1", "0x0", "0x1"):
        rig.sim("inputs", rig.root, "sg0", level)
        time.sleep(0.05)
    assert first.wait(lambda: len(first.named("input")) == 3)
    numbers = [d["seq"] for d in first.named("input")]
    assert numbers == list(range(numbers[0], numbers[0] + 3))
    assert all(ident == f"{hello['boot']}:{d['seq']}" for ident, n, d in first.events if n == "input")
    last = [ident for ident, n, _ in first.events if n == "input"][-1]
    first.close()
    time.sleep(0.2)
    # Away: what happens now is kept for it.
    for level in ("0x0", "0x1", "0x0"):
        rig.sim("inputs", rig.root, "sg0", level)
        time.sleep(0.05)
    time.sleep(0.1)
    back = Reader(f"{base}/api/modules/1/events", last_id=last)
    assert back.wait(lambda: len(back.named("input")) == 3)
    assert not back.named("gap")
    assert [d["seq"] for d in back.named("input")] == [numbers[-1] + 1, numbers[-1] + 2, numbers[-1] + 3]
    assert [d["kind"] for d in back.named("input")] == ["falling", "rising", "falling"]
    back.close()


def test_a_reader_is_told_what_it_cannot_have(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http("--module", "1=7401:3")
    other_run = reader_on(f"{base}/api/modules/1/events", last_id="0123456789abcdef:17")
    assert other_run.events[0][1] == "gap" and other_run.named("gap")[0]["reason"] == "the daemon restarted"
    assert other_run.named("hello")[0]["state"] is not None, "a full state after the gap"
    other_run.close()
    reader = reader_on(f"{base}/api/modules/1/events")
    position = reader.events[-1][0]
    reader.close()
    client = rig.client()
    for i in range(4200):  # more than the ring keeps
        assert not client.write_coil(0, i % 2 == 0, slave=1).isError()
    client.close()
    # Past the ring: a gap, then the state now to start again from, and
    # only what happens after that state.
    for url in (f"{base}/api/modules/1/events", f"{base}/api/events"):
        back = reader_on(url, last_id=position)
        assert [n for _, n, _ in back.events][:2] == ["gap", "hello"], url
        assert back.named("gap")[0]["reason"] == "the events after it are no longer kept"
        hello = back.named("hello")[0]
        if "modules" in hello:  # what a new reader of every unit is given
            assert [m["id"] for m in hello["modules"]] == [1], url
        else:
            assert hello["state"]["outputs"] == "0x0000000000000000", url
        time.sleep(0.3)
        assert not back.named("outputs"), "no event older than the state"
        rig.client().write_coil(0, True, slave=1)
        assert back.wait(lambda: [d["outputs"] for d in back.named("outputs")] == ["0x0000000000000001"]), url
        assert back.named("outputs")[0]["seq"] > 4200
        rig.client().write_coil(0, False, slave=1)
        back.close()


def test_one_stream_carries_every_unit_in_one_order(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    rig.add("pid=0x7401,bid=4")
    base = rig.start_http("--module", "1=7401:3", "--module", "2=7401:4", "--watch-interval", "10")
    every = reader_on(f"{base}/api/events")
    assert [m["id"] for m in every.named("hello")[0]["modules"]] == [1, 2]
    time.sleep(0.1)
    rig.sim("inputs", rig.root, "sg0", "0x1")
    rig.sim("inputs", rig.root, "sg1", "0x2")
    assert every.wait(lambda: len(every.named("input")) == 2)
    assert {d["unit"] for d in every.named("input")} == {1, 2}
    numbers = [d["global"] for d in every.named("input")]
    assert numbers == sorted(numbers)
    last = every.events[-1][0]
    every.close()
    rig.sim("inputs", rig.root, "sg1", "0x0")
    time.sleep(0.1)
    back = Reader(f"{base}/api/events", last_id=last)
    assert back.wait(lambda: len(back.named("input")) == 1)
    assert back.named("input")[0]["unit"] == 2 and back.named("input")[0]["global"] == numbers[-1] + 1
    back.close()


def test_outputs_another_program_changes_show_at_the_next_sample(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http("--module", "1=7401:3", "--watch-interval", "10")
    reader = reader_on(f"{base}/api/modules/1/events")
    time.sleep(0.1)
    rig.kdxio("-p", "7401", "-b", "3", "do", "set", "0x0081")
    assert reader.wait(lambda: any(d["outputs"] == "0x0000000000000081" for d in reader.named("outputs")))
    reader.close()


def test_a_cleared_counter_is_a_reset_and_counts_from_zero(rig: Rig) -> None:
    """A clear, through the API or by another program, is a reset event and
    the pulses after it; never the billions a decrease read as a wrap made."""
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http_with_token("--module", "1=7401:3", "--watch-interval", "10")
    reader = reader_on(f"{base}/api/modules/1/events")

    def inputs_on_2() -> list[tuple[str, int]]:
        return [(d["kind"], d["count"]) for d in reader.named("input") if d["channel"] == 2]

    clears = [
        ("through the API", lambda: requests.post(f"{base}/api/modules/1/counters/clear", json={"mask": "0x4"},
                                                  headers=AUTH, timeout=5).raise_for_status()),
        ("by another program", lambda: rig.kdxio("-p", "7401", "-b", "3", "counter", "clear", "0x4")),
    ]
    for what, clear in clears:
        rig.sim("pulse", rig.root, "sg0", "2", "100")
        assert reader.wait(lambda: ("pulses", 100) in inputs_on_2()), what
        before = len(inputs_on_2())
        clear()
        assert reader.wait(lambda: ("reset", 0) in inputs_on_2()[before:]), what
        rig.sim("pulse", rig.root, "sg0", "2", "5")
        assert reader.wait(lambda: ("pulses", 5) in inputs_on_2()[before:]), what
        assert all(count <= 100 for _, count in inputs_on_2()), (what, inputs_on_2())
    reader.close()


def test_settings_changed_anywhere_are_an_event_within_two_seconds(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http_with_token("--module", "1=7401:3", "--watch-interval", "100")
    reader = reader_on(f"{base}/api/modules/1/events")
    started = time.monotonic()
    rig.kdxio("-p", "7401", "-b", "3", "di", "filter", "77")
    assert reader.wait(lambda: any(d["settings"]["filter"] == 77 for d in reader.named("settings")), 2.0)
    assert time.monotonic() - started < 2.0
    assert reader.named("settings")[-1]["by"] == "another program"
    assert requests.patch(f"{base}/api/modules/1/settings", json={"nickname": "bench 2"}, headers=AUTH,
                          timeout=5).status_code == 200
    assert reader.wait(lambda: any(d["settings"]["nickname"] == "bench 2" and d["by"] == "http"
                                   for d in reader.named("settings")))
    time.sleep(1.5)  # the next reads find nothing new: no event
    assert len(reader.named("settings")) == 2, reader.named("settings")
    reader.close()


def test_a_nickname_that_is_not_utf8_is_shown_replaced_and_ends_nothing(rig: Rig) -> None:
    """A module's texts are any bytes, from any program: one that is no
    UTF-8 ended the daemon at the first event stream (and at every restart
    after, the module still holding it)."""
    rig.add("pid=0x7401,bid=3")
    env = dict(os.environ, LD_PRELOAD=PRELOAD, KDX7400_SIM_TESTBED=rig.root)
    subprocess.run([os.environ["KDX7400_KDXIO"].encode(), b"-p", b"0x7401", b"-b", b"3", b"name", b"bad\xff\xfename"],
                   env=env, check=True, timeout=10, capture_output=True)
    base = rig.start_http_with_token("--module", "1=7401:3")
    reader = reader_on(f"{base}/api/modules/1/events")
    assert reader.named("hello")[0]["state"]["nickname"] == "bad\ufffd\ufffdname"
    everything = reader_on(f"{base}/api/events")
    # The daemon itself writes no such name: C3 28 is no UTF-8 sequence, nor
    # FFFE, nor 80 81; 01 is a control character.
    with rig.client() as client:
        assert exception_of(client.write_registers(100, [0xC328, 0xFFFE, 0x8081], slave=1)) == 3
        assert exception_of(client.write_registers(100, [0x4101, 0x4200], slave=1)) == 3
    assert requests.get(f"{base}/api/modules/1", timeout=5).json()["nickname"] == "bad\ufffd\ufffdname"  # kept
    refused = requests.patch(f"{base}/api/modules/1/settings", json={"nickname": "a\u0001b"}, headers=AUTH, timeout=5)
    assert refused.status_code == 422 and "UTF-8" in refused.json()["error"]
    # Written by another program while it runs.
    subprocess.run([os.environ["KDX7400_KDXIO"].encode(), b"-p", b"0x7401", b"-b", b"3", b"name", b"\xc3(\xff\xfe"],
                   env=env, check=True, timeout=10, capture_output=True)
    late = reader_on(f"{base}/api/modules/1/events")
    assert late.named("hello")[0]["state"]["nickname"].startswith("\ufffd(")
    assert requests.get(f"{base}/api/modules/1", timeout=5).json()["nickname"].startswith("\ufffd(")
    late_everything = reader_on(f"{base}/api/events")
    assert rig.daemon is not None and rig.daemon.poll() is None
    for r in (reader, everything, late, late_everything):
        r.close()

