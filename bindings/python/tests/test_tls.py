"""TLS settings of a connection, without a server: a peer that does not speak TLS, and files that
cannot be used, fail the open with ERROR_TLS; half a client certificate is refused at once."""

from __future__ import annotations

import os
import socket
import tempfile
import threading
import unittest

import qdo


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


if __name__ == "__main__":
    unittest.main()
