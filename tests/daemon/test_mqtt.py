# SPDX-License-Identifier: MIT
"""kdx7400d as a client of a real broker (mosquitto, with a password file
and an ACL): retained status and state, the last will, events counted
exactly and accounted for by seq across a broker restart, commands through
the ACL and the service's checks, TLS, and Home Assistant discovery."""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path
from typing import Iterator

import pytest
import requests

from modbus_rig import DAEMON, Rig, eventually
from mqtt_broker import broker  # noqa: F401  (the fixture)
from mqtt_broker import PREFIX, Broker, Listener, accounted, events_by_seq, make_tls


def start(rig: Rig, broker: Broker, *options: str) -> None:
    """The daemon with its broker link up: it subscribes to its commands
    before it says online, and the broker takes one client's packets in
    order, so a command sent after this is heard."""
    rig.add("pid=0x7401,bid=3")
    rig.start("--module", "1=7401:3", "--watch-interval", "10", "--mqtt", f"127.0.0.1:{broker.port}",
              "--mqtt-prefix", PREFIX, "--mqtt-credentials", broker.credentials(), *options)
    status = Listener(broker, [f"{PREFIX}/status"])
    assert status.wait(lambda: status.on(f"{PREFIX}/status")[-1:] == [b"online"]), rig.log()[-2000:]
    status.close()


def rising_on(events: dict[int, object], channel: int) -> int:
    total = 0
    for event in events.values():
        assert isinstance(event, dict)
        if event["event"] == "input" and event["channel"] == channel:
            total += event["count"] if event["kind"] == "pulses" else int(event["kind"] == "rising")
    return total


def test_status_and_state_are_retained_and_the_will_says_offline(rig: Rig, broker: Broker) -> None:
    start(rig, broker)
    rig.sim("inputs", rig.root, "sg0", "0x5")
    late = Listener(broker, [f"{PREFIX}/status", f"{PREFIX}/1/state"])  # comes after: retained
    assert late.wait(lambda: late.on(f"{PREFIX}/status")[-1:] == [b"online"])
    assert late.wait(lambda: any(s["inputs"] == "0x0000000000000005" for s in late.json_on(f"{PREFIX}/1/state")))
    state = late.json_on(f"{PREFIX}/1/state")[-1]
    assert state["id"] == 1 and state["present"] and state["identity"]["product_id"] == 0x7401
    assert {"counters", "outputs", "watchdog_timeout", "filter"} <= set(state)
    assert rig.daemon is not None
    rig.daemon.send_signal(signal.SIGKILL)
    rig.daemon.wait(timeout=10)
    assert late.wait(lambda: late.on(f"{PREFIX}/status")[-1:] == [b"offline"]), "the will"
    late.close()
    # A clean stop says it itself.
    rig.start("--module", "1=7401:3", "--mqtt", f"127.0.0.1:{broker.port}", "--mqtt-prefix", PREFIX,
              "--mqtt-credentials", broker.credentials())
    watcher = Listener(broker, [f"{PREFIX}/status"])
    assert watcher.wait(lambda: watcher.on(f"{PREFIX}/status")[-1:] == [b"online"])
    rig.stop()
    assert watcher.wait(lambda: watcher.on(f"{PREFIX}/status")[-1:] == [b"offline"])
    watcher.close()


def test_a_pulse_train_is_counted_exactly(rig: Rig, broker: Broker) -> None:
    start(rig, broker)
    listener = Listener(broker, [f"{PREFIX}/1/events"])
    rig.sim("pulse", rig.root, "sg0", "4", "1000", "500")
    assert listener.wait(lambda: rising_on(events_by_seq(listener)[0], 4) >= 1000)
    events, gaps = events_by_seq(listener)
    assert rising_on(events, 4) == 1000 and not gaps and accounted(events, gaps)
    listener.close()


