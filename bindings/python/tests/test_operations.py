"""Transactions, batches and JSON against qdo-server (started by the tests on a free port):
atomic commits and rollbacks, a batch stopped in the middle, JSON streamed through file objects
and functions in small pieces, and the errors of each."""

from __future__ import annotations

import decimal
import io
import unittest
from typing import Any, Callable, Optional

import qdo
from server import ServerProcess

SERVER: Optional[ServerProcess] = None

# Every kind of value, written as an export writes it, so that it comes back byte for byte.
DOCUMENT = (
    '{"a":[1,"x",{"b":0.5,"c":"tr\\"ue\\n\\u0001"}],"d":{"":"v","e":-3},'
    '"f":"caf\u00e9","g":{"1":"one","3":"three"}}'
).encode("utf-8")


def setUpModule() -> None:
    global SERVER
    SERVER = ServerProcess()


def tearDownModule() -> None:
    if SERVER is not None:
        SERVER.close()


class Case(unittest.TestCase):
    def setUp(self) -> None:
        assert SERVER is not None
        self.c = qdo.connect("127.0.0.1", SERVER.port, namespace="USER")
        self.addCleanup(self.c.close)
        self.c.execute("k ^PyOps")
        self.addCleanup(self.c.execute, "k ^PyOps")


class Trickle(io.RawIOBase):
    """A binary file object that gives at most `step` bytes a read."""

    def __init__(self, data: bytes, step: int = 1):
        self._data, self._step, self.reads = data, step, 0

    def readable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        self.reads += 1
        piece, self._data = self._data[: min(size, self._step)], self._data[min(size, self._step) :]
        return piece


class Transactions(Case):
    def test_commit_gives_one_result_per_operation(self) -> None:
        self.c.set(("^PyOps", "n"), 10)
        self.c.set(("^PyOps", "gone", 1), 1)
        with self.c.transaction() as t:
            t.set(("^PyOps", "a"), b"v\0w")
            step = t.increment(("^PyOps", "n"), -2.5)
            got = t.get(("^PyOps", "a"))
            t.merge(("^PyOps", "copy"), ("^PyOps", "a"))
            t.kill(("^PyOps", "gone"))
            hexadecimal = t.function("FUNC^%DH", 255, 4)  # a routine of GT.M's own
            self.assertEqual(self.c.data(("^PyOps", "a")), 0)  # nothing sent yet
        assert t.results is not None
        self.assertEqual(list(t.results), [b"", b"7.5", b"v\0w", b"", b"", b"00FF"])
        self.assertEqual((step, got, hexadecimal), (1, 2, 5))
        self.assertEqual(t.results.restarts, 0)
        self.assertEqual(self.c.get(("^PyOps", "copy")), b"v\0w")
        self.assertEqual(self.c.data(("^PyOps", "gone")), 0)
        explicit = self.c.transaction()
        explicit.increment(("^PyOps", "n"))
        self.assertEqual(list(explicit.run()), [b"8.5"])

    def test_failure_applies_nothing(self) -> None:
        with self.assertRaises(qdo.Error) as raised:
            with self.c.transaction() as t:
                t.set(("^PyOps", "a"), 1)
                t.get(("^PyOps", "missing"))
        self.assertEqual(raised.exception.code, qdo.ERROR_SERVER)
        self.assertIn("GVUNDEF", raised.exception.message)
        self.assertTrue(raised.exception.mcode)
        self.assertIsNone(t.results)
        self.assertEqual(self.c.data(("^PyOps",)), 0)

    def test_a_block_left_by_an_exception_sends_nothing(self) -> None:
        with self.assertRaises(KeyError):
            with self.c.transaction() as t:
                t.set(("^PyOps", "a"), 1)
                raise KeyError("out")
        self.assertEqual(self.c.data(("^PyOps",)), 0)

    def test_bad_operations_name_their_index(self) -> None:
        adds: list[Callable[[qdo.Transaction], int]] = [
            lambda t: t.set(("PyOpsLocal",), 1),  # locals have no place in a transaction
            lambda t: t.set(("^PyOps(1)",), 1),
            lambda t: t.increment(("^PyOps",), "1E3"),
        ]
        for add in adds:
            t = self.c.transaction()
            t.set(("^PyOps", "good"), 1)
            add(t)
            with self.subTest(), self.assertRaises(qdo.Error) as raised:
                t.run()
            self.assertEqual(raised.exception.code, qdo.ERROR_BAD_REFERENCE)
            self.assertTrue(raised.exception.message.startswith("Operation 1: "))
        self.assertEqual(self.c.data(("^PyOps",)), 0)


