"""The package's one exception, and the library's error codes."""

from __future__ import annotations

from typing import Optional

#: Codes of Error.code (QDO_ERROR_... of qdo.h).
ERROR_NONE = -1  # no code: a socket failure, a failing function of the caller, ...
ERROR_NO_JOB = 0  # "Can't create new job." (also a refused logon)
ERROR_BAD_FORMAT = 1
ERROR_NOT_CONNECTED = 2  # "Connect does not exist."
ERROR_INVALID_TYPE = 4
ERROR_NO_SESSION = 6
ERROR_SOCKET_CLOSED = 7
ERROR_UNKNOWN = 9
ERROR_SERVER = 10  # an M error of the command: see Error.mcode
ERROR_BUSY = 11  # the connection is running another call
ERROR_TIME_OUT = 12
ERROR_BAD_REFERENCE = 13  # a name, subscript, number or entry that cannot be written safely
ERROR_BAD_JSON = 14  # JSON the import cannot read, or data the mapping cannot carry
ERROR_TLS = 15  # TLS failed: a certificate or name check, the handshake, or a TLS file


class Error(Exception):
    """A failed call of the library.

    `code` is one of the ERROR_... codes; `mcode` the M error code ($ECODE, as ",M6,") of an M
    error on the server (code ERROR_SERVER), else None. A failure that began in a function of
    the caller (a server callback, a BLOB's file object) is chained to that exception
    (__cause__). `offset` is, for JSON that an import could not read, the byte offset (from 0)
    at which the parser stopped; else None.
    """

    def __init__(self, message: str, code: int = ERROR_NONE, mcode: Optional[str] = None):
        super().__init__(message)
        self.message = message
        self.code = code
        self.mcode = mcode
        self.offset: Optional[int] = None
