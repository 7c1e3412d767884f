# SPDX-License-Identifier: MIT
"""A real mosquitto on a loopback port, with a password file and an ACL,
and a paho subscriber that keeps what it hears."""

from __future__ import annotations

import getpass
import json
import socket
import subprocess
import threading
from pathlib import Path
import tempfile
from typing import Any, Callable, Iterator, Protocol

from typing import NamedTuple

import paho.mqtt.client as mqtt
import pytest
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

from modbus_rig import eventually, free_ports

PREFIX = "kdx7400/rig"
USERS = {"rig": "rig-password-1", "operator": "operator-password-2", "viewer": "viewer-password-3",
         "narrow": "narrow-password-4"}
# The daemon publishes under its prefix; an operator may also command it;
# a viewer only reads.
ACL = """user rig
topic readwrite kdx7400/#
topic readwrite homeassistant/#
topic readwrite spBv1.0/#

user operator
topic read kdx7400/#
topic write kdx7400/+/+/outputs/set
topic write kdx7400/+/+/outputs/toggle
topic write kdx7400/+/+/counters/clear
topic write kdx7400/+/+/settings/set
topic read spBv1.0/#
topic write spBv1.0/+/NCMD/#
topic write spBv1.0/+/DCMD/#
topic write spBv1.0/STATE/#

user viewer
topic read kdx7400/#
topic read homeassistant/#
topic write homeassistant/status
topic read spBv1.0/#

user narrow
topic readwrite kdx7400/rig/status
topic write kdx7400/rig/+/state
"""


class Broker:
    def __init__(self, root: Path, tls: Path | None = None) -> None:
        self.root = root
        self.port, self.tls_port = free_ports(2)
        self.tls = tls
        (root / "acl").write_text(ACL)
        passwords = root / "passwords"
        passwords.write_text("".join(f"{user}:{password}\n" for user, password in USERS.items()))
        subprocess.run(["mosquitto_passwd", "-U", str(passwords)], check=True, timeout=10)
        passwords.chmod(0o600)
        (root / "acl").chmod(0o600)
        lines = [f"listener {self.port} 127.0.0.1", "allow_anonymous false",
                 f"password_file {passwords}", f"acl_file {root / 'acl'}",
                 # Subscribers with sessions keep them across a restart.
                 "persistence true", f"persistence_location {root}/", "log_dest stderr",
                 # Started as root it would become the user mosquitto, who cannot read these files.
                 f"user {getpass.getuser()}"]
        if tls is not None:
            lines += [f"listener {self.tls_port} 127.0.0.1", f"cafile {tls / 'ca.crt'}",
                      f"certfile {tls / 'server.crt'}", f"keyfile {tls / 'server.key'}"]
        (root / "mosquitto.conf").write_text("\n".join(lines) + "\n")
        self.process: subprocess.Popen[bytes] | None = None
        self.start()

    def start(self) -> None:
        with open(self.root / "broker.log", "ab") as log:
            # By its path: /usr/sbin is not on a normal user's PATH.
            self.process = subprocess.Popen(["/usr/sbin/mosquitto", "-c", str(self.root / "mosquitto.conf")],
                                            stdout=log, stderr=log)

        def listening() -> bool:
            with socket.socket() as s:
                return s.connect_ex(("127.0.0.1", self.port)) == 0
        assert eventually(listening, 10), (self.root / "broker.log").read_text()

    def stop(self) -> None:
        assert self.process is not None
        self.process.terminate()
        self.process.wait(timeout=10)

    def credentials(self, user: str = "rig") -> str:
        path = self.root / f"{user}.credentials"
        path.write_text(f"{user}\n{USERS[user]}\n")
        return str(path)


class Endpoint(Protocol):
    port: int
    tls_port: int


class Message(NamedTuple):
    topic: str
    payload: bytes
    retain: bool
    properties: Any
    qos: int


