"""A connection to an M database server through libqdo's flat interface."""

from __future__ import annotations

import collections
import ctypes
import io
import time
from ctypes import POINTER, byref, c_char, c_int32, c_size_t
from typing import (
    Any,
    Callable,
    Deque,
    Generator,
    Iterable,
    Iterator,
    Optional,
    Protocol,
    Union,
)

from . import _library as lib
from . import errors, mlist
from ._handoff import END, Handoff
from ._values import Settable, Text, settable, text
from .errors import Error

#: A server callback: takes the request's bytes, returns the answer (bytes, str, a number or
#: None for the empty text).
CallbackFunction = Callable[[bytes], Union[bytes, str, int, float, None]]
#: An event handler: takes the event's name and parameters.
EventFunction = Callable[[bytes, bytes], Any]


class Readable(Protocol):
    """A binary file object to read from: read(size) gives at most size bytes, b"" at the end."""

    def read(self, size: int = -1, /) -> Optional[bytes]: ...


class Writable(Protocol):
    """A binary file object to write to."""

    def write(self, data: bytes, /) -> Any: ...


def _message(error: BaseException) -> str:
    text_ = str(error)
    return type(error).__name__ + (": " + text_ if text_ else "")


class Connection:
    """One connection (one server job). Use it from one thread at a time; its functions
    (on_callback, event handlers, on_output) run on the thread of the call they belong to, and
    events between calls reach the thread that opened it through process_events or events.

    A Python exception raised by one of those functions never reaches the library: the call it
    belongs to raises Error (chained to it) once the server has finished the command. A server
    callback that raises is answered with the empty text (the protocol cannot carry a failure).
    """

    def __init__(
        self,
        host: str,
        port: int,
        namespace: str = "USER",
        user: Optional[Text] = None,
        password: Optional[Text] = None,
        *,
        timeout: Optional[float] = None,
        application: Optional[Text] = None,
    ):
        self._lib = lib.library()
        self._handle: Optional[int] = self._lib.QDOCreateConnect(
            host.encode(), int(port), namespace.encode()
        )
        if not self._handle:
            raise MemoryError("no connection handle could be made")
        self._pending: Optional[BaseException] = None
        self._callback: Optional[CallbackFunction] = None
        self._handlers: dict[bytes, list[EventFunction]] = {}
        self._received: Optional[Deque[tuple[bytes, bytes]]] = None
        # The C functions stay referenced for the connection's life.
        self._event_proc = lib.ServerEventProc(self._on_event)
        self._callback_proc = lib.CallbackExProc(self._on_callback)
        self._lib.QDOSetServerEvent(self._handle, self._event_proc, None)
        if timeout is not None:
            self._check(self._lib.QDOSetTimeOut(self._handle, max(1, int(timeout * 1000))))
        if user is not None:
            if password is None:
                raise ValueError("a user needs a password")
            application_record = (
                lib.counted(text(application)) if application is not None else None
            )
            self._check(
                self._lib.QDOSetCredentials(
                    self._handle,
                    lib.counted(text(user)),
                    lib.counted(text(password)),
                    application_record,
                )
            )

    # --- Life ---
    def open(self) -> "Connection":
        """Connects, logs on and switches to the namespace."""
        self._call(self._lib.QDOConnectOpen, self._live())
        return self

    def close(self) -> None:
        """Closes the connection and releases its handle; closing twice does nothing."""
        if self._handle:
            handle, self._handle = self._handle, None
            self._lib.QDODestroyConnect(handle)

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    # --- Values ---
    def get(self, reference: Text) -> bytes:
        """The value of a variable reference or of any M expression, whole."""
        ref = text(reference)
        value = POINTER(c_char)()
        length = c_size_t()
        self._call(
            self._lib.QDOReadValue, self._live(), ref, len(ref), byref(value), byref(length)
        )
        return lib.taken(value, length.value)

    def get_str(self, reference: Text, encoding: str = "utf-8") -> str:
        """get, decoded."""
        return self.get(reference).decode(encoding)

    def set(self, reference: Text, value: Settable) -> None:
        """Sets a variable: bytes as they are, str as UTF-8, numbers in canonical M form."""
        ref, data = text(reference), settable(value)
        self._call(self._lib.QDOWriteValue, self._live(), ref, len(ref), data, len(data))

    def kill(self, reference: Text) -> None:
        """Kills a variable and its subtree."""
        ref = text(reference)
        self._call(self._lib.QDOKillValue, self._live(), ref, len(ref))

    def execute(self, line: Text) -> bytes:
        """Runs an M command line; returns what it wrote."""
        data = text(line)
        value = POINTER(c_char)()
        length = c_size_t()
        self._call(
            self._lib.QDOExecuteLine, self._live(), data, len(data), byref(value), byref(length)
        )
        return lib.taken(value, length.value)

    def execute_output(
        self, line: Text, on_output: Optional[Callable[[bytes], Any]] = None
    ) -> None:
        """Runs an M command line while the server streams what it writes to `on_output`,
        piece by piece as it is written (None drops it)."""
        data = text(line)

        def piece(_handle: Any, _context: Any, pointer: Any, length: int) -> None:
            if on_output is None or self._pending is not None:
                return
            try:
                on_output(lib.lent(pointer, length))
            except BaseException as error:
                self._pending = error

        proc = lib.TextProc(piece)
        self._call(self._lib.QDOExecuteOutputLine, self._live(), data, len(data), proc, None)

    def walk(self, reference: Text) -> Generator[tuple[bytes, bytes], None, None]:
        """The (reference, value) pairs of the subtree of a global or local reference, in
        $QUERY order, as the server streams them. Leaving the loop early (break, an exception,
        or closing the iterator) stops the server's walk; the connection is free again once
        the iterator is closed (a for loop closes it when it ends). While the walk runs, other
        calls on this connection fail with ERROR_BUSY: use another connection inside the loop.
        """
        ref = text(reference)
        handle = self._live()

        def run(handoff: Handoff) -> Optional[BaseException]:
            def chunk(_handle: Any, _context: Any, pointer: Any, length: int) -> int:
                handoff.put_to_caller(lib.lent(pointer, length))
                return 0 if handoff.stop.is_set() else 1

            proc = lib.ChunkProc(chunk)
            if self._lib.QDOGroupReadEach(handle, ref, len(ref), proc, None):
                return None
            return self._error()

        return self._walk(Handoff(run))

    def _walk(self, handoff: Handoff) -> Generator[tuple[bytes, bytes], None, None]:
        try:
            while True:
                item = handoff.take()
                if item is END:
                    break
                yield from mlist.pairs(item)
        finally:
            failure = handoff.finish()
        if failure is not None:
            raise failure

    # --- Events ---
    def subscribe(self, name: Text, acknowledged: bool = True) -> None:
        """Subscribes to the server event `name`. With `acknowledged` the server sends the next
        event only once this one has been handled."""
        data = text(name)
        self._call(self._lib.QDOSubscribeEvent, self._live(), data, len(data), int(acknowledged))

    def unsubscribe(self, name: Text) -> None:
        data = text(name)
        self._call(self._lib.QDOUnsubscribeEvent, self._live(), data, len(data))

    def on_event(self, name: Text, handler: EventFunction) -> None:
        """Subscribes to `name` and calls handler(name, params) for each of its events: during
        a call of this connection, or between calls from process_events."""
        key = text(name)
        if key not in self._handlers:
            self.subscribe(key)
            self._handlers[key] = []
        self._handlers[key].append(handler)

    def off_event(self, name: Text) -> None:
        """Removes the handlers of `name` and unsubscribes."""
        key = text(name)
        if self._handlers.pop(key, None) is not None:
            self.unsubscribe(key)

    def process_events(self, timeout: Optional[float] = 0.0) -> int:
        """Handles what the server pushed between calls (events, callback requests), waiting up
        to `timeout` seconds for something (None: without limit). Call it on the thread that
        opened the connection. Returns the number of notifications handled."""
        handle = self._live()
        ms = -1 if timeout is None else max(0, int(timeout * 1000))
        self._pending = None
        handled = int(self._lib.QDOProcessMessages(handle, ms))
        self._raise_pending()
        if handled < 0:
            raise self._error()
        return handled

    def events(
        self, names: Union[Text, Iterable[Text]], timeout: Optional[float] = None
    ) -> Iterator[tuple[bytes, bytes]]:
        """Subscribes to `names` and yields (name, params) for each of their events, until no
        event has come for `timeout` seconds (None: for ever) or the loop ends; then
        unsubscribes."""
        if isinstance(names, (bytes, bytearray, memoryview, str)):
            keys = [text(names)]
        else:
            keys = [text(name) for name in names]
        for key in keys:
            self.subscribe(key)
        received: Deque[tuple[bytes, bytes]] = collections.deque()
        outer, self._received = self._received, received
        try:
            while True:
                deadline = None if timeout is None else time.monotonic() + timeout
                while not received:
                    left = None if deadline is None else deadline - time.monotonic()
                    if left is not None and left <= 0:
                        return
                    self.process_events(0.5 if left is None else min(left, 0.5))
                while received:
                    yield received.popleft()
        finally:
            self._received = outer
            for key in keys:
                if key not in self._handlers and self._handle:
                    self.unsubscribe(key)

    def fileno(self) -> int:
        """A descriptor that becomes readable when process_events has something to do (for
        select, selectors, asyncio's add_reader); do not read from or close it."""
        return int(self._lib.QDONotificationDescriptor(self._live()))

    def _on_event(
        self, _handle: Any, _context: Any, name: Any, name_length: int, params: Any, length: int
    ) -> None:
        try:
            key, value = lib.lent(name, name_length), lib.lent(params, length)
            if self._received is not None:
                self._received.append((key, value))
            for handler in list(self._handlers.get(key, ())):
                handler(key, value)
        except BaseException as error:
            if self._pending is None:
                self._pending = error

    # --- Server callbacks ---
    @property
    def on_callback(self) -> Optional[CallbackFunction]:
        """The function that answers the server's callbacks ($$Callback during a call,
        $$ClientCall between calls); None answers them with the empty text."""
        return self._callback

    @on_callback.setter
    def on_callback(self, function: Optional[CallbackFunction]) -> None:
        self._callback = function
        proc = self._callback_proc if function is not None else lib.CallbackExProc(0)
        self._lib.QDOSetCallbackEx(self._live(), proc, None)

    def _on_callback(
        self, _handle: Any, _context: Any, command: Any, length: int, answer: Any
    ) -> int:
        try:
            if self._callback is None:
                return 1
            result = self._callback(lib.lent(command, length))
            data = b"" if result is None else settable(result)
            return 1 if self._lib.QDOAnswerSet(answer, data, len(data)) == 1 else 0
        except BaseException as error:
            if self._pending is None:
                self._pending = error
            message = _message(error).encode("utf-8", "replace")
            self._lib.QDOAnswerSet(answer, message, len(message))
            return 0

    # --- BLOBs ---
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
        value = POINTER(c_char)()
        length = c_size_t()
        self._call(
            self._lib.QDOReadBlob, self._live(), int(identifier), byref(value), byref(length)
        )
        return lib.taken(value, length.value)

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

    # --- Plumbing ---
    def _live(self) -> int:
        if not self._handle:
            raise Error("The connection is closed.", errors.ERROR_NOT_CONNECTED)
        return self._handle

    def _error(self) -> Error:
        """The handle's last failure as an Error, chained to a pending Python exception."""
        record = ctypes.create_string_buffer(lib.STRING_RECORD_SIZE + 2)
        self._lib.QDOGetLastError(self._handle, record)
        message = lib.counted_text(record).decode("utf-8", "replace")
        code = self._lib.QDOGetLastErrorCode(self._handle)
        mcode: Optional[str] = None
        if code == errors.ERROR_SERVER:
            self._lib.QDOGetLastServerError(self._handle, record)
            mcode = lib.counted_text(record).decode("utf-8", "replace") or None
        error = Error(message, code, mcode)
        pending, self._pending = self._pending, None
        if pending is not None:
            error.__cause__ = pending
        return error

    def _raise_pending(self) -> None:
        pending, self._pending = self._pending, None
        if pending is not None:
            raise Error(_message(pending)) from pending

    def _call(self, function: Callable[..., int], *arguments: Any) -> None:
        self._pending = None
        if not function(*arguments):
            raise self._error()
        self._raise_pending()

    def _check(self, result: int) -> None:
        if not result:
            raise self._error()


def connect(
    host: str,
    port: int,
    namespace: str = "USER",
    user: Optional[Text] = None,
    password: Optional[Text] = None,
    *,
    timeout: Optional[float] = None,
    application: Optional[Text] = None,
) -> Connection:
    """An open connection: `with qdo.connect("localhost", 7001) as c: c.get("^X")`."""
    connection = Connection(
        host, port, namespace, user, password, timeout=timeout, application=application
    )
    try:
        return connection.open()
    except BaseException:
        connection.close()
        raise
