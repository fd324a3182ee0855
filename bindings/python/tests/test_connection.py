"""The package against qdo-server, which the tests start on a free port with a fresh data
directory: every method as a user calls it, errors, callbacks and event handlers that raise,
binary and large values, walks stopped early, events and BLOBs."""

from __future__ import annotations

import io
import os
import random
import shutil
import socket
import tempfile
import threading
import time
import unittest
from typing import Any, Optional

import qdo
from qdo._values import Settable
import server
from server import ServerProcess

ALL_BYTES = bytes(range(256))
SERVER: Optional[ServerProcess] = None


def setUpModule() -> None:
    global SERVER
    SERVER = ServerProcess()


def tearDownModule() -> None:
    if SERVER is not None:
        SERVER.close()


def open_connection() -> qdo.Connection:
    assert SERVER is not None
    return qdo.connect("127.0.0.1", SERVER.port, namespace="USER")


def random_bytes(size: int, seed: int) -> bytes:
    return random.Random(seed).randbytes(size)


class Case(unittest.TestCase):
    def setUp(self) -> None:
        self.c = open_connection()
        self.addCleanup(self.c.close)


class Values(Case):
    def test_set_get_and_kill_values_of_every_kind(self) -> None:
        table: list[tuple[Settable, bytes]] = [
            (b"bytes", b"bytes"), ("text é", "text é".encode()), (42, b"42"), (-7, b"-7"),
            (1.5, b"1.5"), (0.25, b".25"), (-0.5, b"-.5"), (1e20, b"100000000000000000000"),
            (b"", b""), (ALL_BYTES, ALL_BYTES), (ALL_BYTES * 4096, ALL_BYTES * 4096),
        ]
        for value, stored in table:
            with self.subTest(value=repr(value)[:30]):
                self.c.set("^PyValue", value)
                self.assertEqual(self.c.get("^PyValue"), stored)
        self.c.set("^PyValue", 2.5)
        self.assertEqual(self.c.get("^PyValue*2"), b"5")  # stored as a number M reads
        self.c.set('^PyValue("é")', "ünïcode")
        self.assertEqual(self.c.get_str('^PyValue("é")'), "ünïcode")
        self.c.kill("^PyValue")
        self.assertEqual(self.c.get("$data(^PyValue)"), b"0")

    def test_a_mebibyte_both_ways(self) -> None:
        big = random_bytes(1048576, 1)
        self.c.set("^PyBig", big)
        self.assertEqual(self.c.get("$length(^PyBig)"), b"1048576")
        self.assertEqual(self.c.get("^PyBig"), big)
        self.assertEqual(self.c.execute("write ^PyBig"), big)
        self.c.kill("^PyBig")

    def test_execute_and_its_output(self) -> None:
        self.assertEqual(self.c.execute('write "a",!,"b"'), b"a\nb")
        self.assertEqual(self.c.execute("set x=1"), b"")
        pieces: list[bytes] = []
        self.c.execute_output("for i=1:1:2000 write $justify(i,50),!", pieces.append)
        shown = b"".join(pieces).replace(b"\r", b"")
        self.assertEqual(shown, b"".join(b"%50d\n" % i for i in range(1, 2001)))
        self.c.execute_output('write "dropped"')  # no function: dropped

    def test_literals_carry_any_bytes(self) -> None:
        value = ALL_BYTES + b"\xff\xfe tail"
        self.c.execute("set ^PyLiteral=" + qdo.mtext(value))
        self.assertEqual(self.c.get("^PyLiteral"), value)
        self.c.kill("^PyLiteral")


