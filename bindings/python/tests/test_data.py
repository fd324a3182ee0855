"""The data operations against qdo-server (started by the tests on a free port): references as
parts with hostile subscripts that must reach M as data, M's number rules, walks fetched in
batches and left early, locks as context managers between two connections, and calls."""

from __future__ import annotations

import gc
import os
import unittest
from typing import Optional

import qdo
from server import ServerProcess

SERVER: Optional[ServerProcess] = None

# NUL, quotes, control bytes, code-like text, 1,000 bytes, and texts that are not canonical
# numbers (each a string subscript of its own).
AWKWARD: list[bytes] = [
    b"plain",
    b'"',
    b'a"b',
    b"nul\0inside",
    b"\0",
    b"\r\n\t\x1b\x7f",
    b"\xff\xfe",
    b'") k ^PyDataCanary s x=("',
    b"@^PyDataCanary",
    b"z" * 1000,
    b"01",
    b"1E3",
    b"-0",
]


def setUpModule() -> None:
    global SERVER
    SERVER = ServerProcess()


def tearDownModule() -> None:
    if SERVER is not None:
        SERVER.close()


def open_connection() -> qdo.Connection:
    assert SERVER is not None
    return qdo.connect("127.0.0.1", SERVER.port, namespace="USER")


class Case(unittest.TestCase):
    def setUp(self) -> None:
        self.c = open_connection()
        self.addCleanup(self.c.close)
        self.c.execute('k ^PyData s ^PyDataCanary="alive"')
        self.addCleanup(self.c.execute, "k ^PyData,^PyDataCanary")
        self.addCleanup(lambda: self.assertEqual(self.c.get("^PyDataCanary"), b"alive"))


class References(Case):
    def test_awkward_subscripts_name_exactly_their_node(self) -> None:
        for s in AWKWARD:
            with self.subTest(s=s[:30]):
                ref = qdo.Ref("^PyData", "s", s)
                self.c.set(ref, s)
                self.assertEqual(self.c.get(ref), s)
                self.assertEqual(self.c.data(ref), 1)
                # The same node named without the package's quoting: $C codes for every byte.
                # (in pieces: $C takes at most 255 arguments)
                pieces = [s[i : i + 200] for i in range(0, len(s), 200)]
                codes = "_".join("$C(%s)" % ",".join(str(b) for b in p) for p in pieces)
                self.assertEqual(self.c.get('$D(^PyData("s",%s))' % codes), b"1")
        self.assertEqual(self.c.data(("^PyData", "s")), 10)
        self.c.kill(("^PyData", "s"))
        self.assertEqual(self.c.data(("^PyData",)), 0)

    def test_numbers_stay_numbers_and_strings_stay_strings(self) -> None:
        table: list[tuple[float, qdo.refs.Subscript, bool]] = [
            (1, "1", True),  # the string "1" is the number 1
            (-0.5, "-.5", True),
            (1.5, b"1.5", True),
            (10, "10.0", False),  # not canonical: a string of its own
            (1000, "1E3", False),
        ]
        for number, string, same in table:
            with self.subTest(number=number, string=string):
                self.c.kill(("^PyData",))
                self.c.set(("^PyData", number), "n")
                self.assertEqual(self.c.data(("^PyData", string)), 1 if same else 0)
        self.c.set(("^PyData", "x", 2**40, 0.25), "v")
        self.assertEqual(self.c.get('^PyData("x",1099511627776,.25)'), b"v")

    def test_get_with_default_and_failures(self) -> None:
        with self.assertRaises(qdo.Error) as raised:
            self.c.get(("^PyData", "missing"))
        self.assertEqual(raised.exception.code, qdo.ERROR_SERVER)
        self.assertEqual(self.c.get(("^PyData", "missing"), b"d\0"), b"d\0")
        self.assertEqual(self.c.get_str(("^PyData", "missing"), default="é"), "é")
        for bad in [("^PyData(1)",), ("^|\"E\"|X",), ("@X",), ("%qdoP", "a")]:
            with self.subTest(bad=bad), self.assertRaises(qdo.Error) as raised:
                list(self.c.children(bad))
            self.assertEqual(raised.exception.code, qdo.ERROR_BAD_REFERENCE)
        with self.assertRaises(qdo.Error) as raised:
            self.c.set(("^PyData", float("1e60")), "x")
        self.assertEqual(raised.exception.code, qdo.ERROR_BAD_REFERENCE)
        with self.assertRaises(TypeError):
            self.c.get("^PyData", b"default needs parts")
        # Nothing was sent: the connection goes on.
        self.assertEqual(self.c.data(("^PyData",)), 0)