def test_a_broker_restart_loses_nothing_unaccounted(rig: Rig, broker: Broker) -> None:
    start(rig, broker, "--mqtt-outbox", "40")
    # A subscriber with a session: the broker keeps what comes for it.
    listener = Listener(broker, [f"{PREFIX}/1/events"], client_id="historian", clean=False)
    rig.sim("inputs", rig.root, "sg0", "0x1")
    assert listener.wait(lambda: len(events_by_seq(listener)[0]) >= 1)
    broker.stop()
    # While the broker is away: 100 edges, more than the outbox of 40 keeps.
    for i in range(100):
        rig.sim("inputs", rig.root, "sg0", "0x2" if i % 2 == 0 else "0x0")
    rig.sim("pulse", rig.root, "sg0", "4", "300", "500")
    broker.start()
    assert listener.wait(lambda: any(e["event"] == "input" and e["channel"] == 4
                                     for e in events_by_seq(listener)[0].values()), 20)
    rig.sim("inputs", rig.root, "sg0", "0x8")  # and after it, as ever
    assert listener.wait(lambda: any(e.get("channel") == 3 for e in events_by_seq(listener)[0].values()))
    events, gaps = events_by_seq(listener)
    assert accounted(events, gaps), (sorted(events), gaps)
    assert len(gaps) == 1 and gaps[0]["lost"] > 0, gaps
    listener.close()


COMMANDS = [
    # user, command, payload, the result's status (None: the ACL dropped it), outputs after
    ("operator", "outputs/set", '{"mask": "0xf", "value": "0x5"}', 200, 0x5),
    ("operator", "outputs/set", '{"channel": 7, "on": true}', 200, 0x85),
    ("operator", "outputs/set", '{"mask": 1, "value": 3}', 422, 0x85),
    ("operator", "outputs/set", '{"mask": 1, "value": 1, "value": 0}', 422, 0x85),
    ("operator", "outputs/set", 'not json', 400, 0x85),
    ("operator", "outputs/toggle", '{"mask": "0xff"}', 200, 0x7A),
    ("operator", "outputs/toggle", '{"mask": "0x10000"}', 422, 0x7A),
    ("viewer", "outputs/set", '{"mask": "0xff", "value": "0x0"}', None, 0x7A),
    ("viewer", "outputs/toggle", '{"mask": "0xff"}', None, 0x7A),
]


def test_commands_pass_the_acl_and_the_services_checks(rig: Rig, broker: Broker) -> None:
    start(rig, broker, "--mqtt-allow-commands")
    results = Listener(broker, [f"{PREFIX}/1/result"])
    for i, (user, command, payload, status, outputs) in enumerate(COMMANDS):
        sender = Listener(broker, [], user=user)
        sender.publish(f"{PREFIX}/1/{command}", payload)
        if status is None:
            assert not results.wait(lambda: len(results.on(f"{PREFIX}/1/result")) > i, 1), user
        else:
            assert results.wait(lambda: len(results.on(f"{PREFIX}/1/result")) > i), payload
            assert results.json_on(f"{PREFIX}/1/result")[i]["status"] == status, payload
        assert eventually(lambda: rig.state()["outputs"] == outputs, 2), payload
        sender.close()
    # MQTT 5: the result goes to the request's response topic, with its
    # correlation data, if it lies under the reply prefix.
    mine = f"{PREFIX}/reply/me"
    asker = Listener(broker, [mine], user="operator", v5=True)
    events = Listener(broker, [f"{PREFIX}/1/events"])
    rig.sim("pulse", rig.root, "sg0", "0", "100", "1000")
    assert events.wait(lambda: rising_on(events_by_seq(events)[0], 0) == 100)
    asker.publish(f"{PREFIX}/1/counters/clear", '{"mask": "0x1"}', ResponseTopic=mine, CorrelationData=b"request-17")
    assert asker.wait(lambda: bool(asker.on(mine)))
    # The clear is a reset, never billions of pulses.
    assert events.wait(lambda: any(e["kind"] == "reset" for e in events.json_on(f"{PREFIX}/1/events")
                                   if e["event"] == "input" and e["channel"] == 0))
    time.sleep(0.2)
    assert rising_on(events_by_seq(events)[0], 0) == 100
    events.close()
    reply = [m for m in asker.messages if m.topic == mine][0]
    assert reply.properties.CorrelationData == b"request-17" and asker.json_on(mine)[0]["status"] == 200
    # The audit trail names the topic the broker's ACL tied to the asker.
    assert log_has(rig, f"audit: unit 1: counters cleared 0=100 -> 0=0 by mqtt broker 127.0.0.1:{broker.port} "
                        f"(reply topic {mine})")
    # Elsewhere (the daemon's own topics among them) it is refused, and the
    # command not carried out.
    for elsewhere in ("replies/me", f"{PREFIX}/status", f"{PREFIX}/1/events", f"{PREFIX}/reply/", f"{PREFIX}/reply/#"):
        done = len(results.on(f"{PREFIX}/1/result"))
        asker.publish(f"{PREFIX}/1/outputs/set", '{"mask": "0xff", "value": "0xff"}', ResponseTopic=elsewhere)
        assert results.wait(lambda: len(results.on(f"{PREFIX}/1/result")) > done), elsewhere
        assert results.json_on(f"{PREFIX}/1/result")[done]["status"] == 403, elsewhere
        assert rig.state()["outputs"] == 0x7A, elsewhere
    assert log_has(rig, "response topic 'replies/me' is not under")
    results.close()
    asker.close()


