"""M string literals: any byte string written as an M expression that evaluates to it."""

from __future__ import annotations

from typing import Union

_MAX_CHAR_CODES = 255  # the most codes GT.M takes in one $C call


def mtext(value: Union[bytes, bytearray, str]) -> str:
    """An M expression that evaluates to `value`: quoted literals for bytes from 32 up (a
    double quote doubled), $C(...) for control bytes, joined with '_': "a"_$C(13,10)_"b".

    The same bytes as the library's QDOText, without its 32767-byte bound. A str is taken as
    its UTF-8 bytes. The result is a str whose UTF-8 encoding with errors="surrogateescape"
    (which the connection's methods use for str arguments) gives those bytes back exactly, so
    bytes that are not UTF-8 survive the trip to the server.
    """
    data = value.encode("utf-8", "surrogateescape") if isinstance(value, str) else bytes(value)
    if not data:
        return '""'
    out = bytearray()
    in_literal = False
    first = True
    codes = 0
    for byte in data:
        if byte < 32:
            if in_literal:
                out += b'"_$C('
            elif first:
                out += b"$C("
            elif codes == _MAX_CHAR_CODES:
                out += b")_$C("
            else:
                out += b","
            codes = 1 if (in_literal or first or codes == _MAX_CHAR_CODES) else codes + 1
            out += str(byte).encode()
            in_literal = False
        else:
            if not in_literal:
                out += b'"' if first else b')_"'
            if byte == 0x22:
                out += b'"'
            out.append(byte)
            in_literal = True
        first = False
    out += b'"' if in_literal else b")"
    return out.decode("utf-8", "surrogateescape")
