"""A connection to an M database server through libqdo's flat interface: its life, values,
command lines, walks and server callbacks (events, BLOBs, transactions and batches, and JSON in
events.py, blobs.py, operations.py and jsonio.py)."""

from __future__ import annotations

import os
from typing import Any, Callable, Generator, Optional, Union

from . import _library as lib
from . import mlist
from ._base import _message
from ._handoff import END, Handoff
from ._values import Settable, Text, settable, text
from .blobs import Blobs
from .data import _NO_DEFAULT, DataOperations
from .refs import Reference
from .events import EventFunction, Events
from .jsonio import Json

#: A server callback: takes the request's bytes, returns the answer (bytes, str, a number or
#: None for the empty text).
CallbackFunction = Callable[[bytes], Union[bytes, str, int, float, None]]

#: A file path: text or os.PathLike.
Path = Union[str, "os.PathLike[str]"]

__all__ = ["CallbackFunction", "Connection", "EventFunction", "connect"]


class Connection(DataOperations, Events, Blobs, Json):
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
        tls: Optional[bool] = None,
        tls_authorities: Optional[Path] = None,
        tls_server_name: Optional[str] = None,
        tls_certificate: Optional[Path] = None,
        tls_key: Optional[Path] = None,
        tls_verify: bool = True,
        servers: Optional[str] = None,
        server_try_timeout: Optional[float] = None,
        prefer_secondary: bool = False,
    ):
        self._lib = lib.library()
        self._handle = self._lib.QDOCreateConnect(
            host.encode(), int(port), namespace.encode()
        )
        if not self._handle:
            raise MemoryError("no connection handle could be made")
        self._pending = None
        self._callback: Optional[CallbackFunction] = None
        self._handlers = {}
        self._received = None
        # The C functions stay referenced for the connection's life.
        self._event_proc = lib.ServerEventProc(self._on_event)
        self._callback_proc = lib.CallbackExProc(self._on_callback)
        self._lib.QDOSetServerEvent(self._handle, self._event_proc, None)
        if timeout is not None:
            self._check(self._lib.QDOSetTimeOut(self._handle, max(1, int(timeout * 1000))))
        # Naming anything of TLS asks for it: a forgotten tls=True must not mean plain TCP.
        if tls is None:
            tls = any(option is not None for option in
                      (tls_authorities, tls_server_name, tls_certificate, tls_key)) or not tls_verify
        if tls:
            self._use_tls(tls_authorities, tls_server_name, tls_certificate, tls_key, tls_verify)
        if servers is not None:
            self._check(self._lib.QDOSetServers(self._handle, servers.encode()))
        if server_try_timeout is not None:
            milliseconds = max(0, int(server_try_timeout * 1000))
            self._check(self._lib.QDOSetServerTryTimeOut(self._handle, milliseconds))
        if prefer_secondary:
            self._check(self._lib.QDOSetPreferSecondary(self._handle, 1))
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

    def _use_tls(
        self,
        authorities: Optional[Path],
        server_name: Optional[str],
        certificate: Optional[Path],
        key: Optional[Path],
        verify: bool,
    ) -> None:
        if (certificate is None) != (key is None):
            raise ValueError("a client certificate needs both tls_certificate and tls_key")
        h = self._handle
        self._check(self._lib.QDOSetTls(h, 1))
        if authorities is not None:
            self._check(self._lib.QDOSetTlsAuthorities(h, os.fsencode(authorities)))
        if server_name is not None:
            self._check(self._lib.QDOSetTlsServerName(h, server_name.encode()))
        if certificate is not None and key is not None:
            self._check(
                self._lib.QDOSetTlsClientCertificate(
                    h, os.fsencode(certificate), os.fsencode(key)
                )
            )
        self._check(self._lib.QDOSetTlsVerify(h, 1 if verify else 0))

    @property
    def current_server(self) -> str:
        """The server the connection runs on, "host:port"; "" while it is not open."""
        record = lib.counted(b"")
        self._check(self._lib.QDOGetCurrentServer(self._live(), record))
        return lib.counted_text(record).decode()

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
    def get(self, reference: Union[Text, Reference], default: Any = _NO_DEFAULT) -> bytes:
        """The value of a variable reference or of any M expression, whole. A reference given as
        parts (qdo.Ref or a tuple ("^X", "a", 1)) is never read as M code; for one, `default` is
        the value of a node that has none ($GET; without it, such a node raises Error)."""
        if isinstance(reference, (tuple, list)):
            return self._get_node(reference, default)
        if default is not _NO_DEFAULT:
            raise TypeError("a default needs a reference given as parts")
        ref = text(reference)
        return self._call_allocated(self._lib.QDOReadValue, self._live(), ref, len(ref))

    def get_str(
        self, reference: Union[Text, Reference], encoding: str = "utf-8", default: Any = _NO_DEFAULT
    ) -> str:
        """get, decoded."""
        return self.get(reference, default).decode(encoding)

    def set(self, reference: Union[Text, Reference], value: Settable) -> None:
        """Sets a variable: bytes as they are, str as UTF-8, numbers in canonical M form. The
        reference is M text, or parts (qdo.Ref or a tuple)."""
        if isinstance(reference, (tuple, list)):
            return self._set_node(reference, value)
        ref, data = text(reference), settable(value)
        self._call(self._lib.QDOWriteValue, self._live(), ref, len(ref), data, len(data))

    def kill(self, reference: Union[Text, Reference]) -> None:
        """Kills a variable and its subtree (M text, or parts)."""
        if isinstance(reference, (tuple, list)):
            return self._kill_node(reference)
        ref = text(reference)
        self._call(self._lib.QDOKillValue, self._live(), ref, len(ref))

    def execute(self, line: Text) -> bytes:
        """Runs an M command line; returns what it wrote."""
        data = text(line)
        return self._call_allocated(self._lib.QDOExecuteLine, self._live(), data, len(data))

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

