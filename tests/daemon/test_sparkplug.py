# SPDX-License-Identifier: MIT
"""kdx7400d as a Sparkplug B edge node, against a real broker, its payloads
decoded with protoc's own Python code from the same .proto. The Sparkplug
3.0 edge-node requirements these tests check, by their conformance IDs:

  principles-birth-certificates-order, message-flow-edge-node-birth-publish-subscribe
  payloads-nbirth-qos, payloads-nbirth-retain, payloads-nbirth-seq, payloads-sequence-num-zero-nbirth,
  payloads-nbirth-timestamp, payloads-nbirth-bdseq, payloads-nbirth-rebirth-req, topics-nbirth-bdseq-included
  payloads-metric-datatype-req, payloads-name-requirement
  payloads-dbirth-qos, payloads-dbirth-retain, payloads-dbirth-seq, payloads-dbirth-timestamp, payloads-dbirth-order
  payloads-ddata-qos, payloads-ddata-retain, payloads-ddata-seq, payloads-ddata-timestamp
  payloads-ddeath-qos, payloads-ddeath-retain, payloads-ddeath-seq
  payloads-sequence-num-always-included, payloads-sequence-num-incrementing
  payloads-ndeath-will-message, payloads-ndeath-will-message-qos, payloads-ndeath-will-message-retain,
  payloads-ndeath-seq, topics-ndeath-payload, payloads-ndeath-bdseq, payloads-nbirth-bdseq-inc
  operational-behavior-edge-node-node-control-rebirth (NCMD Node Control/Rebirth: births again, same bdSeq)
  operational-behavior-edge-node-dcmd (a DCMD's output metrics written to the device)
  operational-behavior-primary-application-state-with-multiple-servers (births wait for the primary host's
  STATE online; its STATE offline ends the session with an NDEATH)

Not applicable here: templates, datasets, aliases, historical metrics,
NDATA (the node has no metrics of its own besides its control)."""

from __future__ import annotations

import importlib
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Iterator

import pytest
import requests

from modbus_rig import AUTH, TOKEN, Rig, eventually
from mqtt_broker import broker  # noqa: F401  (the fixture)
from mqtt_broker import PREFIX, Broker, Listener, Message
from test_events import reader_on

PROTO = Path(__file__).resolve().parents[2] / "daemon" / "front" / "mqtt" / "sparkplug_b.proto"
GROUP, NODE = "plant", "rig-07"
NS = f"spBv1.0/{GROUP}"
BOOLEAN, UINT32, INT64 = 11, 7, 4


@pytest.fixture(scope="module")
def pb() -> Iterator[Any]:
    with tempfile.TemporaryDirectory(prefix="kdx7400-pb-") as out:
        subprocess.run(["protoc", f"--python_out={out}", f"--proto_path={PROTO.parent}", str(PROTO)], check=True,
                       timeout=30)
        sys.path.insert(0, out)
        yield importlib.import_module("sparkplug_b_pb2")
        sys.path.remove(out)


def decoded(pb: Any, message: Message) -> Any:
    payload = pb.Payload()
    payload.ParseFromString(message.payload)
    return payload


def metrics(payload: Any) -> dict[str, Any]:
    out = {}
    for m in payload.metrics:
        assert m.name and m.HasField("datatype"), m  # each metric named and typed
        out[m.name] = (m.datatype, getattr(m, m.WhichOneof("value")))
    return out


def of_type(listener: Listener, kind: str) -> list[Message]:
    with listener.lock:
        return [m for m in listener.messages if m.topic.split("/")[2] == kind]


def start_edge(rig: Rig, broker: Broker, *options: str) -> None:
    rig.add("pid=0x7401,bid=3")
    rig.start("--module", "1=7401:3", "--watch-interval", "10", "--mqtt", f"127.0.0.1:{broker.port}",
              "--mqtt-credentials", broker.credentials(), "--sparkplug", GROUP, "--sparkplug-node", NODE, *options)


def command(pb: Any, name: str, value: bool) -> bytes:
    payload = pb.Payload(timestamp=1, seq=0)
    payload.metrics.add(name=name, datatype=BOOLEAN, boolean_value=value)
    return bytes(payload.SerializeToString())


