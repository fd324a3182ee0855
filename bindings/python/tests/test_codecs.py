"""The pure-Python M list and M literal codecs, byte for byte against the library's
QDOListSet, QDOListGet and QDOText."""

from __future__ import annotations

import decimal
import random
import unittest

from qdo import _library as lib
from qdo import mlist, mtext

ALL_BYTES = bytes(range(256))

# (value for mlist.encode, the text QDOListSet is given for it)
ELEMENTS: list[tuple[mlist.Value, bytes]] = [
    (0, b"0"), (1, b"1"), (-1, b"-1"), (-2, b"-2"), (127, b"127"), (128, b"128"),
    (255, b"255"), (256, b"256"), (-256, b"-256"), (-257, b"-257"), (65536, b"65536"),
    (2**63 - 1, b"9223372036854775807"), (-(2**63), b"-9223372036854775808"),
    (1.5, b"1.5"), (-1.5, b"-1.5"), (0.25, b"0.25"), (-0.25, b"-0.25"), (1000.0, b"1E3"),
    (123456.789, b"123456.789"), (1e-8, b"1E-8"), (-1e-8, b"-1E-8"), (0.1, b"0.1"),
    (3.14159265, b"3.14159265"), (9999999999.5, b"9999999999.5"),
    (decimal.Decimal("-12.75"), b"-12.75"),
    (b"abc", b"abc"), (b"", b""), (b"1.50", b"1.50"), (b"007", b"007"), (b"+5", b"+5"),
    (b"1e3", b"1e3"), (b"x" * 253, b"x" * 253), (b"y" * 254, b"y" * 254),
    (b"z" * 300, b"z" * 300), (ALL_BYTES, ALL_BYTES), ("é", "é".encode()),
    (b"w" * 30000, b"w" * 30000),
]


def library_list(texts: list[bytes]) -> bytes:
    record = lib.counted(b"")
    for index, text in enumerate(texts, 1):
        assert lib.library().QDOListSet(record, index, lib.counted(text)) == 1, text[:20]
    return lib.counted_text(record)


def library_elements(data: bytes) -> list[bytes]:
    record = lib.counted(data)
    out = lib.counted(b"")
    found = []
    for index in range(1, lib.library().QDOListLength(record) + 1):
        assert lib.library().QDOListGet(record, index, out) == 1
        found.append(lib.counted_text(out))
    return found


class ListCodec(unittest.TestCase):
    def test_each_element_is_written_as_the_library_writes_it(self) -> None:
        for value, text in ELEMENTS:
            with self.subTest(text=text[:20]):
                self.assertEqual(mlist.encode([value]), library_list([text]))

    def test_a_list_of_many_elements(self) -> None:
        chosen = [e for e in ELEMENTS if len(e[1]) < 400]
        self.assertEqual(
            mlist.encode([v for v, _ in chosen]), library_list([t for _, t in chosen])
        )

    def test_texts_are_read_as_the_library_reads_them(self) -> None:
        made = [library_list([t]) for _, t in ELEMENTS]
        odd = [
            b"", b"\x05", b"\x01", b"\x01\x01", b"\x05\x01ab", b"\x00\x01", b"\x00\x00\x00",
            b"\x03\x09a", b"\x02\x04", b"\x02\x05", b"\x03\x06\xf8", b"\x02\x06",
            b"\x04\x06\xfa\x05", b"\x0a\x04" + b"\xff" * 8, b"\x0b\x04" + b"\x01" * 9,
            b"\x0a\x05" + b"\x00" * 8, b"\x0b\x07\xf8" + b"\x00" * 8,
            b"\x0c\x06\xf8" + bytes(range(1, 10)), b"\x04\x07\xf8\x01",
            b"\x00\x04\x00\x01abc\x01", mlist.encode([None, b"a", None]),
        ]
        for data in made + odd:
            with self.subTest(data=data[:24].hex(" ")):
                self.assertEqual(mlist.decode(data), library_elements(data))

    def test_random_bytes_are_read_as_the_library_reads_them(self) -> None:
        # Python's decoder reads bytes from the network too: compare it with the library's on
        # lists that are mostly well formed and on damaged and random bytes.
        rng = random.Random(20261209)
        for _ in range(3000):
            short = [value for value, text in ELEMENTS if len(text) < 2000]
            data = bytearray(mlist.encode(rng.choices(short, k=rng.randrange(0, 6))))
            damage = rng.randrange(4)
            if damage == 1 and data:
                data[rng.randrange(len(data))] = rng.randrange(256)
            elif damage == 2:
                data = data[: rng.randrange(len(data) + 1)]
            elif damage == 3:
                data = bytearray(rng.randbytes(rng.randrange(0, 40)))
            with self.subTest(data=bytes(data[:24]).hex(" ")):
                self.assertEqual(mlist.decode(bytes(data)), library_elements(bytes(data)))

    def test_values_the_format_cannot_carry_are_refused(self) -> None:
        refused: list[tuple[object, type[Exception]]] = [
            (2**63, OverflowError), (-(2**63) - 1, OverflowError), (1e12 * 1e8, OverflowError),
            (float("nan"), ValueError), (b"x" * 65535, ValueError), (object(), TypeError),
        ]
        for value, error in refused:
            with self.subTest(value=repr(value)[:20]):
                with self.assertRaises(error):
                    mlist.encode([value])  # type: ignore[list-item]

    def test_lists_longer_than_a_counted_string(self) -> None:
        values: list[mlist.Value] = [b"v" * 60000, 5, None, b"end"]
        self.assertEqual(mlist.decode(mlist.encode(values)), [b"v" * 60000, b"5", b"", b"end"])
        self.assertEqual(list(mlist.pairs(mlist.encode([b"^A(1)", b"x", b"^A(2)", 7]))),
                         [(b"^A(1)", b"x"), (b"^A(2)", b"7")])


class Literal(unittest.TestCase):
    def test_the_library_bytes(self) -> None:
        texts = [
            b"", b"a", b'"', b'""x', b"\x00", b"abc\r\n", b"\r\nabc", b"\x01" * 255,
            b"\x01" * 256, b"\x02" * 600 + b"z", ALL_BYTES, b"\xff\xfe", "é".encode(),
            b"x" * 20000,
        ]
        for text in texts:
            with self.subTest(text=text[:20]):
                out = lib.counted(b"")
                self.assertEqual(lib.library().QDOText(lib.counted(text), out), 1)
                self.assertEqual(
                    mtext(text).encode("utf-8", "surrogateescape"), lib.counted_text(out)
                )

    def test_no_bound_and_str_input(self) -> None:
        self.assertEqual(len(mtext(b"q" * 100000)), 100002)
        self.assertEqual(mtext("é\n"), '"é"_$C(10)')


if __name__ == "__main__":
    unittest.main()
