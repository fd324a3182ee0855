#include "encodings/JsonText.h"

#include "encodings/MNumber.h"

#include <cstdint>

namespace qdo {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// The exponents beyond which no JSON number can become an M number whatever its digits: the
// decimal point would lie more than this far from the first significant digit.
constexpr int64_t ExponentBound = 1000;

} // namespace

bool IsValidUtf8(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        size_t length = 0;
        uint32_t code = 0;
        uint32_t least = 0; // the smallest code point this length may carry (no overlong form)
        if ((c & 0xE0) == 0xC0) {
            length = 2, code = c & 0x1F, least = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3, code = c & 0x0F, least = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4, code = c & 0x07, least = 0x10000;
        } else {
            return false; // a continuation byte first, or 0xF8..0xFF
        }
        if (static_cast<size_t>(end - p) < length)
            return false;
        for (size_t i = 1; i < length; ++i) {
            if (!IsContinuation(p[i]))
                return false;
            code = (code << 6) | (p[i] & 0x3F);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        p += length;
    }
    return true;
}

void AppendJsonString(std::string& out, std::string_view bytes) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (const char c : bytes) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                out += "\\u00";
                out += hex[(c >> 4) & 0xF];
                out += hex[c & 0xF];
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

std::string JsonNumberFromM(std::string_view canonical) {
    if (canonical.starts_with('.'))
        return "0" + std::string(canonical);
    if (canonical.starts_with("-."))
        return "-0" + std::string(canonical.substr(1));
    return std::string(canonical);
}

std::optional<std::string> MNumberFromJson(std::string_view json, std::string* reason) {
    const auto refuse = [&](const char* why) -> std::optional<std::string> {
        if (reason)
            *reason = why;
        return std::nullopt;
    };
    // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
    size_t i = 0;
    const bool negative = i < json.size() && json[i] == '-';
    if (negative)
        ++i;
    const size_t integerStart = i;
    while (i < json.size() && IsDigit(json[i]))
        ++i;
    const std::string_view integer = json.substr(integerStart, i - integerStart);
    if (integer.empty() || (integer.size() > 1 && integer[0] == '0'))
        return refuse("it is not a JSON number");
    std::string_view fraction;
    if (i < json.size() && json[i] == '.') {
        const size_t fractionStart = ++i;
        while (i < json.size() && IsDigit(json[i]))
            ++i;
        fraction = json.substr(fractionStart, i - fractionStart);
        if (fraction.empty())
            return refuse("it is not a JSON number");
    }
    int64_t exponent = 0;
    if (i < json.size() && (json[i] == 'e' || json[i] == 'E')) {
        ++i;
        bool exponentNegative = false;
        if (i < json.size() && (json[i] == '+' || json[i] == '-'))
            exponentNegative = json[i++] == '-';
        const size_t exponentStart = i;
        for (; i < json.size() && IsDigit(json[i]); ++i)
            if (exponent < ExponentBound * 10)
                exponent = exponent * 10 + (json[i] - '0'); // saturates far beyond any use
        if (i == exponentStart)
            return refuse("it is not a JSON number");
        if (exponentNegative)
            exponent = -exponent;
    }
    if (i != json.size())
        return refuse("it is not a JSON number");

    // The value is 0.digits * 10^point once the digits lose their leading and trailing zeros.
    std::string digits = std::string(integer) + std::string(fraction);
    int64_t point = static_cast<int64_t>(integer.size()) + exponent;
    const size_t firstNonzero = digits.find_first_not_of('0');
    if (firstNonzero == std::string::npos)
        return std::string("0"); // every form of zero, "-0" and "0e5" too
    digits.erase(0, firstNonzero);
    point -= static_cast<int64_t>(firstNonzero);
    digits.erase(digits.find_last_not_of('0') + 1);
    if (digits.size() > static_cast<size_t>(MaxMNumberDigits))
        return refuse("it has more than 18 significant digits, more than M keeps");
    if (point > ExponentBound || point < -ExponentBound)
        return refuse("its magnitude is outside M's range (1E-43 to 1E47)");

    const auto size = static_cast<int64_t>(digits.size());
    std::string text = negative ? "-" : "";
    if (point <= 0)
        text += "." + std::string(static_cast<size_t>(-point), '0') + digits;
    else if (point >= size)
        text += digits + std::string(static_cast<size_t>(point - size), '0');
    else
        text += digits.substr(0, static_cast<size_t>(point)) + "." +
                digits.substr(static_cast<size_t>(point));
    if (!IsMCanonicalNumber(text))
        return refuse("its magnitude is outside M's range (1E-43 to 1E47)");
    return text;
}

} // namespace qdo
