# SPDX-License-Identifier: MIT
"""The audit trail: every write, who made it, before and after, read back
through the journal's own tools (journalctl over a journal file)."""
from __future__ import annotations

import json
import socket
import struct
import subprocess
import time
from pathlib import Path
from typing import Any, Callable

import pytest
import requests

from modbus_rig import AUTH, Rig, eventually

JOURNAL_REMOTE = "/lib/systemd/systemd-journal-remote"


def native_to_export(datagram: bytes, stamp: int) -> bytes:
    """An entry in the journal's native protocol, as journal-remote imports it
    (the export format shares its field encoding), checking that encoding."""
    out = b"__REALTIME_TIMESTAMP=%d\n__MONOTONIC_TIMESTAMP=%d\n" % (stamp, stamp)
    at = 0
    while at < len(datagram):
        line_end = datagram.index(b"\n", at)
        line = datagram[at:line_end]
        if b"=" in line:
            out += line + b"\n"
            at = line_end + 1
        else:  # NAME\n, a 64-bit little-endian size, the value, \n
            (size,) = struct.unpack_from("<Q", datagram, line_end + 1)
            value_at = line_end + 9
            assert datagram[value_at + size:value_at + size + 1] == b"\n"
            out += line + b"\n" + struct.pack("<Q", size) + datagram[value_at:value_at + size] + b"\n"
            at = value_at + size + 1
    return out + b"\n"


def journal_entries(root: str, datagrams: list[bytes], *matches: str) -> list[dict[str, Any]]:
    journal = Path(root, "audit.journal")
    stream = b"".join(native_to_export(d, 1_700_000_000_000_000 + n) for n, d in enumerate(datagrams))
    subprocess.run([JOURNAL_REMOTE, f"--output={journal}", "-"], input=stream, check=True, capture_output=True,
                   timeout=30)
    shown = subprocess.run(["journalctl", "--file", str(journal), "-o", "json", *matches], check=True,
                           capture_output=True, text=True, timeout=30).stdout
    return [json.loads(line) for line in shown.splitlines()]


@pytest.fixture
def audited(rig: Rig) -> Any:
    """A daemon whose audit trail goes to a journal socket the test holds."""
    rig.add("pid=0x7401,bid=2")
    rig.add("pid=0x7401,bid=3")
    path = str(Path(rig.root, "journal.socket"))
    journal = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    journal.bind(path)
    journal.settimeout(0.2)
    base = rig.start_http_with_token("--module", "2=7401:2", "--module", "3=7401:3",
                                     "--state-dir", str(Path(rig.root, "state")),
                                     "--audit", "journal", "--journal-socket", path)
    received: list[bytes] = []

    def drain() -> list[bytes]:
        try:
            while True:
                received.append(journal.recv(1 << 16))
        except socket.timeout:
            return received
    yield rig, base, drain
    journal.close()


def modbus_coil(rig: Rig) -> None:
    with rig.client() as client:
        assert not client.write_coil(3, True, slave=2).isError()


