"""How Python values become the byte strings the server takes."""

from __future__ import annotations

import decimal
import math
from typing import Union

Text = Union[bytes, bytearray, memoryview, str]
Settable = Union[bytes, bytearray, memoryview, str, int, float, decimal.Decimal]


def text(value: Text) -> bytes:
    """bytes as they are; str as UTF-8, with surrogate escapes turned back into their bytes."""
    if isinstance(value, str):
        return value.encode("utf-8", "surrogateescape")
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise TypeError("expected bytes or str, not %s" % type(value).__name__)


def mnumber(value: Union[int, float, decimal.Decimal]) -> bytes:
    """The canonical M form of a number: no exponent, no leading zero before the point, no
    trailing zeros after it ("-.5", "1500", "100000000000000000000"). A float is taken as the
    shortest decimal that reads back as it (its repr)."""
    if isinstance(value, bool):
        value = int(value)
    if isinstance(value, int):
        return str(value).encode()
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError("M has no number %r" % value)
        value = decimal.Decimal(repr(value))
    if not value.is_finite():
        raise ValueError("M has no number %r" % value)
    fixed = format(value, "f")
    if "." in fixed:
        fixed = fixed.rstrip("0").rstrip(".")
    negative = fixed.startswith("-")
    digits = fixed.lstrip("-")
    if digits.startswith("0."):
        digits = digits[1:]
    if digits in ("", "0"):
        return b"0"
    return (("-" if negative else "") + digits).encode()


def settable(value: Settable) -> bytes:
    """The bytes a value is set as: texts as by `text`, numbers in their canonical M form."""
    if isinstance(value, (int, float, decimal.Decimal)):
        return mnumber(value)
    return text(value)