class Listener:
    """A paho client that subscribes and keeps every message it gets."""

    def __init__(self, broker: Endpoint, topics: list[str], user: str = "viewer", client_id: str = "",
                 clean: bool = True, v5: bool = False, tls: Path | None = None) -> None:
        self.messages: list[Message] = []
        self.lock = threading.Lock()
        protocol = mqtt.MQTTv5 if v5 else mqtt.MQTTv311
        kwargs: dict[str, Any] = {} if v5 else {"clean_session": clean}
        self.client = mqtt.Client(client_id=client_id, protocol=protocol, **kwargs)
        self.client.username_pw_set(user, USERS[user])
        if tls is not None:
            self.client.tls_set(ca_certs=str(tls / "ca.crt"))
        self.subscribed = threading.Event()

        def on_connect(client: mqtt.Client, *args: Any) -> None:
            if topics:
                client.subscribe([(t, 1) for t in topics])
            else:
                self.subscribed.set()

        def on_subscribe(*args: Any) -> None:
            self.subscribed.set()

        def on_message(client: mqtt.Client, userdata: Any, message: mqtt.MQTTMessage) -> None:
            with self.lock:
                self.messages.append(Message(message.topic, message.payload, bool(message.retain),
                                             getattr(message, "properties", None), message.qos))

        self.client.on_connect = on_connect
        self.client.on_subscribe = on_subscribe
        self.client.on_message = on_message
        self.client.connect("127.0.0.1", broker.tls_port if tls is not None else broker.port, keepalive=30)
        self.client.loop_start()
        assert self.subscribed.wait(10)

    def on(self, topic: str) -> list[bytes]:
        with self.lock:
            return [m.payload for m in self.messages if m.topic == topic]

    def json_on(self, topic: str) -> list[Any]:
        return [json.loads(p) for p in self.on(topic)]

    def wait(self, check: Callable[[], bool], timeout: float = 10) -> bool:
        return eventually(check, timeout)

    def publish(self, topic: str, payload: str | bytes, retain: bool = False, **properties: Any) -> None:
        props = None
        if properties:
            props = Properties(PacketTypes.PUBLISH)
            for name, value in properties.items():
                setattr(props, name, value)
        self.client.publish(topic, payload, qos=1, retain=retain, properties=props).wait_for_publish(5)

    def close(self) -> None:
        self.client.loop_stop()
        self.client.disconnect()


def events_by_seq(listener: Listener, unit: int = 1, prefix: str = PREFIX) -> tuple[dict[int, Any], list[Any]]:
    """A unit's events, de-duplicated by seq (QoS 1 may bring one twice),
    and its gap events."""
    events: dict[int, Any] = {}
    gaps = []
    for event in listener.json_on(f"{prefix}/{unit}/events"):
        if event["event"] == "gap":
            gaps.append(event)
        else:
            events[event["seq"]] = event
    return events, gaps


def accounted(events: dict[int, Any], gaps: list[Any]) -> bool:
    """Every seq from the first to the last is an event or inside a gap."""
    seen = set(events)
    for gap in gaps:
        seen.update(range(gap["after"] + 1, gap["after"] + 1 + gap["lost"]))
    return bool(seen) and seen == set(range(min(seen), max(seen) + 1))


def make_tls(root: Path) -> Path:
    """A CA made here, and the broker's certificate for 127.0.0.1 from it."""
    tls = root / "tls"
    tls.mkdir()
    run = lambda *args: subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=30)  # noqa: E731
    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=test CA",
        "-keyout", str(tls / "ca.key"), "-out", str(tls / "ca.crt"))
    run("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
        "-keyout", str(tls / "server.key"), "-out", str(tls / "server.csr"))
    (tls / "san.ext").write_text("subjectAltName=IP:127.0.0.1\n")
    run("x509", "-req", "-in", str(tls / "server.csr"), "-CA", str(tls / "ca.crt"), "-CAkey", str(tls / "ca.key"),
        "-CAcreateserial", "-days", "2", "-extfile", str(tls / "san.ext"), "-out", str(tls / "server.crt"))
    return tls


@pytest.fixture
def broker() -> Iterator[Broker]:
    """A broker of its own for each test."""
    with tempfile.TemporaryDirectory(prefix="kdx7400-broker-") as root:
        b = Broker(Path(root))
        yield b
        b.stop()
