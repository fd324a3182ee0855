"""BLOBs as binary file objects, streamed through a worker thread (see _handoff)."""

from __future__ import annotations

import ctypes
import io
from typing import TYPE_CHECKING, Any, Optional

from . import _library as lib
from ._handoff import END, Handoff

if TYPE_CHECKING:
    from ._base import HandleOwner


class _Stopped(Exception):
    """The reader closed the file before the BLOB's end: not a failure."""


class BlobReader(io.RawIOBase):
    """The content of a BLOB, read block by block as the server sends it."""

    def __init__(self, connection: "HandleOwner", identifier: int):
        super().__init__()
        self._buffer = b""
        self._ended = False
        handle = connection._live()

        def run(handoff: Handoff) -> Optional[BaseException]:
            def write(_handle: Any, _context: Any, pointer: Any, length: int) -> int:
                if handoff.stop.is_set():
                    return 0
                handoff.put_to_caller(lib.lent(pointer, length))
                return 1

            proc = lib.BlobWriteProc(write)
            if connection._lib.QDOReadBlobTo(handle, identifier, proc, None):
                return None
            error = connection._error()
            return _Stopped() if handoff.stop.is_set() else error

        self._handoff = Handoff(run)

    def readable(self) -> bool:
        return True

    def readinto(self, target: Any) -> int:
        view = memoryview(target).cast("B")
        while not self._buffer and not self._ended:
            item = self._handoff.take()
            if item is END:
                self._ended = True
                failure = self._handoff.finish()
                if failure is not None and not isinstance(failure, _Stopped):
                    raise failure
            else:
                self._buffer = item
        count = min(len(view), len(self._buffer))
        view[:count] = self._buffer[:count]
        self._buffer = self._buffer[count:]
        return count

    def close(self) -> None:
        if not self.closed:
            failure = self._handoff.finish()
            super().close()
            if failure is not None and not isinstance(failure, _Stopped) and not self._ended:
                raise failure


class BlobWriter(io.RawIOBase):
    """Replaces a BLOB's content with what is written; the BLOB is complete once the file is
    closed. Closing it from an exception (a with block that raises) gives the transfer up: the
    BLOB then holds part of what was written."""

    def __init__(self, connection: "HandleOwner", identifier: int):
        super().__init__()
        handle = connection._live()

        def run(handoff: Handoff) -> Optional[BaseException]:
            rest = bytearray()

            def read(_handle: Any, _context: Any, buffer: Any, size: int) -> int:
                while not rest:
                    item = handoff.take_from_caller()
                    if item is END:
                        return 0
                    if item is None:
                        return -1  # given up
                    rest.extend(item)
                count = min(size, len(rest))
                ctypes.memmove(buffer, bytes(rest[:count]), count)
                del rest[:count]
                return count

            proc = lib.BlobReadProc(read)
            if connection._lib.QDOWriteBlobFrom(handle, identifier, proc, None):
                return None
            return connection._error()

        self._handoff = Handoff(run)

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        if self.closed:
            raise ValueError("write to a closed BLOB file")
        piece = bytes(data)
        if piece and not self._handoff.give(piece):
            raise self._handoff.finish() or OSError("the BLOB's transfer has ended")
        return len(piece)

    def close(self) -> None:
        self._finish(END)

    def abort(self) -> None:
        """Gives the transfer up; the BLOB keeps the blocks already written."""
        self._finish(None)

    def __exit__(self, kind: Any, *rest: Any) -> None:
        if kind is not None:
            self.abort()
        else:
            self.close()

    def _finish(self, last: Any) -> None:
        if self.closed:
            return
        self._handoff.give(last)
        failure = self._handoff.finish()
        super().close()
        if failure is not None and last is END:
            raise failure
