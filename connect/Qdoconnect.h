// The connection unit: the free functions that it offers beside the connection.
#pragma once

#include "classes/Export.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace qdo {

// Whether the whole `text` matches the whole `pattern`, in which `oneWildcard` matches exactly
// one byte and `anyWildcard` any run of bytes, the empty run included. Without `caseSensitive`
// the letters a-z of text and pattern compare as A-Z (the wildcard bytes are compared as given).
// When the two wildcards are the same byte it acts as the one-byte wildcard.
//
// When the text is used up, what is left of the pattern must be nothing or exactly one
// any-wildcard: "ab*" matches "ab", "ab**" does not (but matches "abc").
//
// Runs in time proportional to len(text) x len(pattern) and memory proportional to
// len(pattern), whatever the input.
QDO_API bool MatchString(std::string_view text, std::string_view pattern, bool caseSensitive,
                         char oneWildcard, char anyWildcard);

// Every byte of `text` as a decimal code of one $C call: "$C(97,98)" for "ab"; the empty M
// literal "" (two double quotes) for the empty text.
QDO_API std::string StrToCharStr(std::string_view text);

// The text of a Windows Sockets error number, as socket failures report it: "Connection reset
// by peer." for 10054, ...; "Unknown error code." for every number without a text of its own
// (negative ones included).
QDO_API std::string SocketErrorCodeToMessage(int32_t errorCode);

} // namespace qdo
