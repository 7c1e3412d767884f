# SPDX-License-Identifier: MIT
"""kdx7400d's HTTP API with python3-requests: every answer checked against
the OpenAPI document the daemon serves, writes all or nothing, the token
and who may write, and the event stream. Loopback only; bounded waits."""

from __future__ import annotations

import json
import os
import socket
import subprocess
import threading
import time
from pathlib import Path
from typing import Any, Iterator

import jsonschema
import pytest
import requests

from modbus_rig import DAEMON, Rig

TOKEN = "a-token-for-the-tests-0123456789"


def as_json_schema(node: Any) -> Any:
    """OpenAPI 3.0's nullable, as JSON Schema says it."""
    if isinstance(node, list):
        return [as_json_schema(n) for n in node]
    if not isinstance(node, dict):
        return node
    out = {k: as_json_schema(v) for k, v in node.items() if k != "nullable"}
    if node.get("nullable") and "type" in out:
        out["type"] = [out["type"], "null"]
    return out


class Api:
    """The daemon's API, each answer validated against its own document."""

    def __init__(self, rig: Rig, base: str) -> None:
        self.rig, self.base = rig, base
        self.doc = requests.get(f"{base}/api/openapi.json", timeout=5).json()
        self.session = requests.Session()

    def schema(self, path: str, method: str, status: int) -> dict[str, Any]:
        responses = self.doc["paths"][path][method]["responses"]
        content = responses[str(status)]["content"]
        schema = content.get("application/json", {}).get("schema", {"type": "string"})
        return as_json_schema({**schema, "components": self.doc["components"]})  # type: ignore[no-any-return]

    def call(self, method: str, template: str, unit: int | None = None, body: Any = None,
             token: str | None = None, headers: dict[str, str] | None = None) -> requests.Response:
        path = template.replace("{id}", str(unit)) if unit is not None else template
        sent = {"Content-Type": "application/json"} if body is not None else {}
        if token:
            sent["Authorization"] = f"Bearer {token}"
        sent.update(headers or {})
        response = self.session.request(method, self.base + path, headers=sent, timeout=15,
                                        data=None if body is None else json.dumps(body))
        assert str(response.status_code) in self.doc["paths"][template][method.lower()]["responses"], \
            (method, path, response.status_code, response.text)
        validator = jsonschema.Draft202012Validator(self.schema(template, method.lower(), response.status_code))
        validator.validate(response.json())
        return response


def token_file(rig: Rig) -> Path:
    path = Path(rig.root, "token")
    path.write_text(TOKEN + "\n")
    return path


@pytest.fixture
def api(rig: Rig) -> Iterator[Api]:
    rig.add("pid=0x7401,bid=3,di=16,do=16")
    base = rig.start_http("--module", "1=7401:3", "--module", "2=7401:9", "--http-token-file", str(token_file(rig)),
                          "--allow-write", "10.255.255.255/32", "--watch-interval", "20")
    yield Api(rig, base)