def test_a_unit_is_named_one_way_so_that_the_acl_holds(rig: Rig, broker: Broker) -> None:
    """An ACL on kdx7400/rig/1/# must not be passed by spelling the unit
    otherwise: 01 and 001 name no unit, over MQTT and HTTP alike."""
    start(rig, broker, "--mqtt-allow-commands", "--http", f"127.0.0.1:{rig.http_port}", "--http-root",
          os.environ["KDX7400D_WWW"])
    results = Listener(broker, [f"{PREFIX}/+/result"], user="operator")
    for spelling in ("01", "001", "-1", "1 "):
        results.publish(f"{PREFIX}/{spelling}/outputs/set", '{"mask": "0xff", "value": "0xff"}')
    assert results.wait(lambda: len(results.json_on(f"{PREFIX}/01/result") + results.json_on(f"{PREFIX}/001/result"))
                        == 2)
    assert {r["status"] for r in results.json_on(f"{PREFIX}/01/result")} == {404}
    assert rig.state()["outputs"] == 0
    for spelling in ("01", "001", "1.0"):
        assert requests.get(f"http://127.0.0.1:{rig.http_port}/api/modules/{spelling}", timeout=5).status_code == 404
    assert requests.get(f"http://127.0.0.1:{rig.http_port}/api/modules/1", timeout=5).status_code == 200
    results.close()


@pytest.mark.parametrize("protocol, allow, payload, status", [
    ("5", False, '{"mask": 1, "value": 1}', 403),
    ("3.1.1", False, '{"mask": 1, "value": 1}', 403),
    ("3.1.1", True, '{"mask": 1, "value": 1}', 200),
    ("5", True, '{"mask": 1, "value": 1, "pad": "' + "x" * 5000 + '"}', 413),
])
def test_commands_are_refused_unless_allowed_and_small(rig: Rig, broker: Broker, protocol: str, allow: bool,
                                                       payload: str, status: int) -> None:
    start(rig, broker, "--mqtt-protocol", protocol, *(["--mqtt-allow-commands"] if allow else []))
    results = Listener(broker, [f"{PREFIX}/1/result"], user="operator")
    results.publish(f"{PREFIX}/1/outputs/set", payload)
    assert results.wait(lambda: bool(results.on(f"{PREFIX}/1/result")))
    assert results.json_on(f"{PREFIX}/1/result")[0]["status"] == status
    assert rig.state()["outputs"] == (1 if status == 200 else 0)
    results.close()


def test_tls_to_a_broker_with_a_ca_made_here(rig: Rig) -> None:
    with tempfile.TemporaryDirectory(prefix="kdx7400-broker-") as root:
        tls = make_tls(Path(root))
        broker = Broker(Path(root), tls=tls)
        try:
            rig.add("pid=0x7401,bid=3")
            rig.start("--module", "1=7401:3", "--mqtt", f"127.0.0.1:{broker.tls_port}", "--mqtt-prefix", PREFIX,
                      "--mqtt-credentials", broker.credentials(), "--mqtt-tls", str(tls / "ca.crt"))
            listener = Listener(broker, [f"{PREFIX}/status"], tls=tls)
            assert listener.wait(lambda: listener.on(f"{PREFIX}/status")[-1:] == [b"online"])
            listener.close()
        finally:
            broker.stop()