def connect(
    host: str,
    port: int,
    namespace: str = "USER",
    user: Optional[Text] = None,
    password: Optional[Text] = None,
    *,
    timeout: Optional[float] = None,
    application: Optional[Text] = None,
    tls: Optional[bool] = None,
    tls_authorities: Optional[Path] = None,
    tls_server_name: Optional[str] = None,
    tls_certificate: Optional[Path] = None,
    tls_key: Optional[Path] = None,
    tls_verify: bool = True,
    servers: Optional[str] = None,
    server_try_timeout: Optional[float] = None,
    prefer_secondary: bool = False,
) -> Connection:
    """An open connection: `with qdo.connect("localhost", 7001) as c: c.get("^X")`.

    With `tls` (by default: when any other tls_ argument is given), every link to the server
    is TLS 1.3: the server's certificate is checked
    against `tls_authorities` (a PEM file or a hashed directory; the system's store when None)
    and the name `tls_server_name` (the host when None); `tls_certificate` and `tls_key` give a
    client certificate; `tls_verify=False` takes any certificate (and warns on stderr). A TLS
    failure raises Error with code ERROR_TLS, never falling back to plain TCP.

    With `servers` ("host:port,host:port,..."), the open tries each server in order, each
    within `server_try_timeout` seconds (the timeout when None), and `host` and `port` are not
    used; after a lost connection the call that met the loss raises, and the next call opens a
    new session (a new job) over the list. `prefer_secondary` opens on a server that says it is
    a secondary where there is one. `current_server` tells which server serves."""
    connection = Connection(
        host,
        port,
        namespace,
        user,
        password,
        timeout=timeout,
        application=application,
        tls=tls,
        tls_authorities=tls_authorities,
        tls_server_name=tls_server_name,
        tls_certificate=tls_certificate,
        tls_key=tls_key,
        tls_verify=tls_verify,
        servers=servers,
        server_try_timeout=server_try_timeout,
        prefer_secondary=prefer_secondary,
    )
    try:
        return connection.open()
    except BaseException:
        connection.close()
        raise
