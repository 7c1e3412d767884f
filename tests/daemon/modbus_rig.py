# SPDX-License-Identifier: MIT
"""A testbed of virtual modules with kdx7400d running on it, on loopback
only, and ways to look at both. Every wait is bounded."""

from __future__ import annotations

import json
import os
import socket
import struct
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Any, Callable, Iterator

import pytest
from pymodbus.client import ModbusTcpClient

SIM = os.environ["KDX7400_SIM"]
# The bearer token the tests write (start_http_with_token) and send.
TOKEN = "a-token-for-the-tests-0123456789"
AUTH = {"Authorization": f"Bearer {TOKEN}"}
PRELOAD = os.environ["KDX7400_SIM_LIBRARY"]
DAEMON = os.environ["KDX7400D"]


def free_ports(count: int) -> list[int]:
    """Ports free now, all different: held together while they are chosen."""
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [int(s.getsockname()[1]) for s in sockets]
    finally:
        for s in sockets:
            s.close()


class Rig:
    """A testbed with modules, a running daemon and ways to look at both."""

    def __init__(self, root: str) -> None:
        self.root = root
        self.port, self.http_port = free_ports(2)
        self.daemon: subprocess.Popen[str] | None = None
        # A file, not a pipe: a daemon never blocks on a log nobody reads.
        self.log_path = Path(root, "daemon.log")

    def sim(self, *args: str) -> str:
        return subprocess.run([SIM, *args], check=True, capture_output=True, text=True, timeout=20).stdout

    def add(self, description: str) -> None:
        self.sim("create", self.root, "--module", description)

    def state(self, node: str = "sg0") -> dict[str, Any]:
        return json.loads(self.sim("show", self.root, node, "--json"))  # type: ignore[no-any-return]

    def start(self, *options: str, wrapper: tuple[str, ...] = (), preload: tuple[str, ...] = (),
              modbus_writers: tuple[str, ...] = ("127.0.0.1/32",)) -> None:
        """Starts the daemon; Modbus writes from modbus_writers unless options name --allow-write."""
        env = dict(os.environ, LD_PRELOAD=":".join((PRELOAD, *preload)), KDX7400_SIM_TESTBED=self.root)
        writers = [] if "--allow-write" in options else [x for w in modbus_writers for x in ("--allow-write", w)]
        with open(self.log_path, "a") as log:
            self.daemon = subprocess.Popen(
                [*wrapper, DAEMON, "--modbus", f"127.0.0.1:{self.port}", *writers, *options],
                env=env, stdout=log, stderr=log, text=True)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", self.port)) == 0:
                    # Gone from the daemon's table, too, before any test's
                    # own connections count.
                    s.shutdown(socket.SHUT_WR)
                    s.settimeout(5)
                    assert s.recv(1) == b""
                    return
            if self.daemon.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError(f"the daemon did not start: {self.log_path.read_text()[-2000:]}")

    def client(self, source: str = "127.0.0.1") -> ModbusTcpClient:
        client = ModbusTcpClient("127.0.0.1", port=self.port, source_address=(source, 0), timeout=3, retries=0)
        assert client.connect()
        return client

    def mbpoll(self, *args: str, values: tuple[str, ...] = ()) -> subprocess.CompletedProcess[str]:
        return subprocess.run(["mbpoll", "-m", "tcp", "-p", str(self.port), "-1", *args, "127.0.0.1", *values],
                              capture_output=True, text=True, timeout=20)

    def transfers(self) -> list[str]:
        return [line.split("cdb=")[1][:2] for line in Path(self.root, "log").read_text().splitlines()
                if line.startswith("sgio")]

    def start_http(self, *options: str) -> str:
        """Starts the daemon with its HTTP front end too; returns the base URL."""
        self.start("--http", f"127.0.0.1:{self.http_port}", "--http-root", os.environ["KDX7400D_WWW"], *options)
        return f"http://127.0.0.1:{self.http_port}"

    def start_http_with_token(self, *options: str) -> str:
        """As start_http, with TOKEN as the token that may write."""
        token = Path(self.root, "token")
        token.write_text(TOKEN + "\n")
        return self.start_http("--http-token-file", str(token), *options)

    def kdxio(self, *args: str) -> None:
        """kdxio on this testbed, as another program beside the daemon."""
        env = dict(os.environ, LD_PRELOAD=PRELOAD, KDX7400_SIM_TESTBED=self.root)
        subprocess.run([os.environ["KDX7400_KDXIO"], *args], env=env, check=True, timeout=10, capture_output=True)

    def raw(self, source: str = "127.0.0.1") -> socket.socket:
        return socket.create_connection(("127.0.0.1", self.port), timeout=5, source_address=(source, 0))

    def log(self) -> str:
        return self.log_path.read_text()

    def stop(self) -> str:
        assert self.daemon is not None
        self.daemon.terminate()
        assert self.daemon.wait(timeout=15) == 0
        return self.log()


@pytest.fixture
def rig() -> Iterator[Rig]:
    with tempfile.TemporaryDirectory(prefix="kdx7400-modbus-") as root:
        r = Rig(root)
        yield r
        if r.daemon is not None and r.daemon.poll() is None:
            r.daemon.kill()
            r.daemon.wait(timeout=10)


def eventually(check: Callable[[], bool], timeout: float = 8.0) -> bool:
    """Whether check holds within timeout (polled every 20 ms)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if check():
            return True
        time.sleep(0.02)
    return check()


def exception_of(response: Any) -> int:
    assert response.isError(), response
    return int(response.exception_code)