@pytest.mark.parametrize("front_end", ["MQTT", "Sparkplug"])
@pytest.mark.parametrize("cause", ["refused", "credentials", "tls"])
def test_the_broker_link_says_why_it_failed_and_recovers_once_mended(rig: Rig, front_end: str, cause: str) -> None:
    """Whatever ends a connection attempt, the link says why, in words an
    operator can act on, and tries again until the broker takes it: it
    used to stop for good after a TLS or credentials failure, and to make
    no attempt at all when started with the broker away."""
    with tempfile.TemporaryDirectory(prefix="kdx7400-broker-") as name:
        root = Path(name)
        (root / "trusted").mkdir()
        (root / "other").mkdir()
        trusted, other = make_tls(root / "trusted"), make_tls(root / "other")
        broker = Broker(root, tls=other if cause == "tls" else None)
        try:
            credentials = broker.credentials()
            if cause == "credentials":
                Path(credentials).write_text("rig\nnot-the-password\n")
            if cause == "refused":
                broker.stop()
            rig.add("pid=0x7401,bid=3")
            port = broker.tls_port if cause == "tls" else broker.port
            rig.start("--module", "1=7401:3", "--mqtt", f"127.0.0.1:{port}", "--mqtt-credentials", credentials,
                      *(["--mqtt-tls", str(trusted / "ca.crt")] if cause == "tls" else []),
                      *(["--sparkplug", "plant", "--sparkplug-node", "rig-07"] if front_end == "Sparkplug" else []),
                      "--http", f"127.0.0.1:{rig.http_port}", "--http-root", os.environ["KDX7400D_WWW"])
            said = {"refused": "Connection refused", "credentials": "the broker refused: Not authorized (check the user and password in --mqtt-credentials",
                    "tls": "TLS failed"}[cause]
            assert eventually(lambda: log_has(rig, f"{front_end}: cannot connect to 127.0.0.1:{port}: ", said), 10), \
                rig.log()
            metric = f'kdx7400_broker_connected{{front_end="{front_end.lower()}"}}'
            assert f"{metric} 0" in requests.get(f"http://127.0.0.1:{rig.http_port}/metrics", timeout=5).text
            # Mended: the broker comes, takes the password, shows a certificate of the trusted CA.
            if cause == "refused":
                broker.start()
            elif cause == "credentials":
                passwords = root / "passwords"
                passwords.write_text("rig:not-the-password\n")
                subprocess.run(["mosquitto_passwd", "-U", str(passwords)], check=True, timeout=10)
                assert broker.process is not None
                broker.process.send_signal(signal.SIGHUP)
            else:
                for file in ("server.crt", "server.key", "ca.crt"):
                    shutil.copy(trusted / file, other / file)
                broker.stop()
                broker.start()
            assert eventually(lambda: f"{front_end}: connected" in rig.log(), 40), rig.log()
            assert eventually(lambda: f"{metric} 1" in requests.get(f"http://127.0.0.1:{rig.http_port}/metrics",
                                                                    timeout=5).text, 5)
        finally:
            rig.stop()
            broker.stop()


def test_a_tls_file_that_cannot_be_read_is_named_at_start(rig: Rig) -> None:
    done = subprocess.run([DAEMON, "--all", "--modbus", f"127.0.0.1:{rig.port}", "--mqtt", "127.0.0.1:1",
                           "--mqtt-tls", "/nonexistent/ca.crt"], capture_output=True, text=True, timeout=10)
    assert done.returncode == 2
    assert "--mqtt-tls: cannot read '/nonexistent/ca.crt': No such file or directory" in done.stderr, done.stderr


def log_has(rig: Rig, *parts: str) -> bool:
    return any(all(part in line for part in parts) for line in rig.log().splitlines())