def test_births_data_commands_and_deaths(rig: Rig, broker: Broker, pb: Any) -> None:
    scada = Listener(broker, [f"{NS}/#"])
    start_edge(rig, broker, "--mqtt-allow-commands")
    assert scada.wait(lambda: len(of_type(scada, "DBIRTH")) == 1)
    nbirth, dbirth = of_type(scada, "NBIRTH")[0], of_type(scada, "DBIRTH")[0]
    assert nbirth.topic == f"{NS}/NBIRTH/{NODE}" and dbirth.topic == f"{NS}/DBIRTH/{NODE}/unit1"
    assert (nbirth.qos, nbirth.retain, dbirth.qos, dbirth.retain) == (0, False, 0, False)
    node = decoded(pb, nbirth)
    assert node.seq == 0 and node.timestamp > 0
    node_metrics = metrics(node)
    assert node_metrics["Node Control/Rebirth"] == (BOOLEAN, False)
    bdseq = node_metrics["bdSeq"]
    assert bdseq[0] == INT64
    device = decoded(pb, dbirth)
    assert device.seq == 1 and device.timestamp > 0
    born = metrics(device)
    assert born["Inputs/0"] == (BOOLEAN, False) and born["Outputs/15"] == (BOOLEAN, False)
    assert born["Counters/4"] == (UINT32, 0) and born["Plugged"] == (BOOLEAN, True)

    # Data as it changes, in sequence.
    rig.sim("inputs", rig.root, "sg0", "0x4")
    assert scada.wait(lambda: any(metrics(decoded(pb, m)).get("Inputs/2") == (BOOLEAN, True)
                                  for m in of_type(scada, "DDATA")))
    # A DCMD writes the device's outputs through the same checks as any write.
    operator = Listener(broker, [], user="operator")
    # Only as born: another spelling of the device or the metric is none of ours.
    operator.publish(f"{NS}/DCMD/{NODE}/unit01", command(pb, "Outputs/3", True))
    operator.publish(f"{NS}/DCMD/{NODE}/unit1", command(pb, "Outputs/02", True))
    operator.publish(f"{NS}/DCMD/{NODE}/unit1", command(pb, "Outputs/3", True))
    assert eventually(lambda: rig.state()["outputs"] == 0x8)
    assert scada.wait(lambda: any(metrics(decoded(pb, m)).get("Outputs/3") == (BOOLEAN, True)
                                  for m in of_type(scada, "DDATA")))
    # A rebirth on request: births again, the sequence from 0, the same bdSeq.
    operator.publish(f"{NS}/NCMD/{NODE}", command(pb, "Node Control/Rebirth", True))
    assert scada.wait(lambda: len(of_type(scada, "DBIRTH")) == 2)
    again = decoded(pb, of_type(scada, "NBIRTH")[1])
    assert again.seq == 0 and metrics(again)["bdSeq"] == bdseq
    assert metrics(decoded(pb, of_type(scada, "DBIRTH")[1]))["Outputs/3"] == (BOOLEAN, True)
    # An unplugged module's device dies.
    rig.sim("unplug", rig.root, "sg0")
    assert scada.wait(lambda: len(of_type(scada, "DDEATH")) == 1)
    ddeath = of_type(scada, "DDEATH")[0]
    assert (ddeath.qos, ddeath.retain) == (0, False) and decoded(pb, ddeath).HasField("seq")

    # Every message but a death carries seq, one more than the last (mod 256).
    with scada.lock:
        sequence = [decoded(pb, m) for m in scada.messages
                    if m.topic.split("/")[2] in ("NBIRTH", "DBIRTH", "DDATA", "DDEATH")]
    for before, after in zip(sequence, sequence[1:]):
        assert after.HasField("seq") and after.timestamp > 0
        assert after.seq == (0 if after.metrics and after.metrics[0].name == "bdSeq" else (before.seq + 1) % 256)

    # The will: an NDEATH with QoS 1, not retained, no seq, only this session's bdSeq.
    assert rig.daemon is not None
    rig.daemon.send_signal(signal.SIGKILL)
    rig.daemon.wait(timeout=10)
    assert scada.wait(lambda: len(of_type(scada, "NDEATH")) == 1)
    ndeath = of_type(scada, "NDEATH")[0]
    assert (ndeath.topic, ndeath.qos, ndeath.retain) == (f"{NS}/NDEATH/{NODE}", 1, False)
    death = decoded(pb, ndeath)
    assert not death.HasField("seq") and metrics(death) == {"bdSeq": bdseq}
    scada.close()
    operator.close()


