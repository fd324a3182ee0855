"""The data operations of a Connection on references built from parts (qdo.Ref or a tuple
("^X", "a", 1)): $DATA, $ORDER, $QUERY, $INCREMENT, MERGE, locks, function and procedure calls,
and walks over children and subtrees fetched in batches. No subscript, value or argument is
ever pasted into M code: whatever its bytes, it cannot change the code that runs.
"""

from __future__ import annotations

from ctypes import POINTER, byref, c_char, c_int32, c_size_t
from typing import Any, Generator, Optional, Union

from . import _library as lib
from ._base import HandleOwner
from ._values import Settable, Text, settable, text
from .errors import ERROR_NONE, Error
from .operations import Batch, Transaction
from .refs import (
    Child,
    CReference,
    Node,
    Ref,
    Reference,
    Subscript,
    Subscripts,
    as_ref,
    lent_ref,
    walk_options,
)

_NO_DEFAULT = object()


class Lock:
    """The outcome of Connection.lock: true when the lock was obtained. As a context manager
    it raises Error on entry when the lock was not obtained, and releases one level on exit."""

    def __init__(self, owner: "DataOperations", ref: Ref, obtained: bool, timeout: float):
        self._owner = owner
        self.ref = ref
        self.obtained = obtained
        self._timeout = timeout

    def __bool__(self) -> bool:
        return self.obtained

    def release(self) -> None:
        """Releases one level of the lock (LOCK -)."""
        self._owner.unlock(self.ref)

    def __enter__(self) -> "Lock":
        if not self.obtained:
            raise Error(
                "The lock on %r was not obtained within %g s." % (self.ref, self._timeout),
                ERROR_NONE,
            )
        return self

    def __exit__(self, *exc: Any) -> None:
        if self.obtained:
            self.release()


