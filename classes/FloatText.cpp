#include "classes/FloatText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace qdo {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The shortest correctly rounded scientific form: sign, `precision` digits and the decimal
// exponent x of d1.d2d3... x 10^x. std::to_chars rounds the exact binary value correctly and
// never consults the locale.
struct Scientific {
    bool negative = false;
    std::string digits;
    int exponent = 0;
};

Scientific ToScientific(long double value, int precision) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                std::chars_format::scientific, precision - 1);
    std::string_view text(buffer, static_cast<size_t>(result.ptr - buffer));
    Scientific s;
    if (!text.empty() && text.front() == '-') {
        s.negative = true;
        text.remove_prefix(1);
    }
    // The digits are d or d.ddd: drop the point.
    const size_t e = text.find('e');
    s.digits.assign(text.substr(0, e));
    if (s.digits.size() > 1 && s.digits[1] == '.')
        s.digits.erase(1, 1);
    std::string_view exponent = text.substr(e + 1);
    if (!exponent.empty() && exponent.front() == '+')
        exponent.remove_prefix(1);
    std::from_chars(exponent.data(), exponent.data() + exponent.size(), s.exponent);
    while (s.digits.size() > 1 && s.digits.back() == '0')
        s.digits.pop_back();
    return s;
}

} // namespace

namespace {

// The general format's layout of `s`, already rounded to at most `precision` digits.
std::string LayOut(const Scientific& s, int precision, char separator) {
    // The value is 0.d1d2... x 10^e.
    const int e = s.exponent + 1;
    const int digitCount = static_cast<int>(s.digits.size());
    std::string out = s.negative ? "-" : "";
    if (e >= -3 && e <= precision) {
        if (e > 0) {
            out += s.digits.substr(0, static_cast<size_t>(std::min(e, digitCount)));
            if (e > digitCount)
                out.append(static_cast<size_t>(e - digitCount), '0');
        } else {
            out += '0';
        }
        std::string fraction;
        if (e >= 0) {
            if (e < digitCount)
                fraction = s.digits.substr(static_cast<size_t>(e));
        } else {
            fraction = std::string(static_cast<size_t>(-e), '0') + s.digits;
        }
        if (!fraction.empty()) {
            out += separator;
            out += fraction;
        }
    } else {
        out += s.digits[0];
        if (digitCount > 1) {
            out += separator;
            out += s.digits.substr(1);
        }
        out += 'E';
        out += std::to_string(e - 1);
    }
    return out;
}

} // namespace

std::string FormatFloatGeneral(long double value, int precision, char separator) {
    if (std::isnan(value))
        return "NAN";
    if (std::isinf(value))
        return value < 0 ? "-INF" : "INF";
    if (value == 0)
        return "0";
    precision = std::clamp(precision, 2, 18);
    return LayOut(ToScientific(value, precision), precision, separator);
}

std::optional<std::string> FormatExactDecimal(uint64_t magnitude, int places, bool negative,
                                              int precision, char separator) {
    if (magnitude == 0)
        return "0";
    precision = std::clamp(precision, 2, 18);
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, magnitude);
    Scientific s;
    s.negative = negative;
    s.digits.assign(buffer, result.ptr);
    s.exponent = static_cast<int>(s.digits.size()) - 1 - places;
    while (s.digits.size() > 1 && s.digits.back() == '0')
        s.digits.pop_back();
    if (static_cast<int>(s.digits.size()) > precision)
        return std::nullopt; // rounding to fewer digits is left to the float path
    return LayOut(s, precision, separator);
}

bool TryTextToFloat(std::string_view text, char separator, long double& value) {
    // Check the grammar here and hand std::from_chars a plain "[-]digits[.digits][e[-]digits]"
    // that it reads exactly; from_chars alone would also take "inf", "nan" and hexadecimal.
    std::string normal;
    normal.reserve(text.size());
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        if (text[i] == '-')
            normal += '-';
        ++i;
    }
    size_t mantissaDigits = 0;
    bool seenSeparator = false;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (IsDigit(c)) {
            normal += c;
            ++mantissaDigits;
        } else if (c == separator && !seenSeparator) {
            normal += '.';
            seenSeparator = true;
        } else {
            break;
        }
    }
    if (mantissaDigits == 0)
        return false;
    if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
        normal += 'e';
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            if (text[i] == '-')
                normal += '-';
            ++i;
        }
        size_t exponentDigits = 0;
        for (; i < text.size() && IsDigit(text[i]); ++i, ++exponentDigits)
            normal += text[i];
        if (exponentDigits == 0)
            return false;
    }
    if (i != text.size())
        return false;

    long double parsed = 0;
    auto result = std::from_chars(normal.data(), normal.data() + normal.size(), parsed,
                                  std::chars_format::general);
    if (result.ec != std::errc() || result.ptr != normal.data() + normal.size())
        return false;
    value = parsed;
    return true;
}

} // namespace qdo
