// Conversions between extended floats and decimal text, independent of the C locale.
#pragma once

#include "classes/Export.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qdo {

// Renders value in the general format with `precision` significant digits (clamped to 2..18),
// using `separator` between integer and fraction.
//
// The value is rounded to `precision` significant digits and seen as 0.d1d2... x 10^e. When e
// lies in -3..precision the text is fixed notation ("-12.5", "0.0001", "0"); otherwise it is
// scientific notation with 'E' and no '+' or leading zeros in the exponent ("1E-5", "1.5E20",
// "-2.5E-7"). Trailing zeros of the fraction are always dropped. Zero (of either sign) is "0";
// infinities are "INF" and "-INF"; not-a-number is "NAN".
QDO_API std::string FormatFloatGeneral(long double value, int precision, char separator);

// The decimal (negative ? -1 : 1) x magnitude x 10^-places in the same format, without a float:
// when magnitude has at most `precision` significant digits (clamped as above) its text is exact,
// and it is the text FormatFloatGeneral gives for the nearest extended float of the decimal (that
// float lies far closer to the decimal than half a unit of its last digit). Nothing when it has
// more, which then need rounding.
QDO_API std::optional<std::string> FormatExactDecimal(uint64_t magnitude, int places, bool negative,
                                                      int precision, char separator);

// Reads `text` as a decimal number written with `separator`: an optional sign, digits with at
// most one separator (at least one digit in all), and an optional exponent of 'E' or 'e', an
// optional sign and digits. Nothing else is allowed, blanks included. Returns false (and
// leaves `value` alone) when the text is not such a number or its value is outside the range of
// the extended float.
QDO_API bool TryTextToFloat(std::string_view text, char separator, long double& value);

} // namespace qdo