class Batches(Case):
    def test_failure_in_the_middle_keeps_the_results_before_it(self) -> None:
        b = self.c.batch()
        b.set(("^PyOps", "a"), "first")
        b.increment(("^PyOps", "n"))
        b.data(("^PyOps", "a"))
        b.get(("^PyOps", "missing"), "d")
        b.set(("PyOpsLocal",), "L")
        b.get(("PyOpsLocal",))
        failing = b.get(("^PyOps", "missing"))
        b.set(("^PyOps", "b"), "never")
        with self.assertRaises(qdo.BatchError) as raised:
            b.run()
        error = raised.exception
        self.assertEqual(error.index, failing)
        self.assertEqual(list(error.results), [b"", b"1", b"1", b"d", b"", b"L"])
        self.assertEqual(error.code, qdo.ERROR_SERVER)
        self.assertTrue(error.mcode)
        self.assertEqual(self.c.get(("^PyOps", "a")), b"first")
        self.assertEqual(self.c.data(("^PyOps", "b")), 0)

    def test_context_manager_runs_the_batch(self) -> None:
        with self.c.batch() as b:
            for i in range(300):
                b.set(("^PyOps", i), i * i)
            b.data(("^PyOps", 299))
        assert b.results is not None
        self.assertEqual(len(b.results), 301)
        self.assertEqual(b.results[-1], b"1")
        self.assertEqual(self.c.get(("^PyOps", 299)), b"89401")


class Json(Case):
    def test_round_trip_byte_for_byte_through_small_pieces(self) -> None:
        root = ("^PyOps", "json")
        self.c.set(("^PyOps", "json", "stale"), 1)
        source = Trickle(DOCUMENT, 1)
        self.assertEqual(self.c.import_json(root, source, kill_root_first=True), 9)
        self.assertGreater(source.reads, len(DOCUMENT))
        self.assertEqual(self.c.data(("^PyOps", "json", "stale")), 0)
        pieces: list[bytes] = []
        self.c.export_json(root, pieces.append, batch_nodes=2)
        self.assertGreater(len(pieces), 3)
        self.assertEqual(b"".join(pieces), DOCUMENT)
        binary, text = io.BytesIO(), io.StringIO()
        self.c.export_json(root, binary)
        self.c.export_json(root, text)
        self.assertEqual(binary.getvalue(), DOCUMENT)
        self.assertEqual(text.getvalue(), DOCUMENT.decode("utf-8"))
        # A text file read in pieces of characters, each more than a byte.
        self.c.kill(root)
        self.assertEqual(self.c.import_json(root, io.StringIO("[\"\u00e9\u00e9\u00e9\"]")), 1)
        self.assertEqual(self.c.get(("^PyOps", "json", 1)), "\u00e9\u00e9\u00e9".encode())

    def test_python_values(self) -> None:
        value: Any = {"name": "Ada", "langs": ["M", "C"], "born": 1815, "pi": 3.25, "ok": True}
        self.assertEqual(self.c.import_value(("^PyOps", "v"), value), 6)
        self.assertEqual(
            self.c.export_value(("^PyOps", "v")),
            {"born": 1815, "langs": ["M", "C"], "name": "Ada", "ok": 1, "pi": 3.25},
        )
        self.c.set(("^PyOps", "d"), ".1234567890123456")
        self.assertEqual(
            self.c.export_value(("^PyOps", "d"), parse_float=decimal.Decimal),
            decimal.Decimal("0.1234567890123456"),
        )
        self.assertIsNone(self.c.export_value(("^PyOps", "nothing")))

    def test_errors(self) -> None:
        for document, offset in [(b'{"a":1,"b":[tru]}', 15), (b'{"a":1,}', 7), (b"[1] 2", 4)]:
            with self.subTest(document=document), self.assertRaises(qdo.Error) as raised:
                self.c.import_json(("^PyOps", "bad"), document)
            self.assertEqual(raised.exception.code, qdo.ERROR_BAD_JSON)
            self.assertEqual(raised.exception.offset, offset)
        self.assertEqual(self.c.get(("^PyOps", "bad", "a")), b"1")  # set before the error
        with self.assertRaises(qdo.Error) as raised:
            self.c.export_json(("^PyOps(1)",), io.BytesIO())
        self.assertEqual(raised.exception.code, qdo.ERROR_BAD_REFERENCE)
        self.assertIsNone(raised.exception.offset)

        def refuse(_piece: bytes) -> None:
            raise OSError("disk full")

        with self.assertRaises(qdo.Error) as raised:
            self.c.export_json(("^PyOps",), refuse)
        self.assertIsInstance(raised.exception.__cause__, OSError)
        self.c.set(("^PyOps", "latin"), b"\xe9")
        with self.assertRaises(qdo.Error) as raised:
            self.c.export_json(("^PyOps",), io.BytesIO())
        self.assertEqual(raised.exception.code, qdo.ERROR_BAD_JSON)


if __name__ == "__main__":
    unittest.main()
