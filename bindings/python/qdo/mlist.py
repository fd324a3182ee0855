"""The M list: the byte format in which the server sends lists (group-read chunks, events).

Pure Python, with no bound on a list's length: the library's QDOListLength, QDOListGet and
QDOListSet work on counted strings of at most 32768 bytes, which a list built here (or a value
read from the server) may exceed. The bytes written and the texts read are the library's:
tests compare them byte for byte with QDOListSet and QDOListGet.

A list is its elements one after the other. An element is a header and data: a short header is
one byte L (the element's whole length, 1 to 255) and a type byte; a long header is a 0 byte,
a little-endian 16-bit N (the element takes N + 3 bytes) and a type byte. The single byte 01 is
an undefined element. Types: 1 string, 4 integer >= 0 and 5 integer < 0 (little-endian base-256
digits; a negative one as 255 minus each digit of -v-1), 6 and 7 decimals (a scale byte 248,
for 8 decimal places, then the scaled integer as for 4 and 5).
"""

from __future__ import annotations

import decimal
from typing import Iterable, Iterator, Optional, Union

Value = Union[bytes, bytearray, str, int, float, decimal.Decimal, None]

_SCALE = 8
_INT_MIN = -(2**63)
_INT_MAX = 2**63 - 1
_READ_DIGITS = 15  # significant digits of a decimal read back as text


def _as_bytes(text: Union[bytes, bytearray, str]) -> bytes:
    if isinstance(text, str):
        return text.encode("utf-8", "surrogateescape")
    return bytes(text)


def _element(kind: int, data: bytes) -> bytes:
    body = 1 + len(data)
    if body <= 254:
        return bytes((body + 1, kind)) + data
    if body > 0xFFFF:
        raise ValueError(
            "an element of an M list holds at most 65534 bytes, not %d" % len(data)
        )
    return b"\x00" + body.to_bytes(2, "little") + bytes((kind,)) + data


def _digits(value: int, complement: bool) -> bytes:
    out = bytearray()
    while value:
        digit = value & 0xFF
        out.append(255 - digit if complement else digit)
        value >>= 8
    return bytes(out)


def _integer(value: int) -> bytes:
    if not _INT_MIN <= value <= _INT_MAX:
        raise OverflowError("an M list carries integers of 64 bits, not %d" % value)
    if value >= 0:
        return _element(4, _digits(value, False))
    return _element(5, _digits(-(value + 1), True))


def _decimal(value: Union[float, decimal.Decimal]) -> bytes:
    exact = decimal.Decimal(value)
    if not exact.is_finite():
        raise ValueError("an M list carries finite decimals only, not %r" % value)
    with decimal.localcontext() as context:
        context.prec = 80
        scaled = int((exact * (10**_SCALE)).to_integral_value(decimal.ROUND_HALF_EVEN))
    if not _INT_MIN <= scaled <= _INT_MAX:
        raise OverflowError("%r is too large for a decimal of an M list" % value)
    scale = bytes((256 - _SCALE,))
    if scaled >= 0:
        return _element(6, scale + _digits(scaled, False))
    return _element(7, scale + _digits(-(scaled + 1), True))


def element(value: Value) -> bytes:
    """One encoded element: None is undefined, bytes and str (UTF-8) strings, int an integer
    (64 bits), float and Decimal a decimal of 8 places."""
    if value is None:
        return b"\x01"
    if isinstance(value, (bytes, bytearray, str)):
        return _element(1, _as_bytes(value))
    if isinstance(value, int):
        return _integer(int(value))
    if isinstance(value, (float, decimal.Decimal)):
        return _decimal(value)
    raise TypeError("an M list holds bytes, str, int, float, Decimal or None, not %r" % type(value))


def encode(values: Iterable[Value]) -> bytes:
    """The M list of `values` (see element)."""
    return b"".join(element(value) for value in values)


def _spans(data: bytes) -> Optional[list[tuple[int, int, int]]]:
    """(type or -1 for undefined, data start, data end) of each element; None when malformed."""
    if len(data) == 1:
        return []
    spans = []
    at = 0
    while at < len(data):
        first = data[at]
        if first == 0:
            if at + 2 >= len(data):
                return None
            count = int.from_bytes(data[at + 1 : at + 3], "little")
            end = at + count + 3
            header = 3
            undefined = count == 0
        else:
            end = at + first
            header = 1
            undefined = first == 1
        if end > len(data):
            return None
        if undefined:
            spans.append((-1, end, end))
        else:
            spans.append((data[at + header], at + header + 1, end))
        at = end
    return spans


def _unsigned(digits: bytes, complement: bool) -> int:
    value = 0
    for byte in reversed(digits):
        value = (value * 256 + (255 - byte if complement else byte)) & 0xFFFFFFFFFFFFFFFF
    return value


def _general(value: decimal.Decimal, precision: int) -> str:
    """The general format of the library: `precision` significant digits, fixed notation when
    the decimal exponent lies in -3..precision, else d.dddE<n>; no trailing zeros."""
    if value == 0:
        return "0"
    with decimal.localcontext() as context:
        context.prec = precision
        context.rounding = decimal.ROUND_HALF_EVEN
        rounded = +value
    sign, digits, exponent = rounded.as_tuple()
    text = "".join(map(str, digits)).rstrip("0") or "0"
    e = len(digits) + int(exponent)  # the value is 0.d1d2... x 10^e
    out = "-" if sign else ""
    if -3 <= e <= precision:
        if e > 0:
            whole = text[:e] + "0" * max(0, e - len(text))
            fraction = text[e:]
        else:
            whole = "0"
            fraction = "0" * (-e) + text
        return out + whole + ("." + fraction if fraction else "")
    return out + text[0] + ("." + text[1:] if len(text) > 1 else "") + "E" + str(e - 1)


def _text(kind: int, data: bytes) -> bytes:
    if kind == -1:
        return b""
    if kind == 1:
        return data
    if kind == 4:
        return str(_unsigned(data, False)).encode()
    if kind == 5:
        return ("-" + str(_unsigned(data, True) + 1)).encode()
    if kind in (6, 7):
        if not data:
            return b""
        places = 256 - data[0]
        digits = 0
        for byte in reversed(data[1:]):
            digits = digits * 256 + (255 - byte if kind == 7 else byte)
        if kind == 7:
            digits = -(digits + 1)
        with decimal.localcontext() as context:
            context.prec = 200
            value = decimal.Decimal(digits).scaleb(-places)
        return _general(value, _READ_DIGITS).encode()
    return b""


def decode(data: bytes) -> list[bytes]:
    """The texts of the elements of the M list `data`, as the library reads them: strings as
    their bytes, numbers as their decimal text ("-5", "1.5", "1E-8"), undefined elements and
    elements of unknown type as b"". A malformed list (whose elements do not exactly fill it)
    and any single byte are the empty list."""
    spans = _spans(bytes(data))
    if spans is None:
        return []
    return [_text(kind, data[start:end]) for kind, start, end in spans]


def pairs(data: bytes) -> Iterator[tuple[bytes, bytes]]:
    """The (reference, value) pairs of a group-read chunk: an M list of reference, value, ..."""
    texts = decode(data)
    return zip(texts[0::2], texts[1::2])