def test_a_new_session_has_the_next_bdseq(rig: Rig, broker: Broker, pb: Any) -> None:
    scada = Listener(broker, [f"{NS}/#"], client_id="scada", clean=False)
    start_edge(rig, broker)
    assert scada.wait(lambda: len(of_type(scada, "NBIRTH")) == 1)
    first = metrics(decoded(pb, of_type(scada, "NBIRTH")[0]))["bdSeq"][1]
    broker.stop()
    broker.start()
    # The births of the new session are QoS 0: a host that was away asks
    # for them again once the edge node is back (as a host application does).
    assert eventually(lambda: rig.log().count("Sparkplug: connected") == 2, 30), rig.log()
    host = Listener(broker, [f"{NS}/#"], user="operator")
    host.publish(f"{NS}/NCMD/{NODE}", command(pb, "Node Control/Rebirth", True))
    assert host.wait(lambda: bool(of_type(host, "NBIRTH")), 30), rig.log()
    assert metrics(decoded(pb, of_type(host, "NBIRTH")[-1]))["bdSeq"][1] == (first + 1) % 256
    rig.stop()  # a clean stop publishes its death itself, with the bdSeq of the session
    assert host.wait(lambda: len(of_type(host, "NDEATH")) >= 1)
    assert metrics(decoded(pb, of_type(host, "NDEATH")[-1]))["bdSeq"][1] == (first + 1) % 256
    host.close()
    scada.close()


def test_births_wait_for_the_primary_host(rig: Rig, broker: Broker, pb: Any) -> None:
    scada = Listener(broker, [f"{NS}/#"], user="operator")
    start_edge(rig, broker, "--sparkplug-host", "SCADA")
    assert not scada.wait(lambda: bool(of_type(scada, "NBIRTH")), 1.5), "no birth before the host is online"
    state = lambda online, stamp: json.dumps({"online": online, "timestamp": stamp})  # noqa: E731
    scada.publish("spBv1.0/STATE/SCADA", state(True, 1000), retain=True)
    assert scada.wait(lambda: len(of_type(scada, "DBIRTH")) == 1)
    scada.publish("spBv1.0/STATE/SCADA", state(False, 2000), retain=True)
    assert scada.wait(lambda: len(of_type(scada, "NDEATH")) == 1)
    scada.publish("spBv1.0/STATE/SCADA", state(True, 500), retain=True)  # older than the last word: ignored
    assert not scada.wait(lambda: len(of_type(scada, "NBIRTH")) == 2, 1)
    scada.publish("spBv1.0/STATE/SCADA", state(True, 3000), retain=True)
    assert scada.wait(lambda: len(of_type(scada, "NBIRTH")) == 2)
    scada.close()


MALFORMED_STATES = [b'{"online":true,"timestamp":"x"}', b'{"online":true,"timestamp":-1}',
                    b'{"online":true,"timestamp":1.5}', b'{"online":"yes","timestamp":1}', b'[]', b'not json',
                    b'\xff\xfe', b'{"online":true,"timestamp":{"a":1}}']


def test_a_malformed_primary_host_state_is_dropped_not_fatal(rig: Rig, broker: Broker, pb: Any) -> None:
    """The host's STATE comes from anyone who may publish it, and is kept
    retained: one the daemon cannot read ended it at once, and at every
    restart after."""
    scada = Listener(broker, [f"{NS}/#"], user="operator")
    scada.publish("spBv1.0/STATE/SCADA", MALFORMED_STATES[0], retain=True)
    start_edge(rig, broker, "--sparkplug-host", "SCADA")
    for payload in MALFORMED_STATES[1:]:
        scada.publish("spBv1.0/STATE/SCADA", payload)
    assert not scada.wait(lambda: bool(of_type(scada, "NBIRTH")), 1.5), "none of them says online"
    assert rig.daemon is not None and rig.daemon.poll() is None, rig.log()[-2000:]
    scada.publish("spBv1.0/STATE/SCADA", json.dumps({"online": True, "timestamp": 1000}), retain=True)
    assert scada.wait(lambda: len(of_type(scada, "DBIRTH")) == 1)
    scada.close()


