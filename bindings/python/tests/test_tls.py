"""TLS settings of a connection: without a server, a peer that does not speak TLS and files that
cannot be used fail the open with ERROR_TLS, and half a client certificate is refused at once;
against qdo-server run with a certificate that a throw-away authority (made here with the openssl
command) signed, values of every size go both ways, and a certificate that cannot be trusted for
the name, or a plain connection, fails with ERROR_TLS."""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import tempfile
import threading
import unittest
from typing import Optional

import qdo
from server import ServerProcess


class HangingUpPeer:
    """A loopback listener that accepts one connection and closes it at once."""

    def __init__(self) -> None:
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port: int = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self) -> None:
        self.listener.settimeout(5)
        try:
            peer, _ = self.listener.accept()
            peer.close()
        except OSError:
            pass

    def close(self) -> None:
        self.thread.join(5)
        self.listener.close()


class TlsSettings(unittest.TestCase):
    def test_a_peer_that_does_not_speak_tls_fails_with_the_tls_code(self) -> None:
        peer = HangingUpPeer()
        self.addCleanup(peer.close)
        with self.assertRaises(qdo.Error) as raised:
            qdo.connect("127.0.0.1", peer.port, tls=True, timeout=2)
        self.assertEqual(raised.exception.code, qdo.ERROR_TLS)
        self.assertIn("is it a TLS server?", str(raised.exception))

    def test_an_authorities_file_that_is_missing_is_named(self) -> None:
        peer = HangingUpPeer()
        self.addCleanup(peer.close)
        missing = os.path.join(tempfile.gettempdir(), "qdo-no-such-ca.pem")
        with self.assertRaises(qdo.Error) as raised:
            qdo.connect("127.0.0.1", peer.port, tls=True, tls_authorities=missing, timeout=2)
        self.assertEqual(raised.exception.code, qdo.ERROR_TLS)
        self.assertIn(f"'{missing}': no such file or directory", str(raised.exception))

    def test_a_client_certificate_needs_its_key(self) -> None:
        with self.assertRaises(ValueError):
            qdo.Connection("127.0.0.1", 1, tls=True, tls_certificate="client.crt")
        with qdo.Connection(
            "127.0.0.1",
            1,
            tls=True,
            tls_server_name="db.example.org",
            tls_certificate="client.crt",
            tls_key="client.key",
            tls_verify=False,
        ):
            pass  # settings are taken as they are; files are read at the open


def _openssl(*arguments: str) -> None:
    subprocess.run(["openssl", *arguments], check=True, capture_output=True)


class TlsServer(unittest.TestCase):
    folder = ""
    server: Optional[ServerProcess] = None

    @classmethod
    def setUpClass(cls) -> None:
        cls.folder = tempfile.mkdtemp(prefix="qdo-python-tls-")

        def path(name: str) -> str:
            return os.path.join(cls.folder, name)

        _openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                 "-nodes", "-days", "2", "-keyout", path("ca.key"), "-out", path("ca.pem"),
                 "-subj", "/CN=qdo python test CA")
        _openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                 "-keyout", path("server.key"), "-out", path("server.csr"), "-subj", "/CN=localhost")
        with open(path("san.ext"), "w") as ext:
            ext.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
        _openssl("x509", "-req", "-in", path("server.csr"), "-CA", path("ca.pem"), "-CAkey",
                 path("ca.key"), "-CAcreateserial", "-days", "2", "-extfile", path("san.ext"),
                 "-out", path("server.pem"))
        cls.server = ServerProcess(
            ["--tls-cert", path("server.pem"), "--tls-key", path("server.key")])

    @classmethod
    def tearDownClass(cls) -> None:
        if cls.server is not None:
            cls.server.close()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def connect(self, tls: Optional[bool] = None, tls_authorities: Optional[str] = None,
                tls_server_name: Optional[str] = None) -> qdo.Connection:
        assert self.server is not None
        return qdo.connect("127.0.0.1", self.server.port, namespace="USER", timeout=10, tls=tls,
                           tls_authorities=tls_authorities, tls_server_name=tls_server_name)

    def test_values_of_every_size_go_both_ways(self) -> None:
        # Naming the authority is enough to turn TLS on.
        with self.connect(tls_authorities=os.path.join(self.folder, "ca.pem")) as c:
            for size in (0, 1, 16384, 100000, 1048576):
                with self.subTest(size=size):
                    value = bytes((i * 7 + size) % 256 for i in range(size))
                    c.set("^PyTls", value)
                    self.assertEqual(c.get("^PyTls"), value)
            c.kill("^PyTls")

    def test_an_untrusted_certificate_or_a_wrong_name_fails_with_the_tls_code(self) -> None:
        authority = os.path.join(self.folder, "ca.pem")
        cases: list[tuple[Optional[str], Optional[str], str]] = [
            (None, None, "unable to get local issuer certificate"),  # the system's store
            (authority, "db.example.org", "server name 'db.example.org'"),
        ]
        for authorities, name, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(qdo.Error) as raised:
                    self.connect(tls=True, tls_authorities=authorities, tls_server_name=name)
                self.assertEqual(raised.exception.code, qdo.ERROR_TLS)
                self.assertIn(message, str(raised.exception))

    def test_a_plain_connection_is_told_to_turn_tls_on(self) -> None:
        with self.assertRaises(qdo.Error) as raised:
            self.connect(tls=False)
        self.assertEqual(raised.exception.code, qdo.ERROR_TLS)
        self.assertIn("takes TLS connections only", str(raised.exception))


if __name__ == "__main__":
    unittest.main()