class Errors(Case):
    def test_an_m_error_has_its_code(self) -> None:
        with self.assertRaises(qdo.Error) as caught:
            self.c.get("^PyUndefined")
        self.assertEqual(caught.exception.code, qdo.ERROR_SERVER)
        assert caught.exception.mcode is not None
        self.assertTrue(caught.exception.mcode.startswith(",M7,"), caught.exception.mcode)
        with self.assertRaises(qdo.Error) as caught:
            self.c.execute("set x=1/0")
        assert caught.exception.mcode is not None
        self.assertTrue(caught.exception.mcode.startswith(",M9,"))
        self.assertEqual(self.c.get("1+1"), b"2")  # and the connection goes on

    def test_a_refused_connection(self) -> None:
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        port = listener.getsockname()[1]
        listener.close()  # nobody listens there now
        with self.assertRaises(qdo.Error) as caught:
            qdo.connect("127.0.0.1", port)
        self.assertEqual(caught.exception.code, qdo.ERROR_NONE)
        self.assertIn("10061", caught.exception.message)
        self.assertIsNone(caught.exception.mcode)

    def test_a_closed_connection(self) -> None:
        c = open_connection()
        c.close()
        c.close()
        with self.assertRaises(qdo.Error) as caught:
            c.get("1")
        self.assertEqual(caught.exception.code, qdo.ERROR_NOT_CONNECTED)
        closed = qdo.Connection("127.0.0.1", 1)
        with self.assertRaises(qdo.Error) as caught:
            closed.get("1")
        self.assertEqual(caught.exception.code, qdo.ERROR_NOT_CONNECTED)
        closed.close()


class Credentials(unittest.TestCase):
    """A server that requires credentials: the right ones open a session, wrong ones fail."""

    def test_a_user_and_password(self) -> None:
        folder = tempfile.mkdtemp(prefix="qdo-python-auth-")
        self.addCleanup(shutil.rmtree, folder, True)
        auth = os.path.join(folder, "auth")
        server.run(["passwd", "--auth", auth, "alice"], b"wonderland\n")
        guarded = ServerProcess(["--auth", auth, "--max-auth-failures", "1000"])
        self.addCleanup(guarded.close)
        with qdo.connect("127.0.0.1", guarded.port, user="alice", password="wonderland") as c:
            self.assertEqual(c.get("1+2"), b"3")
        for user, password in [("alice", "wrong"), ("nobody", "wonderland")]:
            with self.subTest(user=user, password=password):
                with self.assertRaises(qdo.Error) as caught:
                    qdo.connect("127.0.0.1", guarded.port, user=user, password=password)
                self.assertEqual(caught.exception.code, qdo.ERROR_NO_JOB)
        with self.assertRaises(ValueError):
            qdo.Connection("127.0.0.1", guarded.port, user="alice")


class Callbacks(Case):
    def test_a_function_answers_the_server(self) -> None:
        self.c.on_callback = lambda command: b"<" + command + b">"
        self.assertEqual(self.c.get('$$Callback("hi")'), b"<hi>")
        self.c.on_callback = lambda command: len(command)
        self.assertEqual(self.c.get('$$Callback("four")+1'), b"5")
        self.c.on_callback = lambda command: "x" * 100000
        self.assertEqual(self.c.get('$length($$Callback("big"))'), b"100000")
        self.c.on_callback = None
        self.assertEqual(self.c.get('"["_$$Callback("none")_"]"'), b"[]")

    def test_an_exception_fails_the_call_and_never_crosses_into_c(self) -> None:
        calls: list[bytes] = []

        def fails(command: bytes) -> bytes:
            calls.append(command)
            if command == b"bad":
                raise KeyError("no such key")
            return b"good"

        self.c.on_callback = fails
        with self.assertRaises(qdo.Error) as caught:
            self.c.execute('set ^PyAfter="["_$$Callback("bad")_"]"')
        self.assertIsInstance(caught.exception.__cause__, KeyError)
        self.assertIn("no such key", caught.exception.message)
        # The command went on with the empty answer; the connection is in step.
        self.assertEqual(self.c.get("^PyAfter"), b"[]")
        self.assertEqual(self.c.get('$$Callback("ok")'), b"good")
        self.assertEqual(calls, [b"bad", b"ok"])
        self.c.kill("^PyAfter")


    def test_between_calls_the_exception_comes_from_process_events(self) -> None:
        def fails(command: bytes) -> bytes:
            raise PermissionError("not now: " + command.decode())

        self.c.execute("set ^PySession=$$Session()")
        self.c.on_callback = fails
        answered: list[bytes] = []
        with open_connection() as other:
            asker = threading.Thread(
                target=lambda: answered.append(
                    other.get('"<"_$$ClientCall(^PySession,"ping")_">"')
                )
            )
            asker.start()
            with self.assertRaises(qdo.Error) as caught:
                end = time.monotonic() + 20
                while time.monotonic() < end:
                    self.c.process_events(0.05)
            asker.join()
        self.assertIsInstance(caught.exception.__cause__, PermissionError)
        self.assertEqual(answered, [b"<>"])
        self.c.on_callback = None
        self.c.kill("^PySession")

    def test_an_output_function_that_raises(self) -> None:
        def fails(piece: bytes) -> None:
            raise UnicodeError("cannot show")

        with self.assertRaises(qdo.Error) as caught:
            self.c.execute_output('write "shown"', fails)
        self.assertIsInstance(caught.exception.__cause__, UnicodeError)
        self.assertEqual(self.c.get("6"), b"6")