class Operations(Case):
    def test_order_query_increment_and_merge(self) -> None:
        for s in AWKWARD:
            self.c.set(("^PyData", s), b"v")
        self.c.set(("^PyData", 7), b"seven")
        first = self.c.order(("^PyData", ""))
        self.assertEqual(first, b"7")
        self.assertEqual(self.c.order(("^PyData", ""), reverse=True), max(AWKWARD))
        self.assertEqual(self.c.order(("^PyData", max(AWKWARD))), b"")
        self.assertEqual(self.c.query(("^PyData",)), qdo.Ref("^PyData", b"7"))
        self.assertEqual(self.c.query(("^PyData", 7)), qdo.Ref("^PyData", min(AWKWARD)))
        self.assertIsNone(self.c.query(("^PyData", max(AWKWARD))))

        counter = ("^PyData", "count", b"\0")
        self.assertEqual(self.c.increment(counter), b"1")
        self.assertEqual(float(self.c.increment(counter, -2.5)), -1.5)
        self.assertEqual(int(self.c.increment(counter, "11.5")), 10)
        with self.assertRaises(qdo.Error):
            self.c.increment(counter, "1E3")

        self.c.merge(("^PyData", "copy", '"'), ("^PyData", "count"))
        self.assertEqual(self.c.get(("^PyData", "copy", '"', b"\0")), b"10")

    def test_functions_and_procedures_take_arguments_as_data(self) -> None:
        assert SERVER is not None
        source = os.path.join(os.path.abspath(SERVER.data), "PyDataR.m")
        with open(source, "w") as routine:
            routine.write(
                "PyDataR ; routine of the data tests\n"
                'Join(a,b) q $L(a)_":"_a_"|"_b\n'
                'Echo(a,b) w $L(a),":",a,"|",b q\n'
            )
        self.c.execute('zlink "%s"' % source)
        self.assertEqual(self.c.function("FUNC^%DH", 255, 4), b"00FF")
        for s in AWKWARD:
            with self.subTest(s=s[:30]):
                expected = b"%d:%s|-.5" % (len(s), s)
                self.assertEqual(self.c.function("Join^PyDataR", s, -0.5), expected)
                self.assertEqual(self.c.procedure("Echo^PyDataR", s, -0.5), expected)
        with self.assertRaises(qdo.Error) as raised:
            self.c.function("Missing^PyDataR")
        self.assertEqual(raised.exception.code, qdo.ERROR_SERVER)

    def test_locks_between_two_connections(self) -> None:
        other = open_connection()
        self.addCleanup(other.close)
        ref = ("^PyData", "lock", b"\0")
        with self.c.lock(ref, 1) as held:
            self.assertTrue(held)
            self.assertFalse(other.lock(ref, 0))
            with self.assertRaises(qdo.Error):
                with other.lock(ref, 0):
                    self.fail("entered without the lock")
        got = other.lock(ref, 1)  # released at the end of the block
        self.assertTrue(got)
        self.assertFalse(self.c.lock(ref))
        other.unlock_all()
        self.assertTrue(self.c.lock(ref))
        self.c.unlock(ref)


class Walks(Case):
    def setUp(self) -> None:
        super().setUp()
        for i in range(1, 26):
            self.c.set(("^PyData", "w", i), i * i)
            self.c.set(("^PyData", "w", i, b"\0"), b"below")
        self.c.set(("^PyData", "w", "x\"y"), b"")

    def test_children_in_batches_both_ways(self) -> None:
        expected = [str(i).encode() for i in range(1, 26)] + [b'x"y']
        for batch in (1, 7, 1000):
            with self.subTest(batch=batch):
                seen = list(self.c.children(("^PyData", "w"), batch_nodes=batch))
                self.assertEqual([child.subscript for child in seen], expected)
                self.assertEqual(seen[2].value, b"9")
                self.assertTrue(seen[2].has_value and seen[2].has_children)
                self.assertEqual(seen[-1].value, b"")
                self.assertFalse(seen[-1].has_children)
                self.assertEqual(seen[0].ref, qdo.Ref("^PyData", "w", b"1"))
        backward = [c.subscript for c in self.c.children(("^PyData", "w"), reverse=True)]
        self.assertEqual(backward, expected[::-1])
        keys = list(self.c.children(("^PyData", "w"), values=False, batch_nodes=4))
        self.assertTrue(all(child.value is None for child in keys))

    def test_subtree_in_batches(self) -> None:
        nodes = list(self.c.subtree(("^PyData", "w"), batch_nodes=3))
        self.assertEqual(len(nodes), 51)
        self.assertEqual(nodes[0], qdo.Node(qdo.Ref("^PyData", "w", b"1"), b"1"))
        self.assertEqual(nodes[1], qdo.Node(qdo.Ref("^PyData", "w", b"1", b"\0"), b"below"))
        backward = list(self.c.subtree(("^PyData", "w"), reverse=True, values=False))
        self.assertEqual([n.ref for n in backward], [n.ref for n in nodes][::-1])

    def test_a_walk_left_early_leaves_the_connection_ready(self) -> None:
        walk = self.c.children(("^PyData", "w"), batch_nodes=5)
        first = [next(walk) for _ in range(7)]  # into the second batch
        # Other calls inside the loop: nothing runs on the server between batches.
        self.assertEqual(self.c.get(("^PyData", "w", 3)), b"9")
        self.assertEqual(first[-1].subscript, b"7")
        walk.close()
        subtree = self.c.subtree(("^PyData",), batch_nodes=2)
        next(subtree)
        del subtree
        gc.collect()
        self.assertEqual(self.c.data(("^PyData", "w")), 10)
        # A walk goes on from where it is, also when the tree changes between batches.
        walk = self.c.children(("^PyData", "w"), batch_nodes=5)
        seen = [next(walk).subscript for _ in range(5)]
        self.c.kill(("^PyData", "w", 6))
        self.c.set(("^PyData", "w", 30), 1)
        seen += [child.subscript for child in walk]
        self.assertNotIn(b"6", seen)
        self.assertIn(b"30", seen)
        self.assertEqual(len(seen), len(set(seen)))


if __name__ == "__main__":
    unittest.main()
