// How the command-line client shows what it reads: never a byte that a terminal would take
// for a command.
#pragma once

#include <string>
#include <string_view>

namespace qdo::tool {

// Whether `bytes` is UTF-8 text without control characters (C0, DEL, C1): safe on a terminal.
bool IsPlainText(std::string_view bytes);

// `value` as it is when it is plain text, else as an M expression that evaluates to it
// ("a"_$C(10)_"b"), made of printable ASCII only: safe to show, and it can be pasted into M
// code.
std::string Shown(std::string_view value);

// A JSON string literal of `bytes`: each byte of 128 or more is taken as the code point of the
// same number (ISO-8859-1), so that any bytes, text or not, round-trip through JSON.
std::string JsonString(std::string_view bytes);

} // namespace qdo::tool
