# SPDX-License-Identifier: MIT
"""Modbus/TCP Security: TLS with client certificates made here by openssl,
each client's rights by the role its certificate carries, through a TLS
Modbus client written over Python's ssl module."""
from __future__ import annotations

import signal
import socket
import ssl
import struct
import subprocess
from pathlib import Path

import pytest

from modbus_rig import DAEMON, Rig, eventually, free_ports

ROLE_OID = "1.3.6.1.4.1.50316.802.1"


class Authority:
    """A CA of its own (openssl ca), signing certificates with or without a role."""

    def __init__(self, folder: Path, name: str) -> None:
        self.dir = folder / name
        self.dir.mkdir()
        (self.dir / "index.txt").write_text("")
        (self.dir / "serial").write_text("1000\n")
        (self.dir / "ca.cnf").write_text(
            f"[ca]\ndefault_ca = here\n[here]\ndir = {self.dir}\ndatabase = {self.dir}/index.txt\n"
            f"new_certs_dir = {self.dir}\ncertificate = {self.dir}/ca.pem\nprivate_key = {self.dir}/ca.key\n"
            f"serial = {self.dir}/serial\ndefault_md = sha256\npolicy = any\nunique_subject = no\n"
            "[any]\ncommonName = supplied\n")
        self.openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                     "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", f"/CN={name}")
        self.pem = self.dir / "ca.pem"

    def openssl(self, *args: str) -> None:
        subprocess.run(["openssl", *args], cwd=self.dir, check=True, capture_output=True, timeout=30)

    def issue(self, name: str, role: str | None = None, ip: str | None = None,
              dates: tuple[str, str] | None = None) -> tuple[Path, Path]:
        self.openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                     "-keyout", f"{name}.key", "-out", f"{name}.csr", "-subj", f"/CN={name}")
        extensions = ["basicConstraints = CA:FALSE"]
        if role is not None:
            extensions.append(f"{ROLE_OID} = ASN1:UTF8String:{role}")
        if ip is not None:
            extensions.append(f"subjectAltName = IP:{ip}")
        (self.dir / f"{name}.ext").write_text("\n".join(extensions) + "\n")
        validity = ["-startdate", dates[0], "-enddate", dates[1]] if dates else ["-days", "1"]
        self.openssl("ca", "-batch", "-config", "ca.cnf", "-in", f"{name}.csr", "-out", f"{name}.pem",
                     "-extfile", f"{name}.ext", "-notext", *validity)
        return self.dir / f"{name}.pem", self.dir / f"{name}.key"


def frame(transaction: int, function: int, address: int, value: int, unit: int = 1) -> bytes:
    return struct.pack(">HHHBBHH", transaction, 0, 6, unit, function, address, value)


