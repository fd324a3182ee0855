#include "encodings/MNumber.h"

#include "encodings/MName.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace qdo {

namespace {

// Exponents (of the first significant digit) that M numbers may have: 1E-43 <= |x| < 1E47.
constexpr int MinExponent = -43;
constexpr int MaxExponent = 46;

bool IsDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

} // namespace

std::string MNumberText(int64_t value) {
    // 10^18 - 1 is the largest integer of 18 digits.
    constexpr int64_t largest = 999'999'999'999'999'999;
    if (value > largest || value < -largest)
        throw EMRefError("The integer " + std::to_string(value) + " has more than " +
                         std::to_string(MaxMNumberDigits) +
                         " digits, which GT.M does not keep; pass it as a string.");
    return std::to_string(value);
}

std::string MNumberText(double value) {
    if (!std::isfinite(value))
        throw EMRefError("NaN and infinities are not M numbers.");
    if (value == 0)
        return "0";
    // The shortest round-trip form in scientific notation: [-]d[.ddd]e(+|-)xx.
    char buffer[64];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    (void)error; // 64 bytes always hold a double in scientific form
    const std::string_view text(buffer, static_cast<size_t>(end - buffer));
    const bool negative = text[0] == '-';
    const size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(negative ? 1 : 0, e - (negative ? 1 : 0)))
        if (c != '.')
            digits += c;
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
    if (exponent < MinExponent || exponent > MaxExponent)
        throw EMRefError("The number " + std::string(text) +
                         " is outside the magnitudes M holds (1E-43 to 1E47).");
    // The value is 0.digits x 10^(exponent + 1): place the point `exponent + 1` digits in.
    const int point = exponent + 1;
    std::string out = negative ? "-" : "";
    if (point <= 0) {
        out += '.';
        out.append(static_cast<size_t>(-point), '0');
        out += digits;
    } else if (static_cast<size_t>(point) >= digits.size()) {
        out += digits;
        out.append(static_cast<size_t>(point) - digits.size(), '0');
    } else {
        out += digits.substr(0, static_cast<size_t>(point));
        out += '.';
        out += digits.substr(static_cast<size_t>(point));
    }
    return out;
}

bool IsMCanonicalNumber(std::string_view text) noexcept {
    if (text == "0")
        return true;
    size_t i = 0;
    if (i < text.size() && text[i] == '-')
        ++i;
    const size_t integerStart = i;
    while (i < text.size() && IsDigit(text[i]))
        ++i;
    const size_t integerDigits = i - integerStart;
    if (integerDigits > 0 && text[integerStart] == '0')
        return false; // a leading zero (and "0" with a sign or a fraction: "-0", "0.5")
    size_t fractionDigits = 0;
    size_t fractionZeros = 0; // zeros between the point and the first significant digit
    if (i < text.size() && text[i] == '.') {
        ++i;
        const size_t fractionStart = i;
        while (i < text.size() && IsDigit(text[i]))
            ++i;
        fractionDigits = i - fractionStart;
        if (fractionDigits == 0 || text[i - 1] == '0')
            return false; // "1." or a trailing zero
        while (fractionZeros < fractionDigits && text[fractionStart + fractionZeros] == '0')
            ++fractionZeros;
    }
    if (i != text.size() || integerDigits + fractionDigits == 0)
        return false;
    // Significant digits: from the first nonzero digit to the last one.
    const std::string_view digits = text.substr(integerStart);
    const size_t firstNonzero = digits.find_first_of("123456789");
    const size_t lastNonzero = digits.find_last_of("123456789");
    size_t significant = lastNonzero - firstNonzero + 1;
    if (integerDigits > firstNonzero && integerDigits < lastNonzero)
        --significant; // the point lies between them
    if (significant > static_cast<size_t>(MaxMNumberDigits))
        return false;
    return integerDigits <= static_cast<size_t>(MaxExponent + 1) &&
           (integerDigits > 0 || static_cast<int>(fractionZeros) < -MinExponent);
}

} // namespace qdo
