"""Transactions and batches of data operations on references built from parts.

A transaction runs all its operations atomically in one request (everything applied, or
nothing); a batch runs them one after another in as few round trips as it can, and stops at the
first that fails. Both collect their operations first and send them when run: nothing is sent
while a `with` block builds them, and a block left by an exception sends nothing at all.
"""

from __future__ import annotations

import ctypes
from ctypes import POINTER, Structure, byref, c_char, c_int32, c_size_t, c_void_p
from typing import TYPE_CHECKING, Any, List, Optional, Union

from . import _library as lib
from ._values import Settable, Text, settable, text
from .errors import Error
from .refs import CReference, CRef, CSubscript, Reference, Subscript, Subscripts

if TYPE_CHECKING:
    from .data import DataOperations

# The operation kinds of qdo.h (QDO_OP_...).
_SET, _KILL, _MERGE, _GET, _GET_OR, _INCREMENT, _DATA, _FUNCTION = range(1, 9)


class COperation(Structure):
    _fields_ = [
        ("kind", c_int32),
        ("ref", POINTER(CRef)),
        ("source", POINTER(CRef)),
        ("text", c_void_p),
        ("textLength", c_size_t),
        ("by", POINTER(CSubscript)),
        ("arguments", POINTER(CSubscript)),
        ("count", c_size_t),
    ]


class Results(List[bytes]):
    """The results of a run, one per operation in the order they were added: the value of a
    get, increment, data or function, b"" for the others. `restarts`: how many times GT.M ran
    a transaction again before it committed (0 for a batch)."""

    restarts: int = 0


class BatchError(Error):
    """An operation of a batch failed: `index` is the failed operation's, `results` those of
    the operations before it (which stay applied); `code` and `mcode` are the failure's."""

    def __init__(self, error: Error, index: int, results: Results):
        super().__init__(error.message, error.code, error.mcode)
        self.offset = error.offset
        self.index = index
        self.results = results


class _Operations:
    """Operations collected as C records, with everything they point at kept alive."""

    _run_function = ""

    def __init__(self, owner: "DataOperations"):
        self._owner = owner
        self._records: list[COperation] = []
        self._keep: list[Any] = []
        self.results: Optional[Results] = None

    def __len__(self) -> int:
        return len(self._records)

    def _add(
        self,
        kind: int,
        reference: Optional[Reference] = None,
        data: bytes = b"",
        source: Optional[Reference] = None,
        by: Optional[Subscripts] = None,
        arguments: Optional[Subscripts] = None,
    ) -> int:
        record = COperation(kind)
        if reference is not None:
            ref = CReference(reference)
            self._keep.append(ref)
            record.ref = ctypes.pointer(ref.struct)
        if source is not None:
            origin = CReference(source)
            self._keep.append(origin)
            record.source = ctypes.pointer(origin.struct)
        if data:
            self._keep.append(data)
            record.text = ctypes.cast(ctypes.c_char_p(data), c_void_p)
            record.textLength = len(data)
        if by is not None:
            self._keep.append(by)
            record.by = by.array
        if arguments is not None:
            self._keep.append(arguments)
            record.arguments = arguments.array
            record.count = arguments.count
        self._records.append(record)
        return len(self._records) - 1

    def set(self, reference: Reference, value: Settable) -> int:
        """Sets the node; returns the operation's index."""
        return self._add(_SET, reference, settable(value))

    def kill(self, reference: Reference) -> int:
        """Kills the node and everything below it; returns the operation's index."""
        return self._add(_KILL, reference)

    def get(self, reference: Reference) -> int:
        """The node's value (a node without one fails the run); returns its index."""
        return self._add(_GET, reference)

    def increment(self, reference: Reference, by: Union[int, float, Text] = 1) -> int:
        """$INCREMENT by a number, or a text holding a canonical number; returns its index."""
        return self._add(_INCREMENT, reference, by=Subscripts([by]))

    def run(self) -> Results:
        """Sends the operations and returns their results (also kept as `results`)."""
        owner = self._owner
        count = len(self._records)
        array = (COperation * max(1, count))(*self._records)
        holder = owner._lib.QDOCreateResults()
        if not holder:
            raise MemoryError("no memory for the results of a run")
        try:
            function = getattr(owner._lib, self._run_function)
            owner._pending = None
            if not function(owner._live(), array, count, holder):
                error = owner._error()
                self._failed(owner, holder, error)
                raise error
            self.results = _results_of(owner, holder)
            return self.results
        finally:
            owner._lib.QDOFreeResults(holder)

    def _failed(self, owner: "DataOperations", holder: int, error: Error) -> None:
        return None

    def __exit__(self, kind: Any, *exc: Any) -> None:
        if kind is None:
            self.run()


def _results_of(owner: "DataOperations", holder: int) -> Results:
    found = Results()
    for index in range(owner._lib.QDOResultCount(holder)):
        value, length = POINTER(c_char)(), c_size_t()
        if not owner._lib.QDOResultValue(holder, index, byref(value), byref(length)):
            raise MemoryError("no memory for a result of a run")
        found.append(lib.taken(value, length.value))
    found.restarts = max(0, owner._lib.QDOResultRestarts(holder))
    return found


class Transaction(_Operations):
    """Operations run atomically on references to globals: `with c.transaction() as t:` runs
    them when the block ends without an exception (`t.results` then holds the results), or call
    run(). An M error anywhere (a get of a node without a value, say) rolls everything back and
    raises Error with `mcode`."""

    _run_function = "QDORunTransaction"

    def __enter__(self) -> "Transaction":
        return self

    def merge(self, to: Reference, source: Reference) -> int:
        """MERGE: copies `source` and everything below it under `to`; returns its index."""
        return self._add(_MERGE, to, source=source)

    def function(self, entry: Text, *arguments: Subscript) -> int:
        """$$entry(arguments), run inside the transaction (again on every restart); it must
        write nothing. Returns its index."""
        return self._add(_FUNCTION, data=text(entry), arguments=Subscripts(list(arguments)))


class Batch(_Operations):
    """Operations run in order in as few round trips as possible, on globals or the session's
    locals; not atomic. When one fails the batch stops there and run() raises BatchError, with
    the failed index and the results before it (those operations stay applied)."""

    _run_function = "QDORunBatch"

    def __enter__(self) -> "Batch":
        return self

    def get(self, reference: Reference, default: Optional[Settable] = None) -> int:
        """The node's value, or `default` when given and the node has none ($GET)."""
        if default is None:
            return self._add(_GET, reference)
        return self._add(_GET_OR, reference, settable(default))

    def data(self, reference: Reference) -> int:
        """$DATA: b"0", b"1", b"10" or b"11" in the results; returns its index."""
        return self._add(_DATA, reference)

    def _failed(self, owner: "DataOperations", holder: int, error: Error) -> None:
        index = owner._lib.QDOResultFailedIndex(holder)
        if index >= 0:
            raise BatchError(error, index, _results_of(owner, holder)) from error.__cause__
