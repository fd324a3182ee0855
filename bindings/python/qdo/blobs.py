"""BLOBs: created, written, read and deleted from and to bytes or file objects, streamed."""

from __future__ import annotations

import ctypes
import io
from ctypes import byref, c_int32
from typing import Any, Optional, Protocol, Union

from . import _library as lib
from ._base import HandleOwner
from ._values import Text, text
from .errors import Error


class Readable(Protocol):
    """A binary file object to read from: read(size) gives at most size bytes, b"" at the end."""

    def read(self, size: int = -1, /) -> Optional[bytes]: ...


class Writable(Protocol):
    """A binary file object to write to."""

    def write(self, data: bytes, /) -> Any: ...


class Blobs(HandleOwner):
    """The BLOB methods of a Connection."""

    def blob_create(self, name: Text = b"") -> int:
        """A new, empty BLOB; its identifier."""
        data = text(name)
        created = c_int32()
        self._call(self._lib.QDOCreateBlob, self._live(), data, len(data), byref(created))
        return created.value

    def blob_put(
        self, data: Union[bytes, bytearray, memoryview, Readable], name: Text = b""
    ) -> int:
        """A new BLOB holding `data` (bytes, or a binary file object read to its end); its
        identifier."""
        identifier = self.blob_create(name)
        try:
            self.blob_write(identifier, data)
        except BaseException:
            try:
                self.blob_delete(identifier)
            except Error:
                pass
            raise
        return identifier

    def blob_write(
        self, identifier: int, data: Union[bytes, bytearray, memoryview, Readable]
    ) -> None:
        """Replaces the content of a BLOB with bytes, or with what a binary file object's reads
        give until its end (streamed: never held whole)."""
        if isinstance(data, (bytes, bytearray, memoryview)):
            raw = bytes(data)
            self._call(self._lib.QDOWriteBlob, self._live(), int(identifier), raw, len(raw))
            return
        source = data

        def read(_handle: Any, _context: Any, buffer: Any, size: int) -> int:
            try:
                piece = source.read(size)
                if piece is None:
                    raise BlockingIOError("the BLOB's file object has no data ready")
                ctypes.memmove(buffer, piece, len(piece))
                return len(piece)
            except BaseException as error:
                self._pending = error
                return -1

        proc = lib.BlobReadProc(read)
        self._call(self._lib.QDOWriteBlobFrom, self._live(), int(identifier), proc, None)

    def blob_get(self, identifier: int) -> bytes:
        """The whole content of a BLOB."""
        return self._call_allocated(self._lib.QDOReadBlob, self._live(), int(identifier))

    def blob_read_into(self, identifier: int, target: Writable) -> None:
        """Writes the content of a BLOB into a binary file object, block by block."""

        def write(_handle: Any, _context: Any, pointer: Any, length: int) -> int:
            try:
                target.write(lib.lent(pointer, length))
                return 1
            except BaseException as error:
                self._pending = error
                return 0

        proc = lib.BlobWriteProc(write)
        self._call(self._lib.QDOReadBlobTo, self._live(), int(identifier), proc, None)

    def blob_delete(self, identifier: int) -> None:
        self._call(self._lib.QDODeleteBlob, self._live(), int(identifier))

    def blob_open(self, identifier: int, mode: str = "rb") -> io.RawIOBase:
        """A BLOB as a binary file object, streamed: "rb" reads its content, "wb" replaces it
        with what is written (complete once the file is closed without an error). While it is
        open, other calls on this connection fail with ERROR_BUSY."""
        from ._blobfile import BlobReader, BlobWriter

        if mode == "rb":
            return BlobReader(self, int(identifier))
        if mode == "wb":
            return BlobWriter(self, int(identifier))
        raise ValueError('mode is "rb" or "wb", not %r' % mode)