def test_home_assistant_discovers_every_channel_and_asks_again(rig: Rig, broker: Broker) -> None:
    start(rig, broker, "--mqtt-ha-discovery")
    ha = Listener(broker, ["homeassistant/#"])
    configs = lambda: [m.topic for m in ha.messages if m.topic.endswith("/config")]  # noqa: E731
    assert ha.wait(lambda: len(configs()) == 48)  # 16 inputs, 16 counters, 16 outputs
    kinds = {t.split("/")[1] for t in configs()}
    assert kinds == {"binary_sensor", "sensor", "switch"}
    counter = [m.payload for m in ha.messages if m.topic.endswith("_count3/config")]
    assert b'"state_class":"total_increasing"' in counter[0] and b"counters[3]" in counter[0]
    # Available while the daemon is online and the module is present.
    config = json.loads(counter[0])
    assert config["availability_mode"] == "all"
    assert [a["topic"] for a in config["availability"]] == [f"{PREFIX}/status", f"{PREFIX}/1/state"]
    assert "value_json.present" in config["availability"][1]["value_template"]
    ha.publish("homeassistant/status", "online")  # Home Assistant started again
    assert ha.wait(lambda: len(configs()) >= 96)
    ha.close()


def test_a_publish_the_broker_refuses_is_logged_once_and_counted(rig: Rig, broker: Broker) -> None:
    """A user that may publish the status and state, but not events: MQTT 5
    brokers say so in the PUBACK, and nothing was said of it."""
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http("--module", "1=7401:3", "--watch-interval", "10", "--mqtt", f"127.0.0.1:{broker.port}",
                          "--mqtt-prefix", PREFIX, "--mqtt-credentials", broker.credentials("narrow"))
    assert eventually(lambda: "MQTT: connected" in rig.log(), 10)
    for level in ("0x1", "0x0", "0x1", "0x0"):
        rig.sim("inputs", rig.root, "sg0", level)
        time.sleep(0.05)
    assert eventually(lambda: refusals(base).get("publish", 0) >= 2), refusals(base)
    assert rig.log().count(f"refused to let it publish on '{PREFIX}/1/events'") == 1, "logged once per topic"
    assert rig.log().count("refused to let it publish on") == 1, "only there"


def refusals(base: str) -> dict[str, float]:
    lines = requests.get(f"{base}/metrics", timeout=5).text.splitlines()
    return {line.split("what=")[1].split('"')[1]: float(line.split()[-1])
            for line in lines if line.startswith('kdx7400_broker_refusals_total{front_end="mqtt"')}


def test_a_subscription_the_broker_refuses_is_logged_and_counted(rig: Rig) -> None:
    """mosquitto grants every subscription and filters at delivery; other
    brokers answer SUBACK 0x80, and the commands then never came, silently.
    A stand-in broker that refuses every subscription."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    port = listener.getsockname()[1]

    def packet(conn: socket.socket) -> tuple[int, bytes]:
        head = conn.recv(1)
        if not head:
            raise ConnectionError
        length, shift = 0, 0
        while True:
            byte = conn.recv(1)[0]
            length |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                break
        body = b""
        while len(body) < length:
            body += conn.recv(length - len(body))
        return head[0], body

    def serve() -> None:
        conn, _ = listener.accept()
        with contextlib.suppress(OSError, ConnectionError, IndexError):
            while True:
                kind, body = packet(conn)
                if kind >> 4 == 1:  # CONNECT
                    conn.sendall(b"\x20\x02\x00\x00")
                elif kind >> 4 == 8:  # SUBSCRIBE: every filter refused
                    filters, at = 0, 2
                    while at < len(body):
                        at += 2 + int.from_bytes(body[at:at + 2], "big") + 1
                        filters += 1
                    conn.sendall(bytes([0x90, 2 + filters]) + body[:2] + b"\x80" * filters)
                elif kind >> 4 == 3 and kind & 0x06:  # PUBLISH, QoS 1
                    topic_length = int.from_bytes(body[:2], "big")
                    conn.sendall(b"\x40\x02" + body[2 + topic_length:4 + topic_length])
                elif kind >> 4 == 12:  # PINGREQ
                    conn.sendall(b"\xd0\x00")
        conn.close()

    server = threading.Thread(target=serve, daemon=True)
    server.start()
    rig.add("pid=0x7401,bid=3")
    base = rig.start_http("--module", "1=7401:3", "--mqtt", f"127.0.0.1:{port}", "--mqtt-prefix", PREFIX,
                          "--mqtt-protocol", "3.1.1", "--mqtt-allow-commands")
    assert eventually(lambda: refusals(base).get("subscribe", 0) >= 4), rig.log()[-2000:]
    assert log_has(rig, "refused to let it subscribe to", f"{PREFIX}/+/outputs/set")
    rig.stop()
    listener.close()