class Walks(Case):
    @classmethod
    def setUpClass(cls) -> None:
        with open_connection() as c:
            c.execute("kill ^PyWalk for i=1:1:3000 set ^PyWalk(i)=$justify(i,1000)")
            c.set('^PyWalk("bin")', ALL_BYTES)

    @classmethod
    def tearDownClass(cls) -> None:
        with open_connection() as c:
            c.kill("^PyWalk")

    def test_the_whole_subtree_in_order(self) -> None:
        pairs = list(self.c.walk("^PyWalk"))
        self.assertEqual(len(pairs), 3001)
        self.assertEqual(pairs[0], (b"^PyWalk(1)", b" " * 999 + b"1"))
        self.assertEqual(pairs[2999][0], b"^PyWalk(3000)")
        self.assertEqual(pairs[3000], (b'^PyWalk("bin")', ALL_BYTES))
        self.assertEqual(list(self.c.walk("^PyNothing")), [])

    def test_breaking_out_stops_the_walk_and_frees_the_connection(self) -> None:
        for seen, (reference, _value) in enumerate(self.c.walk("^PyWalk"), 1):
            if seen == 5:
                break
        self.assertEqual(reference, b"^PyWalk(5)")
        self.assertEqual(self.c.get("^PyWalk(7)"), b" " * 999 + b"7")
        self.assertEqual(self.c.get('$order(^PyWalk(""),-1)'), b"bin")
        # An exception in the loop body does the same.
        with self.assertRaises(ZeroDivisionError):
            for _pair in self.c.walk("^PyWalk"):
                1 / 0
        self.assertEqual(self.c.get("^PyWalk(8)"), b" " * 999 + b"8")

    def test_the_connection_is_busy_inside_the_loop(self) -> None:
        walk = self.c.walk("^PyWalk")
        next(walk)
        with self.assertRaises(qdo.Error) as caught:
            self.c.get("1")
        self.assertEqual(caught.exception.code, qdo.ERROR_BUSY)
        walk.close()
        self.assertEqual(self.c.get("1"), b"1")

    def test_a_walk_that_fails(self) -> None:
        with self.assertRaises(qdo.Error) as caught:
            list(self.c.walk("^PyWalk(1"))
        self.assertEqual(caught.exception.code, qdo.ERROR_SERVER)
        self.assertEqual(self.c.get("2"), b"2")
        # A node too long for one chunk ends the walk on the server.
        self.c.set("^PyLong(1)", b"short")
        self.c.set("^PyLong(2)", b"L" * 40000)
        with self.assertRaises(qdo.Error) as caught:
            list(self.c.walk("^PyLong"))
        self.assertIn("GRPTOOLONG", caught.exception.message)
        self.assertEqual(self.c.get("$length(^PyLong(2))"), b"40000")
        self.c.kill("^PyLong")


class Events(Case):
    def test_handlers_between_calls_and_during_them(self) -> None:
        received: list[tuple[bytes, bytes]] = []
        self.c.on_event("PyStock", lambda name, params: received.append((name, params)))
        with open_connection() as sender:
            self.assertEqual(sender.get('$$SendMsg("PyStock","ACME 12")'), b"1")
            end = time.monotonic() + 20
            while not received and time.monotonic() < end:
                self.c.process_events(0.1)
            self.assertEqual(received, [(b"PyStock", b"ACME 12")])

            later = threading.Timer(0.3, sender.execute, ['do SendMsg("PyStock","during")'])
            later.start()
            self.c.execute("hang 1")
            later.join()
            self.assertEqual(received[-1], (b"PyStock", b"during"))
            self.c.off_event("PyStock")
            self.assertEqual(sender.get('$$SendMsg("PyStock","gone")'), b"0")

    def test_an_iterator_of_events(self) -> None:
        with open_connection() as sender:
            def send() -> None:
                time.sleep(0.2)
                for i in range(3):
                    sender.execute('do SendMsg("PyTick",%d)' % i)

            thread = threading.Thread(target=send)
            thread.start()
            got = list(self.c.events(["PyTick"], timeout=2))
            thread.join()
            self.assertEqual(got, [(b"PyTick", b"0"), (b"PyTick", b"1"), (b"PyTick", b"2")])
            self.assertEqual(sender.get('$$SendMsg("PyTick","after")'), b"0")

    def test_a_handler_that_raises(self) -> None:
        def fails(name: bytes, params: bytes) -> None:
            raise ValueError("bad event " + params.decode())

        self.c.on_event("PyBad", fails)
        with open_connection() as sender:
            sender.execute('do SendMsg("PyBad","x")')
        with self.assertRaises(qdo.Error) as caught:
            end = time.monotonic() + 20
            while time.monotonic() < end:
                self.c.process_events(0.1)
        self.assertIsInstance(caught.exception.__cause__, ValueError)
        self.assertEqual(self.c.get("3"), b"3")
        self.c.off_event("PyBad")
        self.assertGreaterEqual(self.c.fileno(), 0)


