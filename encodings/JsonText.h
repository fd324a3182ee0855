// The pure text rules of JSON export and import (connect/Json.h): UTF-8 checks, JSON string
// literals for M's bytes, and the conversions between JSON numbers and canonical M numbers.
#pragma once

#include "classes/Export.h"

#include <optional>
#include <string>
#include <string_view>

namespace qdo {

// Whether `bytes` is well-formed UTF-8: no overlong forms, no surrogates (U+D800..U+DFFF), no
// code point above U+10FFFF, no sequence cut short.
QDO_API bool IsValidUtf8(std::string_view bytes) noexcept;

// Appends `bytes` (valid UTF-8) as a JSON string literal with its quotes: '"' and '\' are
// escaped, control characters below 0x20 are written \b \t \n \f \r or \u00XX; every other byte
// is written as it is.
QDO_API void AppendJsonString(std::string& out, std::string_view bytes);

// The JSON form of a canonical M number: M leaves out the 0 before a point (".5", "-.25"),
// which JSON needs ("0.5", "-0.25"); any other canonical number is already JSON.
QDO_API std::string JsonNumberFromM(std::string_view canonical);

// The canonical M number that the JSON number `json` (its text, as the JSON grammar has it)
// stands for, exactly: "1.50" -> "1.5", "1e3" -> "1000", "-0" -> "0", "2.5E-2" -> ".025".
// Nothing when M cannot hold it exactly: more than 18 significant digits, a magnitude of 1E47
// or more or below 1E-43, or text that is not a JSON number; `reason` then says which.
QDO_API std::optional<std::string> MNumberFromJson(std::string_view json, std::string* reason);

} // namespace qdo
