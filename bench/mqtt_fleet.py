# SPDX-License-Identifier: MIT
"""An input edge through kdx7400d and a broker to a central subscriber:
3 daemons (rigs) x 2 modules x 64 inputs, every module's inputs changing
at random every 100 ms, while input 0 of one module is flipped and timed
to its event at the subscriber. Also the daemons' CPU per module.

  mqtt_fleet.py OUT FLIPS      OUT: the build's out/ (kdx7400d, kdx7400-sim, watch)"""

from __future__ import annotations

import os
import random
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import paho.mqtt.client as mqtt


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def cpu_seconds(pid: int) -> float:
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main(out: Path, flips: int) -> None:
    root = Path(tempfile.mkdtemp(prefix="kdx7400-bench-fleet-"))
    port = free_port()
    (root / "broker.conf").write_text(f"listener {port} 127.0.0.1\nallow_anonymous true\nuser root\n")
    processes = [subprocess.Popen(["/usr/sbin/mosquitto", "-c", str(root / "broker.conf")], stderr=subprocess.DEVNULL)]
    time.sleep(0.5)
    daemons, flippers = [], []
    try:
        for rig in (1, 2, 3):
            bed = root / f"rig{rig}"
            subprocess.run([out / "kdx7400-sim", "create", bed, "--module", f"pid=0x7401,bid={2 * rig},di=64,do=64",
                            "--module", f"pid=0x7401,bid={2 * rig + 1},di=64,do=64"], check=True,
                           capture_output=True)
            env = dict(os.environ, LD_PRELOAD=str(out / "libkdx7400-sim.so"), KDX7400_SIM_TESTBED=str(bed))
            daemons.append(subprocess.Popen(
                [out / "kdx7400d", "--module", f"1=7401:{2 * rig}", "--module", f"2=7401:{2 * rig + 1}",
                 "--modbus", f"127.0.0.1:{free_port()}", "--watch-interval", "10", "--mqtt", f"127.0.0.1:{port}",
                 "--mqtt-prefix", f"kdx7400/rig{rig}", "--mqtt-client-id", f"rig{rig}"],
                env=env, stderr=subprocess.DEVNULL))
            for node in ("sg0", "sg1"):
                flippers.append(subprocess.Popen([out / "watch", "flipper", bed, node], stdin=subprocess.PIPE,
                                                 stdout=subprocess.PIPE, text=True))
        arrivals: list[float] = []
        lock = threading.Lock()

        def on_message(client: mqtt.Client, userdata: object, message: mqtt.MQTTMessage) -> None:
            if b'"channel":0,' in message.payload:
                with lock:
                    arrivals.append(time.time())

        central = mqtt.Client(client_id="central")
        central.on_message = on_message
        central.connect("127.0.0.1", port)
        central.subscribe("kdx7400/rig1/1/events", qos=1)
        central.loop_start()
        time.sleep(2)  # every daemon connected and watching

        levels = [0] * len(flippers)

        def send(i: int, value: int) -> float:
            flipper = flippers[i]
            assert flipper.stdin is not None and flipper.stdout is not None
            flipper.stdin.write(f"{value:x}\n")
            flipper.stdin.flush()
            return int(flipper.stdout.readline()) / 1e9 + (time.time() - time.monotonic())

        stop = threading.Event()

        def background() -> None:  # every module's other inputs, at random, every 100 ms
            while not stop.wait(0.1):
                for i in range(len(flippers)):
                    levels[i] = (random.getrandbits(64) & ~1) | (levels[i] & 1)
                    send(i, levels[i])

        cpu = [cpu_seconds(d.pid) for d in daemons]
        started = time.monotonic()
        toggler = threading.Thread(target=background)
        toggler.start()
        ms = []
        for n in range(flips):
            levels[0] ^= 1
            changed = send(0, levels[0])
            deadline = time.monotonic() + 2
            while time.monotonic() < deadline:
                with lock:
                    if len(arrivals) > n:
                        break
                time.sleep(0.001)
            with lock:
                if len(arrivals) > n:
                    ms.append((arrivals[n] - changed) * 1000)
            time.sleep(0.05 + (n % 7) * 0.007)
        stop.set()
        toggler.join()
        elapsed = time.monotonic() - started
        per_module = sum(cpu_seconds(d.pid) - c for d, c in zip(daemons, cpu)) / elapsed / 6 * 100
        central.loop_stop()
        ms.sort()
        p50, p99 = ms[len(ms) // 2], ms[min(len(ms) - 1, len(ms) * 99 // 100)]
        print(f"input edge to a central subscriber, 3 rigs x 2 modules x 64 inputs, watch 10 ms: "
              f"{len(ms)} of {flips} seen, p50 {p50:.2f} ms, p99 {p99:.2f} ms (goal < 20 ms: "
              f"{'met' if p99 < 20 and len(ms) == flips else 'NOT met'}); daemon CPU {per_module:.2f} % of a core "
              f"per module (goal < 1 %: {'met' if per_module < 1 else 'NOT met'})")
    finally:
        for p in flippers + daemons + processes:
            p.terminate()
            p.wait(timeout=10)


if __name__ == "__main__":
    main(Path(sys.argv[1]), int(sys.argv[2]))
