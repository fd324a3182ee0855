"""JSON export and import of M subtrees, streamed both ways through the library (docs/json.md
has the mapping): to and from file objects or functions, and to and from Python values."""

from __future__ import annotations

import ctypes
import io
import json
from ctypes import byref, c_uint64
from typing import Any, Callable, Protocol, Union

from . import _library as lib
from ._base import HandleOwner
from .refs import CJsonOptions, CReference, Reference


class _TextReadable(Protocol):
    def read(self, size: int = -1, /) -> Union[str, bytes, None]: ...


class _TextWritable(Protocol):
    def write(self, data: Any, /) -> Any: ...


#: Where an export goes: a file object opened for writing (binary, or text, which gets str), or
#: a function that takes each piece of the document as bytes.
JsonTarget = Union[_TextWritable, Callable[[bytes], Any]]


class Json(HandleOwner):
    """The JSON methods of a Connection."""

    def export_json(
        self,
        reference: Reference,
        target: JsonTarget,
        *,
        batch_nodes: int = 1000,
        batch_bytes: int = 32768,
    ) -> None:
        """Writes the node and everything below it as one JSON value (null when there is no
        node) to a file object or a function, one batch of nodes at a time: the document is
        never held whole. Values that are not UTF-8 raise Error (code ERROR_BAD_JSON)."""
        ref = CReference(reference)
        options = CJsonOptions(batch_nodes, batch_bytes, 0)
        as_text = isinstance(target, io.TextIOBase)
        write: Callable[[Any], Any] = (
            target.write if hasattr(target, "write") else target
        )

        def take(_handle: Any, _context: Any, pointer: Any, length: int) -> int:
            try:
                piece = lib.lent(pointer, length)
                write(piece.decode("utf-8") if as_text else piece)
                return 1
            except BaseException as error:
                self._pending = error
                return 0

        proc = lib.JsonWriteProc(take)
        self._call(self._lib.QDOExportJson, self._live(), ref.pointer, byref(options), proc, None)

    def import_json(
        self,
        reference: Reference,
        source: Union[_TextReadable, bytes, bytearray, str],
        *,
        kill_root_first: bool = False,
    ) -> int:
        """Reads one JSON value from a file object (binary or text) or from bytes or str, as it
        parses, and sets its scalars under the node; returns how many nodes were set. Without
        kill_root_first the document is merged into what is there. Bad JSON raises Error (code
        ERROR_BAD_JSON) whose `offset` is the byte at which the parser stopped; the values
        complete before it stay set."""
        if isinstance(source, (bytes, bytearray, str)):
            data = source.encode("utf-8") if isinstance(source, str) else bytes(source)
            source = io.BytesIO(data)
        reader = source
        ref = CReference(reference)
        options = CJsonOptions(0, 0, 1 if kill_root_first else 0)
        pending = bytearray()  # text read that did not fit the library's buffer yet

        def give(_handle: Any, _context: Any, buffer: Any, size: int) -> int:
            try:
                while not pending:
                    piece = reader.read(size)
                    if piece is None:
                        raise BlockingIOError("the JSON file object has no data ready")
                    if not piece:
                        return 0
                    pending.extend(piece.encode("utf-8") if isinstance(piece, str) else piece)
                count = min(size, len(pending))
                ctypes.memmove(buffer, bytes(pending[:count]), count)
                del pending[:count]
                return count
            except BaseException as error:
                self._pending = error
                return -1

        proc = lib.JsonReadProc(give)
        count = c_uint64()
        self._call(
            self._lib.QDOImportJson,
            self._live(),
            ref.pointer,
            byref(options),
            proc,
            None,
            byref(count),
        )
        return count.value

    def export_value(self, reference: Reference, **loads: Any) -> Any:
        """The subtree as a Python value: dict, list, str, int, float, or None when there is
        no node (the export read with json.loads, which `loads` arguments go to: parse_float=
        decimal.Decimal keeps every digit of M's numbers)."""
        pieces: list[bytes] = []
        self.export_json(reference, pieces.append)
        return json.loads(b"".join(pieces), **loads)

    def import_value(
        self, reference: Reference, value: Any, *, kill_root_first: bool = False
    ) -> int:
        """Sets a Python value (dict, list, str, int, float, bool, None) under the node by the
        JSON mapping; returns how many nodes were set."""
        document = json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
        return self.import_json(reference, document, kill_root_first=kill_root_first)

