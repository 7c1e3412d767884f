# SPDX-License-Identifier: MIT
"""A fleet on one machine: three rigs, each a virtual module and a kdx7400d
in its own network namespace, publishing to two edge brokers bridged to a
central one. A subscriber at the centre sees every rig; a rig's link taken
down and up loses nothing it cannot account for; which rigs are online is
answered by the retained status topics."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Iterator

import pytest

from modbus_rig import DAEMON, PRELOAD, SIM, eventually, free_ports
from mqtt_broker import Listener, accounted, events_by_seq

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="network namespaces need root")


class Hub:
    """A mosquitto that anyone may use, bridged (out) to another if given."""

    def __init__(self, root: Path, name: str, central: int | None = None, address: str = "127.0.0.1") -> None:
        self.tls_port = 0
        # A port free when chosen may be taken before mosquitto binds it (a
        # bridge's own connection gets one from the same range): a hub that
        # could not listen is started again on another.
        for _ in range(5):
            self.port = free_ports(1)[0]
            lines = [f"listener {self.port} {address}", "allow_anonymous true", "log_dest stderr", "user root"]
            if central is not None:
                lines += ["connection central", f"address 127.0.0.1:{central}", "topic kdx7400/# out 1",
                          "cleansession false", f"remote_clientid bridge-{name}", "restart_timeout 1"]
            (root / f"{name}.conf").write_text("\n".join(lines) + "\n")
            with open(root / f"{name}.log", "ab") as log:
                self.process = subprocess.Popen(["/usr/sbin/mosquitto", "-c", str(root / f"{name}.conf")],
                                                stdout=log, stderr=log)

            def up() -> bool:
                with socket.socket() as s:
                    return s.connect_ex(("127.0.0.1", self.port)) == 0
            if eventually(lambda: up() or self.process.poll() is not None, 10) and self.process.poll() is None:
                return
            self.stop()
        raise AssertionError((root / f"{name}.log").read_text()[-2000:])

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=10)


def sh(*args: str) -> None:
    subprocess.run(args, check=True, timeout=20, capture_output=True)


class Rig:
    """A virtual module and its daemon in a namespace of their own, linked
    to the host by a veth pair (10.77.N.1 here, 10.77.N.2 there). Inside
    the namespace through nsenter, not 'ip -n' or 'ip netns exec', which
    remount / and fail where it is no mount point (a chroot)."""

    def __init__(self, root: Path, n: int, broker_port: int) -> None:
        self.n, self.root = n, root / f"rig{n}"
        self.root.mkdir()
        self.ns, self.link = f"kdxfleet{os.getpid() % 10000}-{n}", f"kdxf{os.getpid() % 10000}h{n}"
        self.daemon: subprocess.Popen[bytes] | None = None
        try:
            self.start(root, broker_port)
        except BaseException:
            self.close()  # nothing of a half-made rig stays behind
            raise

    def start(self, root: Path, broker_port: int) -> None:
        n, inside = self.n, ("nsenter", f"--net=/run/netns/{self.ns}")
        sh("ip", "netns", "add", self.ns)
        sh("ip", "link", "add", self.link, "type", "veth", "peer", "name", "eth0", "netns", self.ns)
        sh("ip", "addr", "add", f"10.77.{n}.1/24", "dev", self.link)
        sh("ip", "link", "set", self.link, "up")
        sh(*inside, "ip", "addr", "add", f"10.77.{n}.2/24", "dev", "eth0")
        sh(*inside, "ip", "link", "set", "eth0", "up")
        sh(*inside, "ip", "link", "set", "lo", "up")
        subprocess.run([SIM, "create", str(self.root), "--module", "pid=0x7401,bid=3"], check=True, timeout=20,
                       capture_output=True)
        env = dict(os.environ, LD_PRELOAD=PRELOAD, KDX7400_SIM_TESTBED=str(self.root))
        with open(root / f"daemon{n}.log", "ab") as log:
            self.daemon = subprocess.Popen(
                [*inside, DAEMON, "--module", "1=7401:3", "--modbus", "127.0.0.1:1502",
                 "--watch-interval", "10", "--mqtt", f"10.77.{n}.1:{broker_port}", "--mqtt-prefix",
                 f"kdx7400/rig{n}", "--mqtt-client-id", f"rig{n}"], env=env, stdout=log, stderr=log)

    def inputs(self, value: int) -> None:
        subprocess.run([SIM, "inputs", str(self.root), "sg0", hex(value)], check=True, timeout=20,
                       capture_output=True)

    def close(self) -> None:
        if self.daemon is not None and self.daemon.poll() is None:
            self.daemon.kill()
            self.daemon.wait(timeout=10)
        subprocess.run(["ip", "link", "del", self.link], timeout=20, capture_output=True)
        subprocess.run(["ip", "netns", "del", self.ns], timeout=20, capture_output=True)


@pytest.fixture
def fleet() -> Iterator[tuple[Hub, list[Rig]]]:
    with tempfile.TemporaryDirectory(prefix="kdx7400-fleet-") as name:
        root = Path(name)
        hubs: list[Hub] = []
        rigs: list[Rig] = []
        try:
            central = Hub(root, "central")
            hubs.append(central)
            edge_a = Hub(root, "edge-a", central.port, "0.0.0.0")
            edge_b = Hub(root, "edge-b", central.port, "0.0.0.0")
            hubs += [edge_a, edge_b]
            for n, edge in ((1, edge_a), (2, edge_a), (3, edge_b)):
                rigs.append(Rig(root, n, edge.port))
            yield central, rigs
        finally:
            for rig in rigs:
                rig.close()
            for hub in reversed(hubs):
                hub.stop()


def statuses(central: Hub) -> dict[str, bytes]:
    """What a newcomer at the centre learns from the retained status topics."""
    newcomer = Listener(central, ["kdx7400/+/status"])
    time.sleep(0.5)
    found = {m.topic.split("/")[1]: m.payload for m in newcomer.messages if m.retain}
    newcomer.close()
    return found


def test_a_fleet_through_bridged_brokers(fleet: tuple[Hub, list[Rig]]) -> None:
    central, rigs = fleet
    historian = Listener(central, ["kdx7400/#"], client_id="historian", clean=False)
    assert eventually(lambda: statuses(central) == {f"rig{n}": b"online" for n in (1, 2, 3)}, 20)

    def edges(rig: Rig, count: int) -> None:
        for i in range(count):
            rig.inputs(1 << (i % 4))
            time.sleep(0.05)  # a few samples apart, so that each change is an edge of its own under load too

    edges(rigs[0], 10)
    sh("ip", "link", "set", rigs[1].link, "down")  # rig 2 cut off while its inputs change
    edges(rigs[1], 20)
    time.sleep(2)
    sh("ip", "link", "set", rigs[1].link, "up")
    edges(rigs[2], 10)
    rigs[1].inputs(0x80)  # one more after the link is back

    def seen(n: int, channel: int) -> bool:
        prefix = f"kdx7400/rig{n}/1/events"
        return any(e.get("channel") == channel for e in historian.json_on(prefix))

    assert historian.wait(lambda: seen(1, 0) and seen(2, 7) and seen(3, 0), 30)
    for n in (1, 2, 3):
        events, gaps = events_by_seq(historian, prefix=f"kdx7400/rig{n}")
        assert accounted(events, gaps), (n, sorted(events), gaps)
        assert sum(1 for e in events.values() if e["event"] == "input") >= (21 if n == 2 else 10), n

    assert rigs[2].daemon is not None
    rigs[2].daemon.send_signal(signal.SIGKILL)  # its will goes out through edge broker B to the centre
    assert eventually(lambda: statuses(central) == {"rig1": b"online", "rig2": b"online", "rig3": b"offline"},
                      20)
    historian.close()
