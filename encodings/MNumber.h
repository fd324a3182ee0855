// Numbers written as M writes them: canonical numbers, the form in which M compares and
// collates numeric subscripts.
//
// A canonical number has no '+', no leading zero before the digits of its integer part, no
// trailing zero after the point, no point without digits after it, no exponent, and no sign on
// zero: 0, 12, -3, .5, -.25, 1.5. GT.M keeps 18 significant digits, between 1E-43 and 1E47 in
// magnitude; a number outside that would not name the node its digits say.
#pragma once

#include "classes/Export.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace qdo {

// The most significant digits GT.M keeps in a number.
inline constexpr int MaxMNumberDigits = 18;

// The canonical text of `value`; raises EMRefError (encodings/MName.h) when it has more than
// 18 digits.
QDO_API std::string MNumberText(int64_t value);

// The canonical text of `value`, from its shortest decimal form that reads back as the same
// double: 0.5 -> ".5", -0.0 -> "0", 1e20 -> "100000000000000000000", 1.25e-5 -> ".0000125".
// Raises EMRefError for NaN, infinities, and magnitudes M cannot hold (1E47 and above, below
// 1E-43 but 0).
QDO_API std::string MNumberText(double value);

// Whether `text` is a canonical M number of at most 18 significant digits whose magnitude M can
// hold: "1", "-.5", "0" are; "01", "1.0", "1E3", "-0", " 1", "+1", ".", "" are not.
QDO_API bool IsMCanonicalNumber(std::string_view text) noexcept;

} // namespace qdo
