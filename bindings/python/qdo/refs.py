"""References to M nodes built from parts, and their C form for the library.

A reference is a name ("^X" for a global, "X" for a local) and its subscripts: int, float and
decimal.Decimal subscripts are numbers (written canonically, checked by the library), str (as
UTF-8) and bytes are strings of any bytes. A string that is a canonical number names the same
node as that number: "1" and 1 are one node; "01", "1.0" and "1E3" are string subscripts of
their own. Nothing of a reference is ever pasted into M code.
"""

from __future__ import annotations

import ctypes
import decimal
from ctypes import POINTER, Structure, c_int32, c_size_t, c_void_p
from typing import Any, List, NamedTuple, Optional, Sequence, Tuple, Union

from ._values import mnumber, text

#: A subscript as the caller gives it.
Subscript = Union[bytes, bytearray, memoryview, str, int, float, decimal.Decimal]


class Ref(Tuple[Any, ...]):
    """An immutable reference: Ref("^X", "a", 1) is ^X("a",1). A plain tuple ("^X", "a", 1) is
    accepted wherever a Ref is."""

    def __new__(cls, name: Union[str, bytes], *subscripts: Subscript) -> "Ref":
        return super().__new__(cls, (name, *subscripts))  # type: ignore[arg-type]

    @property
    def name(self) -> Union[str, bytes]:
        return self[0]  # type: ignore[no-any-return]

    @property
    def subscripts(self) -> tuple[Subscript, ...]:
        return tuple(self[1:])

    def child(self, subscript: Subscript) -> "Ref":
        """The reference with one more subscript."""
        return Ref(*self, subscript)

    def __repr__(self) -> str:
        return "Ref(%s)" % ", ".join(repr(part) for part in self)


#: A reference given as parts: a Ref, or a tuple or list (name, subscript, ...).
Reference = Union[Ref, Tuple[Any, ...], List[Any]]


def as_ref(reference: Union[Reference, str]) -> Ref:
    """A Ref from a Ref, a tuple or list of name and subscripts, or a bare name."""
    if isinstance(reference, Ref):
        return reference
    if isinstance(reference, (str, bytes)):
        return Ref(reference)
    if isinstance(reference, (tuple, list)) and reference:
        return Ref(*reference)
    raise TypeError("a reference is a Ref or a tuple (name, subscript, ...)")


class Child(NamedTuple):
    """A child of a walked node: its subscript as M gives it (b"1" for the number 1), its
    reference, what $DATA says of it, and its value (None unless fetched and present)."""

    subscript: bytes
    ref: Ref
    has_value: bool
    has_children: bool
    value: Optional[bytes]


class Node(NamedTuple):
    """A node below a walked one: its reference (the root's subscripts, then its own as bytes)
    and its value (None unless fetched)."""

    ref: Ref
    value: Optional[bytes]


class CSubscript(Structure):
    _fields_ = [("text", c_void_p), ("length", c_size_t), ("isNumber", c_int32)]


class CRef(Structure):
    _fields_ = [
        ("name", c_void_p),
        ("nameLength", c_size_t),
        ("subscripts", POINTER(CSubscript)),
        ("count", c_size_t),
    ]


class CWalkOptions(Structure):
    _fields_ = [
        ("direction", c_int32),
        ("batchNodes", c_int32),
        ("batchBytes", c_int32),
        ("values", c_int32),
    ]


class CJsonOptions(Structure):
    _fields_ = [
        ("batchNodes", c_int32),
        ("batchBytes", c_int32),
        ("killRootFirst", c_int32),
    ]


def _is_number(subscript: Subscript) -> bool:
    return isinstance(subscript, (int, float, decimal.Decimal))


class Subscripts:
    """Subscripts in their C form, with the bytes they point at kept alive as long as this."""

    def __init__(self, subscripts: Sequence[Subscript]):
        numbers = [_is_number(s) for s in subscripts]
        self._texts = [
            mnumber(s) if number else text(s)  # type: ignore[arg-type]
            for s, number in zip(subscripts, numbers)
        ]
        self.count = len(self._texts)
        self.array = (CSubscript * max(1, self.count))()
        for i, data in enumerate(self._texts):
            self.array[i].text = ctypes.cast(ctypes.c_char_p(data), c_void_p)
            self.array[i].length = len(data)
            self.array[i].isNumber = 1 if numbers[i] else 0


class CReference:
    """A reference in its C form (`pointer` for the library), valid as long as this object."""

    def __init__(self, reference: Union[Reference, str]):
        ref = as_ref(reference)
        self._name = text(ref.name)
        self._subscripts = Subscripts(list(ref.subscripts))
        self.struct = CRef(
            ctypes.cast(ctypes.c_char_p(self._name), c_void_p),
            len(self._name),
            self._subscripts.array,
            self._subscripts.count,
        )
        self.pointer = ctypes.byref(self.struct)


def lent_ref(pointer: "ctypes._Pointer[CRef]") -> Ref:
    """A Ref copied from a reference the library lends: the name as str, the subscripts as
    bytes (the ones the caller passed keep their text form, numbers as their canonical text)."""
    ref = pointer.contents
    name = ctypes.string_at(ref.name, ref.nameLength).decode("utf-8", "surrogateescape")
    subscripts = [
        ctypes.string_at(ref.subscripts[i].text, ref.subscripts[i].length)
        if ref.subscripts[i].length
        else b""
        for i in range(ref.count)
    ]
    return Ref(name, *subscripts)


def walk_options(values: bool, reverse: bool, batch_nodes: int, batch_bytes: int) -> CWalkOptions:
    return CWalkOptions(-1 if reverse else 1, batch_nodes, batch_bytes, 1 if values else 0)
