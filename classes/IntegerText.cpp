#include "classes/IntegerText.h"

#include "classes/Exceptions.h"

#include <charconv>
#include <string>

namespace qdo {

bool TryStrToInt(std::string_view text, int32_t& value) noexcept {
    std::string_view digits = text;
    if (!digits.empty() && digits[0] == '+') {
        digits.remove_prefix(1);
        if (!digits.empty() && digits[0] == '-')
            return false; // one sign at most
    }
    int32_t parsed = 0;
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), parsed);
    if (result.ec != std::errc() || result.ptr != digits.data() + digits.size())
        return false;
    value = parsed;
    return true;
}

int32_t StrToInt(std::string_view text) {
    int32_t value = 0;
    if (!TryStrToInt(text, value))
        throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
    return value;
}

int32_t StrToIntDef(std::string_view text, int32_t fallback) noexcept {
    int32_t value = fallback;
    TryStrToInt(text, value);
    return value;
}

} // namespace qdo
