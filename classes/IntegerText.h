// Reading decimal text as a signed 32-bit integer.
#pragma once

#include "classes/Export.h"

#include <cstdint>
#include <string_view>

namespace qdo {

// Reads `text` as an optional sign ("+" or "-") and decimal digits, nothing else (no blanks),
// within the range of a signed 32-bit integer. Returns false, and leaves `value` alone, when it
// is not such a number.
QDO_API bool TryStrToInt(std::string_view text, int32_t& value) noexcept;
// The same, failing with EConvertError "'<text>' is not a valid integer value".
QDO_API int32_t StrToInt(std::string_view text);
// The same, with `fallback` for a text that is not such a number.
QDO_API int32_t StrToIntDef(std::string_view text, int32_t fallback) noexcept;

} // namespace qdo