def ask(port: int, ca: Path, client: tuple[Path, Path] | None, request: bytes) -> bytes | None:
    """The answer to one request over TLS, or None when the daemon would not talk."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.load_verify_locations(ca)
    if client is not None:
        context.load_cert_chain(*client)
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as raw, \
                context.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
            tls.sendall(request)
            answer = tls.recv(300)
            return answer or None
    except (ssl.SSLError, ConnectionError, socket.timeout):
        return None  # refused at the handshake, or (TLS 1.3) right after it


@pytest.fixture
def secured(rig: Rig, tmp_path: Path):  # type: ignore[no-untyped-def]
    plant = Authority(tmp_path, "plant-ca")
    stranger = Authority(tmp_path, "other-ca")
    server = plant.issue("kdx7400d", ip="127.0.0.1")
    clients = {
        "operator": plant.issue("operator", role="operator"),
        "viewer": plant.issue("viewer", role="viewer"),
        "expired": plant.issue("expired", role="operator", dates=("20200101000000Z", "20200102000000Z")),
        "wrong CA": stranger.issue("intruder", role="operator"),
        "no role": plant.issue("anonymous"),
        "a role not in the table": plant.issue("janitor", role="janitor"),
        "no certificate": None,
    }
    (tls_port,) = free_ports(1)
    rig.add("pid=0x7401,bid=3")
    rig.start("--module", "1=7401:3", "--modbus-tls", f"127.0.0.1:{tls_port}", "--modbus-tls-cert", str(server[0]),
              "--modbus-tls-key", str(server[1]), "--modbus-tls-ca", str(plant.pem), modbus_writers=())
    return rig, tls_port, plant.pem, clients


# Who, whether it may read (FC 1) and write (FC 5): None when it is not
# let in at all.
TABLE = [
    ("operator", True, True),
    ("viewer", True, False),
    ("expired", None, None),
    ("wrong CA", None, None),
    ("no role", None, None),
    ("a role not in the table", None, None),
    ("no certificate", None, None),
]


def test_each_certificate_may_do_what_its_role_allows_and_a_refused_one_writes_nothing(secured) -> None:  # type: ignore[no-untyped-def]
    rig, port, ca, clients = secured
    for n, (who, reads, writes) in enumerate(TABLE):
        before = rig.state()["outputs"]
        read = ask(port, ca, clients[who], frame(1, 1, 0, 16))
        wrote = ask(port, ca, clients[who], frame(2, 5, n, 0xFF00))
        if reads is None:
            assert read is None and wrote is None, who
        else:
            assert read is not None and read[7] == 1 and read[:2] == b"\x00\x01", (who, read)
            assert wrote is not None and wrote[:2] == b"\x00\x02", (who, wrote)
            assert (wrote[7], wrote[8:9]) == ((5, b"\x00") if writes else (0x85, b"\x01")), (who, wrote)
        assert rig.state()["outputs"] == before | ((1 << n) if writes else 0), who
    log = rig.log()
    assert "carries no role" in log and "the role table does not name" in log and "TLS handshake failed" in log
    # The audit trail names the certificate and its role.
    assert "audit: unit 1: outputs" in log and "CN=operator, role operator" in log
    # Plain Modbus to the TLS port gets no answer.
    with socket.create_connection(("127.0.0.1", port), timeout=5) as plain:
        plain.sendall(frame(3, 5, 9, 0xFF00))
        try:
            answer = plain.recv(300)
        except ConnectionError:
            answer = b""
        assert answer[7:8] != b"\x05"
    assert rig.state()["outputs"] & (1 << 9) == 0


@pytest.mark.parametrize("options, said", [
    (("--modbus-tls", "127.0.0.1:8802"), "needs --modbus-tls-cert"),
    (("--modbus-role", "viewer=1-4"), "need --modbus-tls"),
    (("--modbus-tls", "127.0.0.1:8802", "--modbus-tls-cert", "/nonexistent", "--modbus-tls-key", "/nonexistent",
      "--modbus-tls-ca", "/nonexistent", "--modbus-role", "viewer"), "NAME=CODES"),
    (("--modbus-tls", "127.0.0.1:8802", "--modbus-tls-cert", "/nonexistent", "--modbus-tls-key", "/nonexistent",
      "--modbus-tls-ca", "/nonexistent", "--modbus-role", "x=4-1"), "runs upwards"),
    (("--modbus-tls", "127.0.0.1:8802", "--modbus-tls-cert", "/nonexistent", "--modbus-tls-key", "/nonexistent",
      "--modbus-tls-ca", "/nonexistent", "--modbus-role", "x=1,200"), "1 to 127"),
    (("--modbus-tls", "127.0.0.1:8802", "--modbus-tls-cert", "/nonexistent", "--modbus-tls-key", "/nonexistent",
      "--modbus-tls-ca", "/nonexistent", "--modbus-role", "x=1", "--modbus-role", "x=2"), "given twice"),
])
def test_a_security_setting_that_will_not_do_is_named_at_start(options: tuple[str, ...], said: str) -> None:
    done = subprocess.run([DAEMON, "--all", *options, "--check-config"], capture_output=True, text=True, timeout=10)
    assert done.returncode == 2 and said in done.stderr, (options, done.stderr)


def test_certificate_files_that_will_not_do_are_named(rig: Rig, tmp_path: Path) -> None:
    (tls_port,) = free_ports(1)
    rig.add("pid=0x7401,bid=3")
    done = subprocess.run([DAEMON, "--module", "1=7401:3", "--modbus", f"127.0.0.1:{rig.port}", "--modbus-tls",
                           f"127.0.0.1:{tls_port}", "--modbus-tls-cert", str(tmp_path / "missing.pem"),
                           "--modbus-tls-key", str(tmp_path / "missing.key"), "--modbus-tls-ca",
                           str(tmp_path / "ca.pem")], capture_output=True, text=True, timeout=10)
    assert done.returncode == 2 and "cannot use the certificate" in done.stderr, done.stderr


def test_a_reload_applies_a_new_role_table_to_open_connections(secured, tmp_path: Path) -> None:  # type: ignore[no-untyped-def]
    rig, _, _, _ = secured
    rig.stop()
    plant = Authority(tmp_path, "reload-ca")
    server, operator = plant.issue("kdx7400d", ip="127.0.0.1"), plant.issue("operator", role="operator")
    (port,) = free_ports(1)
    conf = tmp_path / "kdx7400d.conf"
    settings = (f'module = ["1=7401:3"]\nmodbus = "127.0.0.1:{rig.port}"\nmodbus-tls = "127.0.0.1:{port}"\n'
                f'modbus-tls-cert = "{server[0]}"\nmodbus-tls-key = "{server[1]}"\nmodbus-tls-ca = "{plant.pem}"\n')
    conf.write_text(settings + 'modbus-role = ["operator=1-4"]\n')
    rig.start("--config", str(conf), modbus_writers=())
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.load_verify_locations(plant.pem)
    context.load_cert_chain(*operator)
    with socket.create_connection(("127.0.0.1", port), timeout=5) as raw, \
            context.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
        for n, (roles, written) in enumerate([('["operator=1-4"]', False), ('["operator=*"]', True),
                                              ('["operator=1-4", "viewer=1"]', False)]):
            if n:
                conf.write_text(settings + f"modbus-role = {roles}\n")
                before = rig.log().count("modbus-role changed in the configuration; applied")
                assert rig.daemon is not None
                rig.daemon.send_signal(signal.SIGHUP)
                assert eventually(lambda: rig.log().count("modbus-role changed in the configuration; applied") > before)
            tls.sendall(frame(n, 5, n, 0xFF00))
            answer = tls.recv(300)
            assert answer[7] == (5 if written else 0x85), (roles, answer)
            assert bool(rig.state()["outputs"] & (1 << n)) == written, roles