# Each write, through each front end that makes it: (what, the call, the
# entry's fields).
WRITES: list[tuple[str, Callable[[Rig, str], Any], dict[str, str]]] = [
    ("outputs over HTTP",
     lambda rig, base: requests.put(f"{base}/api/modules/2/outputs", json={"mask": "0xff", "value": "0x21"},
                                    headers=AUTH, timeout=5),
     {"KDX7400_WHAT": "outputs", "KDX7400_BEFORE": "unknown", "KDX7400_AFTER": "0x0000000000000021",
      "KDX7400_FRONT_END": "http", "KDX7400_IDENTITY": "token"}),
    ("a coil over Modbus", lambda rig, base: modbus_coil(rig),
     {"KDX7400_WHAT": "outputs", "KDX7400_BEFORE": "0x0000000000000021", "KDX7400_AFTER": "0x0000000000000029",
      "KDX7400_FRONT_END": "modbus", "KDX7400_IDENTITY": "plain TCP, writes allowed by --allow-write"}),
    ("settings",
     lambda rig, base: requests.patch(f"{base}/api/modules/2/settings", json={"filter": 7, "nickname": "press 4"},
                                      headers=AUTH, timeout=5),
     {"KDX7400_WHAT": "settings", "KDX7400_BEFORE": "unknown", "KDX7400_AFTER": 'filter=7 nickname="press 4"'}),
    ("a counter clear",
     lambda rig, base: requests.post(f"{base}/api/modules/2/counters/clear", json={"mask": 5}, headers=AUTH,
                                     timeout=5),
     {"KDX7400_WHAT": "counters cleared", "KDX7400_AFTER": "0=0 2=0"}),
    ("a watchdog clear",
     lambda rig, base: requests.post(f"{base}/api/modules/2/watchdog/clear", headers=AUTH, timeout=5),
     {"KDX7400_WHAT": "watchdog error cleared", "KDX7400_BEFORE": "", "KDX7400_AFTER": ""}),
    ("names",
     lambda rig, base: requests.put(f"{base}/api/modules/2/labels", json={"inputs": ["start \"A\" = stop"]},
                                    headers=AUTH, timeout=5),
     {"KDX7400_WHAT": "names"}),
]


def test_every_write_is_in_the_journal_with_who_before_and_after_and_a_refused_one_is_not(audited: Any) -> None:
    rig, base, drain = audited
    for what, write, _ in WRITES:
        answer = write(rig, base)
        assert answer is None or answer.status_code == 200, (what, answer.text)
    # Refused: the wrong token, and a write to another unit without one.
    assert requests.put(f"{base}/api/modules/2/outputs", json={"mask": 1, "value": 1},
                        headers={"Authorization": "Bearer wrong"}, timeout=5).status_code == 401
    assert requests.put(f"{base}/api/modules/3/outputs", json={"mask": 1, "value": 1}, timeout=5).status_code == 401
    assert eventually(lambda: len(drain()) >= len(WRITES))
    time.sleep(0.3)
    datagrams = drain()

    entries = journal_entries(rig.root, datagrams, "KDX7400_UNIT=2")
    assert len(entries) == len(datagrams) == len(WRITES), [e["MESSAGE"] for e in entries]
    for (what, _, fields), entry in zip(WRITES, entries):
        assert {k: entry.get(k) for k in fields} == fields, (what, entry)
        assert entry["SYSLOG_IDENTIFIER"] == "kdx7400d" and entry["KDX7400_AUDIT"] == "1"
        assert entry["KDX7400_CLIENT"].startswith("127.0.0.1:"), what
    # A name with '=' and quotes stays whole in its field.
    assert json.loads(entries[-1]["KDX7400_AFTER"])["inputs"][0] == 'start "A" = stop'
    assert entries[0]["MESSAGE"].startswith("unit 2: outputs unknown -> 0x0000000000000021 by http 127.0.0.1:")
    assert journal_entries(rig.root, datagrams, "KDX7400_UNIT=3") == []
    # Without the journal, the same entries are lines in the log.
    assert "audit:" not in rig.log()


def test_without_the_journal_the_trail_is_in_the_log_and_events_name_the_client(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=2")
    base = rig.start_http_with_token("--module", "2=7401:2")  # no JOURNAL_STREAM: stderr
    with requests.get(f"{base}/api/modules/2/events", stream=True, timeout=5) as stream:
        lines = stream.iter_lines(decode_unicode=True)
        assert requests.put(f"{base}/api/modules/2/outputs", json={"mask": 1, "value": 1}, headers=AUTH,
                            timeout=5).status_code == 200
        outputs = None
        for line in lines:
            if line.startswith("data:") and '"outputs"' in line and '"by"' in line:
                outputs = json.loads(line[5:])
                break
    assert outputs is not None and outputs["by"] == "http"
    assert outputs["client"]["identity"] == "token" and outputs["client"]["address"].startswith("127.0.0.1:")
    assert eventually(lambda: "audit: unit 2: outputs" in rig.log())
