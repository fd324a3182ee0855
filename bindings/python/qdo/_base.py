"""What every part of a connection stands on: the handle, the library, and how failures and
the exceptions of the caller's functions become qdo.Error."""

from __future__ import annotations

import ctypes
from ctypes import POINTER, byref, c_char, c_size_t
from typing import Any, Callable, Optional

from . import _library as lib
from . import errors
from .errors import Error


def _message(error: BaseException) -> str:
    text_ = str(error)
    return type(error).__name__ + (": " + text_ if text_ else "")


class HandleOwner:
    """Holds a connection handle of the library. A Python exception that one of the caller's
    functions raised inside a call waits in `_pending` until the call returns, and is then
    raised as qdo.Error chained to it."""

    _lib: ctypes.CDLL
    _handle: Optional[int]
    _pending: Optional[BaseException]

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
        if code == errors.ERROR_BAD_JSON:
            offset = self._lib.QDOGetLastErrorOffset(self._handle)
            error.offset = None if offset < 0 else int(offset)
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

    def _call_allocated(self, function: Callable[..., int], *arguments: Any) -> bytes:
        """_call of a function whose last two arguments receive a result that the library
        allocated (pointer and length); returns it as bytes, released."""
        value = POINTER(c_char)()
        length = c_size_t()
        self._call(function, *arguments, byref(value), byref(length))
        return lib.taken(value, length.value)

    def _check(self, result: int) -> None:
        if not result:
            raise self._error()