class Blobs(Case):
    SIZES = [0, 1, 2047, 2048, 2049, 10000, 300001]

    def test_bytes_in_and_out(self) -> None:
        for size in self.SIZES:
            with self.subTest(size=size):
                data = random_bytes(size, size)
                identifier = self.c.blob_put(data, name="py-%d" % size)
                self.assertGreater(identifier, 0)
                self.assertEqual(self.c.blob_get(identifier), data)
                self.c.blob_delete(identifier)
                with self.assertRaises(qdo.Error):
                    self.c.blob_get(identifier)

    def test_file_objects_streamed(self) -> None:
        for size in self.SIZES:
            with self.subTest(size=size):
                data = random_bytes(size, size + 1)
                identifier = self.c.blob_put(io.BytesIO(data), name=b"file")
                target = io.BytesIO()
                self.c.blob_read_into(identifier, target)
                self.assertEqual(target.getvalue(), data)

                with self.c.blob_open(identifier, "wb") as blob:
                    for at in range(0, size, 777):
                        blob.write(data[at : at + 777][::-1])
                expected = b"".join(data[at : at + 777][::-1] for at in range(0, size, 777))
                with self.c.blob_open(identifier, "rb") as blob:
                    pieces = []
                    while True:
                        piece = blob.read(1000)
                        if not piece:
                            break
                        pieces.append(piece)
                self.assertEqual(b"".join(pieces), expected)
                self.c.blob_delete(identifier)

    def test_streams_given_up(self) -> None:
        data = random_bytes(50000, 9)
        identifier = self.c.blob_put(data)
        with self.c.blob_open(identifier, "rb") as blob:
            self.assertEqual(blob.read(10), data[:10])
        self.assertEqual(self.c.get("4"), b"4")  # closed early: the connection is free

        class Broken(io.RawIOBase):
            def readable(self) -> bool:
                return True

            def readinto(self, target: Any) -> int:
                raise OSError("disk gone")

        with self.assertRaises(qdo.Error) as caught:
            self.c.blob_write(identifier, Broken())
        self.assertIsInstance(caught.exception.__cause__, OSError)

        with self.assertRaises(RuntimeError):
            with self.c.blob_open(identifier, "wb") as blob:
                blob.write(b"partial")
                raise RuntimeError("given up")
        self.assertEqual(self.c.get("5"), b"5")
        self.c.blob_delete(identifier)


if __name__ == "__main__":
    unittest.main()


class Failover(unittest.TestCase):
    def test_an_open_over_a_server_list_passes_a_refusing_server(self) -> None:
        assert SERVER is not None
        with socket.socket() as closed:
            closed.bind(("127.0.0.1", 0))
            refusing = closed.getsockname()[1]
        servers = f"127.0.0.1:{refusing},127.0.0.1:{SERVER.port}"
        with qdo.connect("127.0.0.1", refusing, namespace="USER", servers=servers,
                         server_try_timeout=5, prefer_secondary=True) as c:
            self.assertEqual(c.current_server, f"127.0.0.1:{SERVER.port}")
            self.assertEqual(c.get("1+1"), b"2")

    def test_a_malformed_server_list_is_refused_naming_the_entry(self) -> None:
        with self.assertRaises(qdo.Error) as raised:
            qdo.Connection("127.0.0.1", 1, servers="a:1,b")
        self.assertIn('entry 2 "b" has no port', str(raised.exception))