def test_every_route_answers_as_its_document_says(api: Api) -> None:
    listing = api.call("GET", "/api/modules").json()["modules"]
    assert [(m["id"], m["present"]) for m in listing] == [(1, True), (2, False)]
    assert listing[0]["identity"]["product_id"] == 0x7401 and listing[0]["identity"]["board_id"] == 3
    state = api.call("GET", "/api/modules/{id}", 1).json()
    assert state["outputs"] == "0x0000000000000000" and len(state["counters"]) == 16
    assert api.call("PUT", "/api/modules/{id}/outputs", 1, {"mask": "0xf", "value": 5}, TOKEN).json() == \
        {"outputs": "0x0000000000000005"}
    assert api.call("PUT", "/api/modules/{id}/outputs", 1, {"channel": 1, "on": True}, TOKEN).json()["outputs"] == \
        "0x0000000000000007"
    assert api.rig.state()["outputs"] == 7
    assert api.call("POST", "/api/modules/{id}/outputs/toggle", 1, {"mask": "0xff"}, TOKEN).json() == \
        {"outputs": "0x00000000000000f8"}
    assert api.rig.state()["outputs"] == 0xF8
    api.rig.sim("inputs", api.rig.root, "sg0", "0x1")
    assert api.call("GET", "/api/modules/{id}", 1).json()["counters"][0] == 1
    assert api.call("POST", "/api/modules/{id}/counters/clear", 1, {"mask": 1}, TOKEN).json()["counters"][0] == 0
    after = api.call("PATCH", "/api/modules/{id}/settings", 1,
                     {"filter": 9, "nickname": "press 4", "watchdog_timeout": 5000,
                      "safety": {"first": "0x3", "second": 1}}, TOKEN).json()
    assert (after["filter"], after["nickname"], after["watchdog_timeout"]) == (9, "press 4", 5000)
    assert api.rig.state()["safety_first"] == 3
    assert api.call("GET", "/api/modules").json()["modules"][0]["identity"]["nickname"] == "press 4"
    assert api.call("POST", "/api/modules/{id}/watchdog/clear", 1, {}, TOKEN).json() == {"watchdog_timeout": 5000}
    # Errors are JSON with the library's word where it had one.
    assert api.call("GET", "/api/modules/{id}", 2).status_code == 503
    assert api.call("GET", "/api/modules/{id}", 7).status_code == 404
    refused = api.call("PUT", "/api/modules/{id}/outputs", 1, {"channel": 16, "on": True}, TOKEN)
    assert refused.status_code == 422 and refused.json()["result"] == 7


@pytest.mark.parametrize("path, body", [
    ("/api/modules/{id}/outputs", {"mask": "0x10000", "value": "0x10000"}),  # output 16 of 16
    ("/api/modules/{id}/outputs", {"mask": "0x1"}),
    ("/api/modules/{id}/outputs", {"channel": -1, "on": True}),
    ("/api/modules/{id}/settings", {"filter": 3, "watchdog_timeout": 50}),  # the first is fine: still nothing
    ("/api/modules/{id}/settings", {"filter": 3, "nickname": "x" * 33}),
    ("/api/modules/{id}/settings", {"filter": 3, "edge": 2}),
    ("/api/modules/{id}/settings", {"filter": 3, "power_on": "0x1ffff"}),
    ("/api/modules/{id}/settings", {"filter": 3, "colour": "red"}),
    ("/api/modules/{id}/settings", {"filter": 3, "input_inverse": 1}),
    ("/api/modules/{id}/counters/clear", {"mask": "0x10000"}),
    # A misspelt or stray key: refused, not passed over (or acted on in part).
    ("/api/modules/{id}/outputs", {"mask": "0x1", "value": "0x1", "valeu": "0x0"}),
    ("/api/modules/{id}/outputs", {"channel": 4, "on": True, "mask": "0x1"}),
    ("/api/modules/{id}/counters/clear", {"mask": "0x1", "channel": 3}),
    ("/api/modules/{id}/outputs/toggle", {"mask": "0x10000"}),
    ("/api/modules/{id}/outputs/toggle", {"mask": "0x1", "value": "0x1"}),
])
def test_a_bad_value_is_422_and_writes_nothing(api: Api, path: str, body: dict[str, Any]) -> None:
    api.call("GET", "/api/modules/{id}", 1)
    before = api.rig.state()
    writes = api.rig.transfers().count("2a")
    method = "PUT" if path.endswith("outputs") else "PATCH" if path.endswith("settings") else "POST"
    assert api.call(method, path, 1, body, TOKEN).status_code == 422
    assert api.rig.transfers().count("2a") == writes
    assert api.rig.state() == before


