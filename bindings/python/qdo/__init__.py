"""qdo: Python access to an M (GT.M) database server through libqdo.

    import qdo
    with qdo.connect("localhost", 7001, namespace="USER") as c:
        c.set("^Greeting", "hello")
        print(c.get_str("^Greeting"))
        c.set(("^Person", 42, "name"), "Ada")          # a reference as parts
        for child in c.children(("^Person",)):
            print(child.subscript, child.value)
        for reference, value in c.walk("^Orders"):
            ...
        with c.transaction() as t:                     # all applied, or none
            t.set(("^Account", 1), 90)
            t.increment(("^Account", 2), 10)
        c.export_json(("^Person",), open("person.json", "wb"))

Standard library only: ctypes over libqdo.so (found through QDO_LIBRARY, next to this package,
or the system's library search).
"""

from . import mlist
from .connection import CallbackFunction, Connection, EventFunction, connect
from .data import Lock
from .errors import (
    ERROR_BAD_FORMAT,
    ERROR_BAD_JSON,
    ERROR_BAD_REFERENCE,
    ERROR_BUSY,
    ERROR_INVALID_TYPE,
    ERROR_NO_JOB,
    ERROR_NO_SESSION,
    ERROR_NONE,
    ERROR_NOT_CONNECTED,
    ERROR_SERVER,
    ERROR_SOCKET_CLOSED,
    ERROR_TIME_OUT,
    ERROR_TLS,
    ERROR_UNKNOWN,
    Error,
)
from .literal import mtext
from .operations import Batch, BatchError, Results, Transaction
from .refs import Child, Node, Ref

__all__ = [
    "Batch",
    "BatchError",
    "CallbackFunction",
    "Child",
    "Connection",
    "Error",
    "EventFunction",
    "Lock",
    "Node",
    "Ref",
    "Results",
    "Transaction",
    "connect",
    "mlist",
    "mtext",
    "ERROR_BAD_FORMAT",
    "ERROR_BAD_JSON",
    "ERROR_BAD_REFERENCE",
    "ERROR_BUSY",
    "ERROR_INVALID_TYPE",
    "ERROR_NO_JOB",
    "ERROR_NO_SESSION",
    "ERROR_NONE",
    "ERROR_NOT_CONNECTED",
    "ERROR_SERVER",
    "ERROR_SOCKET_CLOSED",
    "ERROR_TIME_OUT",
    "ERROR_TLS",
    "ERROR_UNKNOWN",
]

__version__ = "0.1.0"