class DataOperations(HandleOwner):
    """The data operations of a Connection (get, set and kill take references as parts too)."""

    def _allocated(self, function: Any, *arguments: Any) -> bytes:
        value = POINTER(c_char)()
        length = c_size_t()
        self._call(function, *arguments, byref(value), byref(length))
        return lib.taken(value, length.value)

    def _get_node(self, reference: Reference, default: Any) -> bytes:
        ref = CReference(reference)
        if default is _NO_DEFAULT:
            return self._allocated(self._lib.QDOGetNode, self._live(), ref.pointer)
        fallback = settable(default)
        return self._allocated(
            self._lib.QDOGetNodeOr, self._live(), ref.pointer, fallback, len(fallback)
        )

    def _set_node(self, reference: Reference, value: Settable) -> None:
        ref, data = CReference(reference), settable(value)
        self._call(self._lib.QDOSetNode, self._live(), ref.pointer, data, len(data))

    def _kill_node(self, reference: Reference) -> None:
        ref = CReference(reference)
        self._call(self._lib.QDOKillNode, self._live(), ref.pointer)

    def transaction(self) -> Transaction:
        """A transaction to fill and run: `with c.transaction() as t:` runs it when the block
        ends without an exception (t.results then holds one result per operation), or call
        t.run(), which returns them."""
        return Transaction(self)

    def batch(self) -> Batch:
        """A batch to fill and run, as transaction() (not atomic: see qdo.Batch)."""
        return Batch(self)

    def data(self, reference: Reference) -> int:
        """$DATA: 0 (nothing), 1 (a value), 10 (children), 11 (both)."""
        ref, result = CReference(reference), c_int32()
        self._call(self._lib.QDOData, self._live(), ref.pointer, byref(result))
        return result.value

    def order(self, reference: Reference, reverse: bool = False) -> bytes:
        """$ORDER: the next subscript at the reference's last level (b"" after the last). The
        reference needs a subscript: "" starts at the first."""
        ref = CReference(reference)
        return self._allocated(self._lib.QDOOrder, self._live(), ref.pointer, -1 if reverse else 1)

    def query(self, reference: Reference, reverse: bool = False) -> Optional[Ref]:
        """$QUERY: the next node with a value after (or before) the reference, its subscripts
        as bytes; None at the end."""
        ref, found = CReference(reference), c_int32()
        nodes: list[Ref] = []

        def take(_handle: Any, _context: Any, node: Any, _value: Any, _length: int) -> int:
            nodes.append(lent_ref(node))
            return 1

        proc = lib.NodeProc(take)
        direction = -1 if reverse else 1
        self._call(
            self._lib.QDOQuery, self._live(), ref.pointer, direction, proc, None, byref(found)
        )
        return nodes[0] if found.value and nodes else None

    def increment(self, reference: Reference, by: Union[int, float, Text] = 1) -> bytes:
        """$INCREMENT, atomically: the new value as M writes it (int() and float() read it).
        `by` is a number, or a text holding a canonical number."""
        ref, step = CReference(reference), Subscripts([by])
        return self._allocated(self._lib.QDOIncrement, self._live(), ref.pointer, step.array)

    def merge(self, to: Reference, source: Reference) -> None:
        """MERGE: copies `source` and everything below it under `to`."""
        target, origin = CReference(to), CReference(source)
        self._call(self._lib.QDOMerge, self._live(), target.pointer, origin.pointer)

    def lock(self, reference: Reference, timeout: float = 0) -> Lock:
        """LOCK +, incrementally, waiting at most `timeout` seconds (0: just tries). The result
        is true when obtained; `with c.lock(ref, 5):` raises Error when it was not, and releases
        the lock at the end of the block. Locks last until released or the session ends."""
        ref, obtained = CReference(reference), c_int32()
        self._call(self._lib.QDOLock, self._live(), ref.pointer, float(timeout), byref(obtained))
        return Lock(self, as_ref(reference), obtained.value == 1, timeout)

    def unlock(self, reference: Reference) -> None:
        """LOCK -: releases one level of the lock."""
        ref = CReference(reference)
        self._call(self._lib.QDOUnlock, self._live(), ref.pointer)

    def unlock_all(self) -> None:
        """Releases every lock of the session."""
        self._call(self._lib.QDOUnlockAll, self._live())

    def function(self, entry: Text, *arguments: Subscript) -> bytes:
        """The value of $$entry(arguments); entry is "label^routine" or "^routine". Arguments
        are passed by value: numbers as numbers, str and bytes as strings."""
        name, args = text(entry), Subscripts(list(arguments))
        return self._allocated(
            self._lib.QDOFunction, self._live(), name, len(name), args.array, args.count
        )

    def procedure(self, entry: Text, *arguments: Subscript) -> bytes:
        """DO entry(arguments); returns what the routine wrote."""
        name, args = text(entry), Subscripts(list(arguments))
        return self._allocated(
            self._lib.QDOProcedure, self._live(), name, len(name), args.array, args.count
        )

    def children(
        self,
        reference: Reference,
        values: bool = True,
        reverse: bool = False,
        *,
        batch_nodes: int = 1000,
        batch_bytes: int = 32768,
    ) -> Generator[Child, None, None]:
        """The direct children of a node (M's collation: numbers, then strings by their
        bytes), as Child tuples, fetched `batch_nodes` at a time. Nothing runs on the server
        between batches: other calls may be made inside the loop, and leaving it early (or
        closing the generator) sends nothing more."""
        parent = as_ref(reference)
        ref = CReference(parent)
        options = walk_options(values, reverse, batch_nodes, batch_bytes)
        return self._children(parent, ref, options)

    def _children(self, parent: Ref, ref: CReference, options: Any) -> Generator[Child, None, None]:
        after = b""
        while True:
            batch: list[Child] = []

            def take(
                _handle: Any,
                _context: Any,
                subscript: Any,
                length: int,
                data: int,
                value: Any,
                value_length: int,
            ) -> int:
                key = lib.lent(subscript, length)
                batch.append(
                    Child(
                        key,
                        parent.child(key),
                        data % 10 == 1,
                        data >= 10,
                        lib.lent(value, value_length) if value else None,
                    )
                )
                return 1

            proc, at_end = lib.ChildProc(take), c_int32()
            self._call(
                self._lib.QDOChildBatch,
                self._live(),
                ref.pointer,
                after,
                len(after),
                byref(options),
                proc,
                None,
                byref(at_end),
            )
            for child in batch:
                after = child.subscript
                yield child
            if at_end.value:
                return

    def subtree(
        self,
        reference: Reference,
        values: bool = True,
        reverse: bool = False,
        *,
        batch_nodes: int = 1000,
        batch_bytes: int = 32768,
    ) -> Generator[Node, None, None]:
        """The nodes below a node that have values, in $QUERY order (the node itself is not one
        of them), as Node tuples whose references hold the root's subscripts, then the node's
        own as bytes. Fetched in batches, as children are."""
        root = as_ref(reference)
        ref = CReference(root)
        options = walk_options(values, reverse, batch_nodes, batch_bytes)
        return self._subtree(root, ref, options)

    def _subtree(self, root: Ref, ref: CReference, options: Any) -> Generator[Node, None, None]:
        depth = len(root) - 1
        after: list[bytes] = []
        while True:
            batch: list[Node] = []

            def take(_handle: Any, _context: Any, node: Any, value: Any, length: int) -> int:
                below = lent_ref(node).subscripts[depth:]
                batch.append(
                    Node(Ref(*root, *below), lib.lent(value, length) if value else None)
                )
                return 1

            proc, at_end = lib.NodeProc(take), c_int32()
            start = Subscripts(after)
            self._call(
                self._lib.QDONodeBatch,
                self._live(),
                ref.pointer,
                start.array,
                start.count,
                byref(options),
                proc,
                None,
                byref(at_end),
            )
            for node in batch:
                after = list(node.ref.subscripts[depth:])  # type: ignore[arg-type]
                yield node
            if at_end.value:
                return

