"""Loading libqdo.so and declaring the flat functions that the package calls.

The library is looked for, in order: the path in the environment variable QDO_LIBRARY, a
libqdo.so next to this package's files, and the system's search with ctypes.util.find_library.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
from ctypes import (
    CFUNCTYPE,
    POINTER,
    c_char,
    c_char_p,
    c_double,
    c_int32,
    c_int64,
    c_size_t,
    c_uint64,
    c_void_p,
)
from typing import Optional

from .refs import CJsonOptions, CRef, CSubscript, CWalkOptions

#: The most text bytes in a counted string, and the size of a record that holds that many.
STRING_MAX = 32768
STRING_RECORD_SIZE = 2 + STRING_MAX

# The functions handed to the library (see capi/qdo.h).
TextProc = CFUNCTYPE(None, c_void_p, c_void_p, POINTER(c_char), c_size_t)
ChunkProc = CFUNCTYPE(c_int32, c_void_p, c_void_p, POINTER(c_char), c_size_t)
ServerEventProc = CFUNCTYPE(
    None, c_void_p, c_void_p, POINTER(c_char), c_size_t, POINTER(c_char), c_size_t
)
BlobReadProc = CFUNCTYPE(c_int32, c_void_p, c_void_p, POINTER(c_char), c_size_t)
BlobWriteProc = CFUNCTYPE(c_int32, c_void_p, c_void_p, POINTER(c_char), c_size_t)
CallbackExProc = CFUNCTYPE(c_int32, c_void_p, c_void_p, POINTER(c_char), c_size_t, c_void_p)
NodeProc = CFUNCTYPE(c_int32, c_void_p, c_void_p, POINTER(CRef), POINTER(c_char), c_size_t)
ChildProc = CFUNCTYPE(
    c_int32, c_void_p, c_void_p, POINTER(c_char), c_size_t, c_int32, POINTER(c_char), c_size_t
)
JsonWriteProc = CFUNCTYPE(c_int32, c_void_p, c_void_p, POINTER(c_char), c_size_t)
JsonReadProc = CFUNCTYPE(c_int32, c_void_p, c_void_p, POINTER(c_char), c_size_t)

_H = c_void_p
_TEXT = (c_char_p, c_size_t)
_OUT = (POINTER(POINTER(c_char)), POINTER(c_size_t))
_REF = POINTER(CRef)
_SUBSCRIPTS = (POINTER(CSubscript), c_size_t)
_OPTIONS = POINTER(CWalkOptions)

_PROTOTYPES = {
    # name: (result, arguments)
    "QDOCreateConnect": (_H, (c_char_p, c_int32, c_char_p)),
    "QDODestroyConnect": (None, (_H,)),
    "QDOConnectOpen": (c_int32, (_H,)),
    "QDOConnectClose": (c_int32, (_H,)),
    "QDOSetTimeOut": (c_int32, (_H, c_int32)),
    "QDOSetRequestDeadline": (c_int32, (_H, c_int32)),
    "QDOSetCredentials": (c_int32, (_H, c_char_p, c_char_p, c_char_p)),
    "QDOSetTls": (c_int32, (_H, c_int32)),
    "QDOSetTlsAuthorities": (c_int32, (_H, c_char_p)),
    "QDOSetTlsServerName": (c_int32, (_H, c_char_p)),
    "QDOSetTlsClientCertificate": (c_int32, (_H, c_char_p, c_char_p)),
    "QDOSetTlsVerify": (c_int32, (_H, c_int32)),
    "QDOSetServers": (c_int32, (_H, c_char_p)),
    "QDOSetServerTryTimeOut": (c_int32, (_H, c_int32)),
    "QDOSetPreferSecondary": (c_int32, (_H, c_int32)),
    "QDOGetCurrentServer": (c_int32, (_H, c_char_p)),
    "QDOGetLastError": (None, (_H, c_char_p)),
    "QDOGetLastErrorCode": (c_int32, (_H,)),
    "QDOGetLastServerError": (None, (_H, c_char_p)),
    "QDOProcessMessages": (c_int32, (_H, c_int32)),
    "QDONotificationDescriptor": (c_int32, (_H,)),
    "QDOListLength": (c_int32, (c_char_p,)),
    "QDOListGet": (c_int32, (c_char_p, c_int32, c_char_p)),
    "QDOListSet": (c_int32, (c_char_p, c_int32, c_char_p)),
    "QDOText": (c_int32, (c_char_p, c_char_p)),
    "QDOFreeValue": (None, (c_void_p,)),
    "QDOReadValue": (c_int32, (_H, *_TEXT, *_OUT)),
    "QDOWriteValue": (c_int32, (_H, *_TEXT, *_TEXT)),
    "QDOKillValue": (c_int32, (_H, *_TEXT)),
    "QDOExecuteLine": (c_int32, (_H, *_TEXT, *_OUT)),
    "QDOExecuteOutputLine": (c_int32, (_H, *_TEXT, TextProc, c_void_p)),
    "QDOGroupReadEach": (c_int32, (_H, *_TEXT, ChunkProc, c_void_p)),
    "QDOSubscribeEvent": (c_int32, (_H, *_TEXT, c_int32)),
    "QDOUnsubscribeEvent": (c_int32, (_H, *_TEXT)),
    "QDOSetServerEvent": (c_int32, (_H, ServerEventProc, c_void_p)),
    "QDOCreateBlob": (c_int32, (_H, *_TEXT, POINTER(c_int32))),
    "QDODeleteBlob": (c_int32, (_H, c_int32)),
    "QDOWriteBlob": (c_int32, (_H, c_int32, c_char_p, c_size_t)),
    "QDOReadBlob": (c_int32, (_H, c_int32, *_OUT)),
    "QDOWriteBlobFrom": (c_int32, (_H, c_int32, BlobReadProc, c_void_p)),
    "QDOReadBlobTo": (c_int32, (_H, c_int32, BlobWriteProc, c_void_p)),
    "QDOAnswerSet": (c_int32, (c_void_p, c_char_p, c_size_t)),
    "QDOSetCallbackEx": (c_int32, (_H, CallbackExProc, c_void_p)),
    "QDOGetNode": (c_int32, (_H, _REF, *_OUT)),
    "QDOGetNodeOr": (c_int32, (_H, _REF, *_TEXT, *_OUT)),
    "QDOSetNode": (c_int32, (_H, _REF, *_TEXT)),
    "QDOKillNode": (c_int32, (_H, _REF)),
    "QDOData": (c_int32, (_H, _REF, POINTER(c_int32))),
    "QDOOrder": (c_int32, (_H, _REF, c_int32, *_OUT)),
    "QDOQuery": (c_int32, (_H, _REF, c_int32, NodeProc, c_void_p, POINTER(c_int32))),
    "QDOIncrement": (c_int32, (_H, _REF, POINTER(CSubscript), *_OUT)),
    "QDOMerge": (c_int32, (_H, _REF, _REF)),
    "QDOLock": (c_int32, (_H, _REF, c_double, POINTER(c_int32))),
    "QDOUnlock": (c_int32, (_H, _REF)),
    "QDOUnlockAll": (c_int32, (_H,)),
    "QDOFunction": (c_int32, (_H, *_TEXT, *_SUBSCRIPTS, *_OUT)),
    "QDOProcedure": (c_int32, (_H, *_TEXT, *_SUBSCRIPTS, *_OUT)),
    "QDOChildBatch": (
        c_int32,
        (_H, _REF, *_TEXT, _OPTIONS, ChildProc, c_void_p, POINTER(c_int32)),
    ),
    "QDONodeBatch": (
        c_int32,
        (_H, _REF, *_SUBSCRIPTS, _OPTIONS, NodeProc, c_void_p, POINTER(c_int32)),
    ),
    "QDOCreateResults": (c_void_p, ()),
    "QDOFreeResults": (None, (c_void_p,)),
    # The records are passed as an array built by qdo.operations (c_void_p: any array).
    "QDORunTransaction": (c_int32, (_H, c_void_p, c_size_t, c_void_p)),
    "QDORunBatch": (c_int32, (_H, c_void_p, c_size_t, c_void_p)),
    "QDOResultCount": (c_size_t, (c_void_p,)),
    "QDOResultValue": (c_int32, (c_void_p, c_size_t, *_OUT)),
    "QDOResultRestarts": (c_int32, (c_void_p,)),
    "QDOResultFailedIndex": (c_int64, (c_void_p,)),
    "QDOExportJson": (c_int32, (_H, _REF, POINTER(CJsonOptions), JsonWriteProc, c_void_p)),
    "QDOImportJson": (
        c_int32,
        (_H, _REF, POINTER(CJsonOptions), JsonReadProc, c_void_p, POINTER(c_uint64)),
    ),
    "QDOGetLastErrorOffset": (c_int64, (_H,)),
}


def _candidates() -> list[str]:
    found = []
    configured = os.environ.get("QDO_LIBRARY")
    if configured:
        found.append(configured)
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), "libqdo.so")
    if os.path.exists(beside):
        found.append(beside)
    system = ctypes.util.find_library("qdo")
    if system:
        found.append(system)
    return found


def _load() -> ctypes.CDLL:
    tried = _candidates()
    if not tried:
        raise OSError(
            "libqdo.so was not found: set QDO_LIBRARY to its path, put it next to the qdo "
            "package, or install it where the system's linker finds it"
        )
    library = ctypes.CDLL(tried[0])
    for name, (result, arguments) in _PROTOTYPES.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = list(arguments)
    return library


_library: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The loaded libqdo.so with its functions declared; loaded on first use."""
    global _library
    if _library is None:
        _library = _load()
    return _library


def counted(text: bytes) -> ctypes.Array[c_char]:
    """A counted-string record holding `text` (at most 65535 bytes), with room for any result."""
    if len(text) > 0xFFFF:
        raise ValueError("a counted string holds at most 65535 bytes")
    size = max(STRING_RECORD_SIZE, 2 + len(text)) + 2
    return ctypes.create_string_buffer(len(text).to_bytes(2, "little") + text, size)


def counted_text(record: ctypes.Array[c_char]) -> bytes:
    """The text of a counted-string record."""
    length = int.from_bytes(record.raw[0:2], "little")
    return record.raw[2 : 2 + length]


def taken(pointer: ctypes._Pointer, length: int) -> bytes:  # type: ignore[type-arg]
    """The bytes of a result the library allocated; releases it."""
    try:
        return ctypes.string_at(pointer, length) if length else b""
    finally:
        library().QDOFreeValue(ctypes.cast(pointer, c_void_p))


def lent(pointer: ctypes._Pointer, length: int) -> bytes:  # type: ignore[type-arg]
    """A copy of bytes the library lends to a function for the duration of its call."""
    return ctypes.string_at(pointer, length) if length else b""