def test_dcmd_is_refused_unless_commands_are_allowed(rig: Rig, broker: Broker, pb: Any) -> None:
    scada = Listener(broker, [f"{NS}/#"], user="operator")
    start_edge(rig, broker)
    assert scada.wait(lambda: len(of_type(scada, "DBIRTH")) == 1)
    scada.publish(f"{NS}/DCMD/{NODE}/unit1", command(pb, "Outputs/0", True))
    assert eventually(lambda: "refused Sparkplug DCMD" in rig.log())
    assert rig.state()["outputs"] == 0
    scada.close()


def test_births_after_a_reconnect_wait_for_the_hosts_state_in_that_session(rig: Rig, broker: Broker, pb: Any) -> None:
    scada = Listener(broker, [f"{NS}/#"], user="operator", client_id="scada-host", clean=False)
    start_edge(rig, broker, "--sparkplug-host", "SCADA")
    # Not retained, so said again until the node has subscribed to it.
    for stamp in range(1000, 1020):
        scada.publish("spBv1.0/STATE/SCADA", json.dumps({"online": True, "timestamp": stamp}))
        if scada.wait(lambda: len(of_type(scada, "NBIRTH")) == 1, 1):
            break
    assert len(of_type(scada, "NBIRTH")) == 1
    broker.stop()
    broker.start()
    assert eventually(lambda: rig.log().count("Sparkplug: connected") == 2, 30), rig.log()
    host = Listener(broker, [f"{NS}/#"], user="operator")
    assert not host.wait(lambda: bool(of_type(host, "NBIRTH")), 2), "a birth before the host said it is online"
    host.publish("spBv1.0/STATE/SCADA", json.dumps({"online": True, "timestamp": 2000}))
    assert host.wait(lambda: bool(of_type(host, "NBIRTH")))
    host.close()
    scada.close()


def test_bdseq_goes_on_across_restarts_and_a_twin_node_is_noticed(rig: Rig, broker: Broker, pb: Any) -> None:
    scada = Listener(broker, [f"{NS}/#"], user="operator")
    state = tempfile.mkdtemp(prefix="kdx7400-state-")
    start_edge(rig, broker, "--state-dir", state)
    assert scada.wait(lambda: len(of_type(scada, "NBIRTH")) == 1)
    first = metrics(decoded(pb, of_type(scada, "NBIRTH")[0]))["bdSeq"][1]
    rig.stop()
    rig.start("--module", "1=7401:3", "--mqtt", f"127.0.0.1:{broker.port}", "--mqtt-credentials",
              broker.credentials(), "--sparkplug", GROUP, "--sparkplug-node", NODE, "--state-dir", state)
    assert scada.wait(lambda: len(of_type(scada, "NBIRTH")) == 2)
    assert metrics(decoded(pb, of_type(scada, "NBIRTH")[1]))["bdSeq"][1] == (first + 1) % 256
    # Another edge node configured with the same IDs (and credentials).
    twin = Listener(broker, [], user="rig")
    birth = pb.Payload(timestamp=5, seq=0)
    birth.metrics.add(name="bdSeq", datatype=INT64, long_value=9)
    twin.publish(f"{NS}/NBIRTH/{NODE}", bytes(birth.SerializeToString()))
    assert eventually(lambda: "another edge node publishes births as plant/rig-07" in rig.log())
    assert rig.log().count("another edge node") == 1, "its own births are not taken for a twin's"
    twin.close()
    scada.close()


def typed(pb: Any, name: str, datatype: int, **value: Any) -> bytes:
    payload = pb.Payload(timestamp=1, seq=0)
    payload.metrics.add(name=name, datatype=datatype, **value)
    return bytes(payload.SerializeToString())