def test_who_may_write(api: Api) -> None:
    body = {"channel": 0, "on": True}
    assert api.call("PUT", "/api/modules/{id}/outputs", 1, body).status_code == 401  # loopback is not in --allow-write
    assert api.call("PUT", "/api/modules/{id}/outputs", 1, body, "wrong-token-0123456789").status_code == 401
    assert api.call("PUT", "/api/modules/{id}/outputs", 1, body, TOKEN,
                    {"Origin": "http://evil.example"}).status_code == 403  # another site's page
    not_json = requests.put(f"{api.base}/api/modules/1/outputs", data="channel=0&on=1", timeout=5,
                            headers={"Authorization": f"Bearer {TOKEN}",
                                     "Content-Type": "application/x-www-form-urlencoded"})
    assert not_json.status_code == 415
    assert api.rig.state()["outputs"] == 0
    assert api.call("PUT", "/api/modules/{id}/outputs", 1, body, TOKEN).status_code == 200
    assert api.rig.state()["outputs"] == 1
    log = api.rig.log()
    assert "no token" in log and "wrong token" in log


def test_reading_is_limited_to_allow_and_writing_can_be_by_address(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http("--module", "1=7401:3", "--allow", "127.0.0.1/32",
                          "--http-allow-write-without-token", "127.0.0.1/32")
    assert requests.get(f"{base}/api/modules", timeout=5).status_code == 200
    with socket.create_connection(("127.0.0.1", rig.http_port), source_address=("127.0.0.2", 0), timeout=5) as s:
        s.sendall(b"GET /api/modules HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
        reply = s.recv(200)
    assert reply.startswith(b"HTTP/1.1 403 ") and b"modules" not in reply
    # The operator let this address write with no token.
    assert requests.put(f"{base}/api/modules/1/outputs", json={"mask": 3, "value": 2}, timeout=5).status_code == 200
    assert rig.state()["outputs"] == 2
    # Outputs a Modbus client changes reach the event streams, stamped as any event.
    events: list[tuple[str, dict[str, Any]]] = []
    stop = threading.Event()
    threading.Thread(target=read_events, args=(base, 1, events, stop), daemon=True).start()
    deadline = time.monotonic() + 5
    while not events and time.monotonic() < deadline:
        time.sleep(0.02)
    modbus = rig.client()
    assert not modbus.write_coil(4, True, slave=1).isError()
    modbus.close()
    while not any(n == "outputs" for n, _ in events) and time.monotonic() < deadline:
        time.sleep(0.02)
    stop.set()
    outputs = [d for n, d in events if n == "outputs"]
    assert outputs and outputs[0]["outputs"] == "0x0000000000000012" and abs(outputs[0]["time"] - time.time()) < 60


def test_the_page_and_nothing_outside_its_folder(api: Api) -> None:
    page = requests.get(api.base + "/", timeout=5)
    assert page.status_code == 200 and "<main" in page.text
    assert requests.get(api.base + "/app.js", timeout=5).headers["Content-Type"].startswith("text/javascript")
    with socket.create_connection(("127.0.0.1", api.rig.http_port), timeout=5) as s:
        s.sendall(b"GET /../../../../etc/passwd HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
        answer = b""
        while chunk := s.recv(4096):
            answer += chunk
    assert b"root:" not in answer and b" 404 " in answer.split(b"\r\n")[0] + b" "
    big = requests.put(api.base + "/api/modules/1/outputs", data="x" * 100000, timeout=5,
                       headers={"Content-Type": "application/json", "Authorization": f"Bearer {TOKEN}"})
    assert big.status_code == 413


def read_events(base: str, unit: int, into: list[tuple[str, dict[str, Any]]], stop: threading.Event) -> None:
    try:
        with requests.get(f"{base}/api/modules/{unit}/events", stream=True, timeout=20) as response:
            name = ""
            for line in response.iter_lines(decode_unicode=True):
                if stop.is_set():
                    return
                if line.startswith("event: "):
                    name = line[7:]
                elif line.startswith("data: "):
                    into.append((name, json.loads(line[6:])))
    except requests.RequestException:
        pass  # the daemon stopped at the end of the test


def test_events_carry_edges_pulses_outputs_and_plugging(api: Api) -> None:
    events: list[tuple[str, dict[str, Any]]] = []
    stop = threading.Event()
    reader = threading.Thread(target=read_events, args=(api.base, 1, events, stop), daemon=True)
    reader.start()

    def seen(name: str, **fields: Any) -> bool:
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            if any(n == name and all(d.get(k) == v for k, v in fields.items()) for n, d in events):
                return True
            time.sleep(0.02)
        return False

    assert seen("hello", present=True)
    time.sleep(0.2)  # the worker's first sample
    api.rig.sim("inputs", api.rig.root, "sg0", "0x4")
    assert seen("input", channel=2, kind="rising")
    api.rig.sim("pulse", api.rig.root, "sg0", "5", "700")
    assert seen("input", channel=5, kind="pulses", count=700)
    api.call("PUT", "/api/modules/{id}/outputs", 1, {"channel": 3, "on": True}, TOKEN)
    assert seen("outputs", outputs="0x0000000000000008")
    assert all(abs(d["time"] - time.time()) < 60 for n, d in events if n != "hello"), events
    api.rig.sim("unplug", api.rig.root, "sg0")
    assert seen("unplugged")
    api.rig.add("pid=0x7401,bid=3")
    assert seen("plugged")
    stop.set()


def test_silent_and_idle_http_connections_are_closed(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http("--module", "1=7401:3", "--idle-timeout", "2")
    silent = socket.create_connection(("127.0.0.1", rig.http_port), timeout=10)
    slow = socket.create_connection(("127.0.0.1", rig.http_port), timeout=10)
    slow.sendall(b"GET /api/modules HTTP/1.1\r\nHo")  # and then nothing more
    kept = socket.create_connection(("127.0.0.1", rig.http_port), timeout=10)
    kept.sendall(b"GET /api/modules HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    assert kept.recv(12) == b"HTTP/1.1 200"
    start = time.monotonic()
    for s in (silent, slow, kept):
        while s.recv(65536):
            pass  # the rest of an answer, then the close
    assert time.monotonic() - start < 6
    assert requests.get(f"{base}/api/modules", timeout=5).status_code == 200


def test_a_request_sent_while_the_last_one_is_at_its_module_is_answered(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    rig.start_http("--module", "1=7401:3")
    rig.sim("fault", rig.root, "sg0", "slow", "--delay", "50", "--times", "13")  # the next read takes a while
    with socket.create_connection(("127.0.0.1", rig.http_port), timeout=10) as s:
        s.sendall(b"GET /api/modules/1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        time.sleep(0.2)  # at its module now
        s.sendall(b"GET /icon.svg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        received, started = b"", time.monotonic()
        while received.count(b"HTTP/1.1 200") < 2 or not received.rstrip().endswith(b"</svg>"):
            chunk = s.recv(65536)
            assert chunk, received[-200:]
            received += chunk
        assert time.monotonic() - started < 5


def test_the_build_trees_daemon_finds_its_page_without_http_root(rig: Rig) -> None:
    rig.add("pid=0x7401,bid=3")
    rig.start("--all", "--http", f"127.0.0.1:{rig.http_port}")
    page = requests.get(f"http://127.0.0.1:{rig.http_port}/", timeout=5)
    assert page.status_code == 200 and "<main" in page.text


A_DIRECTORY = "(a directory)"


@pytest.mark.parametrize("content, reason", [(None, "No such file or directory"), ("", "the file is empty"),
                                             ("short\n", "shorter than 16 characters"),
                                             (A_DIRECTORY, "it is a directory, not a file"),
                                             ("\x01\x02\x03" * 8 + "\n", "visible ASCII characters only")])
def test_a_token_file_that_cannot_be_used_says_why(rig: Rig, tmp_path: Path, content: str | None,
                                                   reason: str) -> None:
    token = tmp_path / "token"
    if content == A_DIRECTORY:
        token.mkdir()
    elif content is not None:
        token.write_text(content)
    done = subprocess.run([DAEMON, "--all", "--http", f"127.0.0.1:{rig.http_port}", "--http-token-file", str(token)],
                          capture_output=True, text=True, timeout=10)
    assert done.returncode == 2
    assert f"'{token}'" in done.stderr and reason in done.stderr, done.stderr


def test_a_user_refused_a_low_port_is_told_how_to_choose_another(rig: Rig) -> None:
    if os.geteuid() != 0:
        pytest.skip("needs root to run the daemon as another user")
    if int(Path("/proc/sys/net/ipv4/ip_unprivileged_port_start").read_text()) <= 502:
        pytest.skip("every user may listen on port 502 here")
    if subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "test", "-x", DAEMON],
                      timeout=10).returncode != 0:
        pytest.skip("uid 65534 cannot reach the build tree here")
    # No module is needed: the listen fails first.
    done = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", DAEMON, "--all"],
                          capture_output=True, text=True, timeout=10)
    assert done.returncode != 0
    assert "cannot listen on 127.0.0.1:502" in done.stderr and "--modbus 127.0.0.1:1502" in done.stderr, done.stderr


def test_a_write_answered_504_is_never_carried_out_later(rig: Rig) -> None:
    """A write still queued when its answer is given up (504) is dropped:
    the client was told it was not carried out. One that had begun is
    answered as unknown, and the event stream shows what it did. Jobs own
    what they use: the finished handlers' stacks are gone by then."""
    rig.add("pid=0x7401,bid=3")
    rig.add("pid=0x7401,bid=4")
    base = rig.start_http("--module", "1=7401:3", "--module", "2=7401:4", "--http-token-file", str(token_file(rig)),
                          "--http-request-timeout", "1")
    auth = {"Authorization": f"Bearer {TOKEN}"}

    def put(value: str) -> requests.Response:
        return requests.put(f"{base}/api/modules/2/outputs", json={"mask": "0x3", "value": value}, headers=auth,
                            timeout=10)

    # A read of 12 slow commands (2.4 s) holds the worker; the write queued
    # behind it is given up at 1 s.
    rig.sim("fault", rig.root, "sg1", "slow", "--delay", "200", "--times", "12")
    reading = threading.Thread(target=lambda: requests.get(f"{base}/api/modules/2", timeout=10))
    reading.start()
    time.sleep(0.3)
    queued = put("0x1")
    reading.join(timeout=10)
    assert queued.status_code == 504 and "not carried out" in queued.json()["error"], queued.text
    time.sleep(1.0)  # the worker idle again: nothing left to run
    assert rig.state("sg1")["outputs"] == 0, "a write the client was told failed was carried out"

    # A write that has begun (its write command takes 1.6 s) runs to its end.
    # Only the write is slowed: the event stream's own reads must not take
    # the delay and keep the write queued past its deadline.
    reader = requests.get(f"{base}/api/modules/2/events", stream=True, timeout=10)
    rig.sim("fault", rig.root, "sg1", "slow", "--delay", "1600", "--times", "1", "--opcode", "0x2a")
    begun = put("0x2")
    assert begun.status_code == 504 and "unknown" in begun.json()["error"], begun.text
    seen, deadline = "", time.monotonic() + 10
    for line in reader.iter_lines(decode_unicode=True):
        seen += line + "\n"
        if '"outputs":"0x0000000000000002"' in line or time.monotonic() > deadline:
            break
    reader.close()
    assert rig.state("sg1")["outputs"] == 2, seen
    assert rig.daemon is not None and rig.daemon.poll() is None, rig.log()
    assert requests.get(f"{base}/api/modules/1", timeout=5).status_code == 200
    rig.stop()
