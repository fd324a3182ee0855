// What of a text may reach the log: every text from outside (a client's address line, names,
// requests, peer names, GT.M's and its tools' output) is escaped, so that a log line is always
// one line and never carries terminal controls.
#pragma once

#include "server/Log.h"

#include <string>
#include <string_view>

namespace qdo::server {

// `text` with every byte that could break a line or drive a terminal shown as an escape:
// "\\" for a backslash, "\t" "\n" "\r" for those, "\xNN" for any other C0 control byte, DEL, C1
// control (U+0080..U+009F), Unicode line or paragraph separator, bidirectional control, and
// each byte of invalid UTF-8 (stray or truncated sequences, overlong forms, surrogates, values
// above U+10FFFF). Printable ASCII and other valid UTF-8 are kept as they are, so the result is
// valid UTF-8.
std::string EscapeForLog(std::string_view text);

// The message mnemonic of an M error's $ZSTATUS ("150373850,+1^x,%GTM-E-UNDEF, Undefined local
// variable: x" gives "%GTM-E-UNDEF"), the part that never holds data; "" when it has none.
std::string MessageMnemonic(std::string_view status);

// The host of a peer address "HOST:PORT" or "[HOST]:PORT"; the text itself when it has no port.
std::string PeerHost(std::string_view peer);

} // namespace qdo::server

namespace qdo::server {

// At most the first `limit` bytes of `text`, followed by " ... (N bytes in all)" when it is
// longer: a client's text in a log line costs the log little.
std::string Shortened(std::string_view text, size_t limit = 256);

// The level at which a line that GT.M wrote on its standard error is logged: error for an error
// or fatal message ("%GTM-E-", "%GTM-F-"), warning for a warning ("%GTM-W-"), else info.
TLogLevel GtmLineLevel(std::string_view line);

} // namespace qdo::server