DCMDS = [
    # payload builder, the refusal logged (None: written)
    (lambda pb: typed(pb, "Outputs/1", 12, boolean_value=True), "'Outputs/1' is a Boolean"),
    (lambda pb: typed(pb, "Outputs/1", BOOLEAN, int_value=1), "'Outputs/1' is a Boolean"),
    (lambda pb: typed(pb, "Outputs/01", BOOLEAN, boolean_value=True), "'Outputs/01' is no metric it takes"),
    (lambda pb: typed(pb, "Inputs/1", BOOLEAN, boolean_value=True), "'Inputs/1' is no metric it takes"),
    (lambda pb: b"\xff\x00not protobuf", "not a Sparkplug B payload"),
    (lambda pb: typed(pb, "Outputs/1", BOOLEAN, boolean_value=True), None),
]


def test_dcmd_takes_only_outputs_as_born_and_says_why_not(rig: Rig, broker: Broker, pb: Any) -> None:
    scada = Listener(broker, [f"{NS}/#"], user="operator")
    start_edge(rig, broker, "--mqtt-allow-commands")
    assert scada.wait(lambda: len(of_type(scada, "DBIRTH")) == 1)
    for build, refusal in DCMDS:
        scada.publish(f"{NS}/DCMD/{NODE}/unit1", build(pb))
        if refusal is None:
            assert eventually(lambda: rig.state()["outputs"] == 0x2)
        else:
            assert eventually(lambda: refusal in rig.log()), refusal
            assert rig.state()["outputs"] == 0, refusal
    scada.close()


def quality_of(metric: Any) -> int | None:
    for key, value in zip(metric.properties.keys, metric.properties.values):
        if key == "Quality":
            return int(value.int_value)
    return None


def test_an_armed_watchdog_expires_within_a_quarter_more_with_every_monitor_open(rig: Rig, broker: Broker,
                                                                                  pb: Any) -> None:
    """A page's stream, /metrics scraped four times a second, MQTT state and
    a Sparkplug edge node all open: none of them feeds the watchdog past a
    quarter of its time-out after the client's write, and each says its
    values went stale."""
    scada = Listener(broker, [f"{NS}/#", f"{PREFIX}/1/state"])
    rig.add("pid=0x7401,bid=3")
    token = Path(rig.root, "token")
    token.write_text(TOKEN + "\n")
    base = rig.start_http("--http-token-file", str(token), "--module", "1=7401:3", "--watch-interval", "10",
                          "--mqtt", f"127.0.0.1:{broker.port}", "--mqtt-prefix", PREFIX, "--mqtt-credentials",
                          broker.credentials(), "--sparkplug", GROUP, "--sparkplug-node", NODE)
    viewer = reader_on(f"{base}/api/events")
    assert scada.wait(lambda: len(of_type(scada, "DBIRTH")) == 1)
    stop = threading.Event()

    def scrape() -> None:
        while not stop.is_set():
            requests.get(f"{base}/metrics", timeout=5)
            time.sleep(0.25)

    scraper = threading.Thread(target=scrape)
    scraper.start()
    try:
        assert requests.patch(f"{base}/api/modules/1/settings", json={"watchdog_timeout": 2000}, headers=AUTH,
                              timeout=5).status_code == 200
        written = time.monotonic()
        assert eventually(lambda: rig.state()["watchdog_expired"], 4.0), "monitors kept the watchdog alive"
        took = time.monotonic() - written
    finally:
        stop.set()
        scraper.join(timeout=10)
    assert 1.9 <= took <= 2.5 + 0.35, f"expired {took:.2f} s after the last write"

    def stale_inputs() -> bool:
        for message in of_type(scada, "DDATA"):
            for m in decoded(pb, message).metrics:
                if m.name == "Inputs/0" and quality_of(m) == 500:
                    return True
        return False

    assert scada.wait(stale_inputs, 5), "Sparkplug marks what it no longer reads STALE (500)"
    state = scada.json_on(f"{PREFIX}/1/state")[-1]
    assert state["quality"]["inputs"]["quality"] == "stale" and state["watch"].startswith("paused")
    assert metric_value(requests.get(f"{base}/metrics", timeout=5).text, 'kdx7400_sample_age_seconds{unit="1"}') > 1
    assert any(d["watch"] == "paused" for d in viewer.named("watch"))
    viewer.close()
    scada.close()


def metric_value(text: str, name: str) -> float:
    return float(next(line.split()[-1] for line in text.splitlines() if line.startswith(name + " ")))
