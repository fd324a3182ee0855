#include "encodings/Mlist.h"

#include "classes/Exceptions.h"
#include "classes/FloatText.h"
#include "classes/FormatSettings.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <functional>
#include <limits>

namespace qdo {

namespace {

constexpr uint8_t typeString = 1;
constexpr uint8_t typeInteger = 4;
constexpr uint8_t typeNegativeInteger = 5;
constexpr uint8_t typeDecimal = 6;
constexpr uint8_t typeNegativeDecimal = 7;

// Significant digits of a decimal element's text.
constexpr int readPrecision = 15;

uint8_t ByteAt(std::string_view bytes, size_t pos) {
    return static_cast<uint8_t>(bytes[pos]);
}

// The whole length of the element that starts at `pos`, or 0 when its header is cut short or it
// claims more bytes than remain.
size_t ElementSize(std::string_view bytes, size_t pos) {
    const size_t remaining = bytes.size() - pos;
    size_t size = ByteAt(bytes, pos);
    if (size == 0) {
        if (remaining < 3)
            return 0;
        size = (ByteAt(bytes, pos + 1) | (size_t{ByteAt(bytes, pos + 2)} << 8)) + 3;
    }
    return size <= remaining ? size : 0;
}

struct Element {
    bool undefined = true;
    uint8_t type = 0;
    std::string_view data;
};

// Splits a whole element (as measured by ElementSize) into type and data.
Element ParseElement(std::string_view element) {
    Element e;
    if (ByteAt(element, 0) == 0) {
        if (element.size() > 3) {
            e.undefined = false;
            e.type = ByteAt(element, 3);
            e.data = element.substr(4);
        }
    } else if (element.size() > 1) {
        e.undefined = false;
        e.type = ByteAt(element, 1);
        e.data = element.substr(2);
    }
    return e;
}

// Little-endian base-256 digits accumulated in 64 bits; higher digits fall off the top. With
// `complement` each digit is read as 255 minus its byte.
uint64_t DigitsValue(std::string_view digits, bool complement) {
    uint64_t value = 0;
    for (size_t i = digits.size(); i-- > 0;) {
        uint8_t digit = ByteAt(digits, i);
        value = value * 256 + (complement ? 255 - digit : digit);
    }
    return value;
}

// Appends the little-endian base-256 digits of `value`, stopping when the rest is 0, each digit
// written as itself or, with `complement`, as 255 minus itself.
void AppendDigits(std::string& out, uint64_t value, bool complement) {
    while (value != 0) {
        uint8_t digit = static_cast<uint8_t>(value & 0xFF);
        out += static_cast<char>(complement ? 255 - digit : digit);
        value >>= 8;
    }
}

long double PowerOfTen(int exponent) {
    // Exact up to 10^27, whose odd part 5^27 still fits the 64-bit significand. Every decimal
    // element read needs one (10^1 to 10^256): they are made once, each as ten times the one
    // before, which gives the very values that multiplying up one by one gives.
    constexpr int tabled = 256;
    static const auto powers = [] {
        std::array<long double, tabled + 1> p{};
        p[0] = 1;
        for (int i = 1; i <= tabled; ++i)
            p[i] = p[i - 1] * 10;
        return p;
    }();
    if (exponent <= tabled)
        return powers[static_cast<size_t>(std::max(exponent, 0))];
    long double power = powers[tabled];
    for (int i = tabled; i < exponent; ++i)
        power *= 10;
    return power;
}

// The value of a decimal element's data: scale byte E, then digits of M; M x 10^-(256 - E).
long double DecimalValue(std::string_view data, bool negative) {
    const int places = 256 - ByteAt(data, 0);
    // Horner's rule is exact for the 8 digits a 64-bit M has, and overflows to infinity (never
    // to not-a-number) for absurdly long digit runs.
    long double sum = 0;
    for (size_t i = data.size(); i-- > 1;) {
        uint8_t digit = ByteAt(data, i);
        sum = sum * 256 + (negative ? 255 - digit : digit);
    }
    return negative ? -(sum + 1) / PowerOfTen(places) : sum / PowerOfTen(places);
}

// The text of a decimal element's data as FormatFloatGeneral writes its value at the read
// precision. A magnitude of 8 bytes or fewer with a scale whose power of ten is exact (up to
// 10^27) is written from its digits: its value is then one correctly rounded division away
// from the decimal, so the texts agree, and integer formatting costs far less than the float's.
std::string DecimalText(std::string_view data, bool negative, char separator) {
    const int places = 256 - ByteAt(data, 0);
    if (data.size() <= 9 && places <= 27) {
        uint64_t magnitude = 0;
        for (size_t i = data.size(); i-- > 1;) {
            const uint8_t digit = ByteAt(data, i);
            magnitude = magnitude << 8 | (negative ? 255 - digit : digit);
        }
        // A negative decimal's digits hold its magnitude less one.
        if (!negative || magnitude != std::numeric_limits<uint64_t>::max()) {
            if (auto text = FormatExactDecimal(magnitude + (negative ? 1 : 0), places, negative,
                                               readPrecision, separator))
                return std::move(*text);
        }
    }
    return FormatFloatGeneral(DecimalValue(data, negative), readPrecision, separator);
}

std::string ElementText(const Element& e) {
    if (e.undefined)
        return {};
    switch (e.type) {
    case typeString:
        return std::string(e.data);
    case typeInteger:
        return std::to_string(DigitsValue(e.data, false));
    case typeNegativeInteger: {
        uint64_t magnitudeLess1 = DigitsValue(e.data, true);
        if (magnitudeLess1 == std::numeric_limits<uint64_t>::max())
            return "-18446744073709551616";
        return "-" + std::to_string(magnitudeLess1 + 1);
    }
    case typeDecimal:
    case typeNegativeDecimal:
        // Without its scale byte a decimal has no value; read it as empty, like other
        // elements this codec cannot read.
        if (e.data.empty())
            return {};
        return DecimalText(e.data, e.type == typeNegativeDecimal, '.');
    default:
        return {};
    }
}

std::string WithHeader(uint8_t type, std::string_view data) {
    const size_t body = 1 + data.size();
    std::string element;
    element.reserve(body + 3);
    if (body <= 254) {
        element += static_cast<char>(body + 1);
    } else {
        element += '\0';
        element += static_cast<char>(body & 0xFF);
        element += static_cast<char>(body >> 8);
    }
    element += static_cast<char>(type);
    element += data;
    return element;
}

// A decimal element of `scale` places whose value x 10^scale is `scaled`.
std::string ScaledDecimalElement(int64_t scaled, int scale) {
    std::string data(1, static_cast<char>(256 - scale));
    if (scaled >= 0) {
        AppendDigits(data, static_cast<uint64_t>(scaled), false);
        return WithHeader(typeDecimal, data);
    }
    AppendDigits(data, static_cast<uint64_t>(-(scaled + 1)), true);
    return WithHeader(typeNegativeDecimal, data);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// How SetList stores a text that is not a canonical 64-bit integer, where its characters alone
// decide it (for most texts they do); Unknown leaves the decision to the float round trip.
enum class TTextKind { Unknown, String, Decimal };

// String: no number's text is written so (a character no number has, a '+', a leading zero, a
// trailing zero or nothing after the separator, "-0", a magnitude under 10^-4, which a
// number's text writes with an exponent), or the text has more places than `scale`, so that
// the element would not read back as the text. Decimal: "[-]digits<separator>digits" as a
// number's text writes it, of at most 12 integer and 15 significant digits and at most `scale`
// places; `scaled` is its value x 10^scale, below 10^15, which the float path also reaches
// exactly (its rounding error is far below one half there).
TTextKind ClassifyText(std::string_view text, char separator, int scale, int64_t& scaled) {
    if (IsDigit(separator) || separator == '-' || separator == '+' || separator == 'e' ||
        separator == 'E' || scale < 0)
        return TTextKind::Unknown;
    const bool hasSign = !text.empty() && (text[0] == '-' || text[0] == '+');
    size_t i = hasSign ? 1 : 0;
    const size_t integerStart = i;
    while (i < text.size() && IsDigit(text[i]))
        ++i;
    const size_t integerDigits = i - integerStart;
    const bool hasSeparator = i < text.size() && text[i] == separator;
    const size_t fractionStart = hasSeparator ? ++i : i;
    while (i < text.size() && IsDigit(text[i]))
        ++i;
    const size_t fractionDigits = i - fractionStart;
    if (i != text.size()) {
        // An exponent is for the float path; any other character makes no number.
        for (; i < text.size(); ++i)
            if (!IsDigit(text[i]) && text[i] != '+' && text[i] != '-' && text[i] != 'e' &&
                text[i] != 'E' && text[i] != separator)
                return TTextKind::String;
        return TTextKind::Unknown;
    }
    if (integerDigits == 0 || (hasSign && text[0] == '+'))
        return TTextKind::String;
    const bool zeroInteger = integerDigits == 1 && text[integerStart] == '0';
    if (text[integerStart] == '0' && !zeroInteger)
        return TTextKind::String;
    if (!hasSeparator) // "-0", or an integer beyond 64 bits
        return zeroInteger ? TTextKind::String : TTextKind::Unknown;
    if (fractionDigits == 0 || text.back() == '0')
        return TTextKind::String;
    size_t leadingZeros = 0;
    if (zeroInteger)
        while (text[fractionStart + leadingZeros] == '0')
            ++leadingZeros;
    if (leadingZeros > 3)
        return TTextKind::String;
    const size_t integerPlaces = zeroInteger ? 0 : integerDigits;
    const size_t significant = integerPlaces + fractionDigits - leadingZeros;
    const auto places = static_cast<size_t>(scale);
    if (integerPlaces > 12 || significant > 15 || integerPlaces + places > 15)
        return TTextKind::Unknown;
    if (fractionDigits > places)
        return TTextKind::String;
    uint64_t magnitude = 0;
    for (size_t k = integerStart; k < text.size(); ++k)
        if (k != fractionStart - 1)
            magnitude = magnitude * 10 + static_cast<uint64_t>(text[k] - '0');
    for (size_t k = fractionDigits; k < places; ++k)
        magnitude *= 10;
    scaled = text[0] == '-' ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return TTextKind::Decimal;
}

void CheckIndex(int32_t index) {
    if (index < 1)
        throw EListError(ListIndexOutOfBounds(index));
}

// Whether ElementText(e) is empty, found without formatting a number.
bool ElementTextIsEmpty(const Element& e) {
    if (e.undefined)
        return true;
    switch (e.type) {
    case typeString:
    case typeDecimal:
    case typeNegativeDecimal:
        return e.data.empty();
    case typeInteger:
    case typeNegativeInteger:
        return false;
    default:
        return true;
    }
}

} // namespace

TMList::TMList() = default;

TMList::TMList(const TVarRec values[], int32_t high) {
    bytes_ = lb(values, high);
}

TMList::~TMList() {
    lengthValid_ = false;
}

void TMList::SetAllList(std::string bytes) {
    bytes_ = std::move(bytes);
    lengthValid_ = false;
    cursorIndex_ = 0;
}

std::string TMList::AsString() const {
    const std::string_view all(bytes_);
    std::string out;
    out.reserve(all.size() + static_cast<size_t>(std::count(all.begin(), all.end(), '"')));
    // Copied a run at a time, each run ending with the quote it doubles.
    for (size_t from = 0; from < all.size();) {
        const size_t quote = all.find('"', from);
        if (quote == std::string_view::npos) {
            out += all.substr(from);
            break;
        }
        out += all.substr(from, quote + 1 - from);
        out += '"';
        from = quote + 1;
    }
    return out;
}

void TMList::ClearList() noexcept {
    lengthValid_ = false;
    count_ = 0;
}

int32_t TMList::GetLength() const {
    if (lengthValid_)
        return count_;
    int32_t count = 0;
    if (bytes_.size() != 1) {
        for (size_t pos = 0; pos < bytes_.size(); ++count) {
            size_t size = ElementSize(bytes_, pos);
            if (size == 0 || count == std::numeric_limits<int32_t>::max()) {
                count = 0;
                break;
            }
            pos += size;
        }
    }
    count_ = count;
    lengthValid_ = true;
    return count_;
}

std::string_view TMList::ElementAt(int32_t index) const {
    if (GetLength() < index)
        return {};
    size_t pos = 0;
    int32_t at = 1;
    if (cursorIndex_ > 0 && cursorIndex_ <= index) {
        at = cursorIndex_;
        pos = cursorPos_;
    }
    for (; at < index; ++at)
        pos += ElementSize(bytes_, pos);
    cursorIndex_ = index;
    cursorPos_ = pos;
    return std::string_view(bytes_).substr(pos, ElementSize(bytes_, pos));
}

std::string TMList::GetList(int32_t index) const {
    CheckIndex(index);
    const std::string_view element = ElementAt(index);
    return element.empty() ? std::string() : ElementText(ParseElement(element));
}

int32_t TMList::GetIli(int32_t index) const {
    std::string text = GetList(index);
    int32_t value = 0;
    auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size())
        return 0;
    return value;
}

bool TMList::IsEmpty(int32_t index) const {
    CheckIndex(index);
    const std::string_view element = ElementAt(index);
    return element.empty() || ElementTextIsEmpty(ParseElement(element));
}

void TMList::SetList(int32_t index, std::string_view text) {
    CheckIndex(index);
    ReplaceList(index, ElementOf(text));
}

std::string TMList::ElementOf(std::string_view text) const {
    int64_t integer = 0;
    std::from_chars(text.data(), text.data() + text.size(), integer);
    if (std::to_string(integer) == text)
        return MakeIntList(integer);
    const char separator = DecimalSeparator();
    int64_t scaled = 0;
    switch (ClassifyText(text, separator, scale_, scaled)) {
    case TTextKind::String:
        return MakeStringList(text);
    case TTextKind::Decimal:
        return ScaledDecimalElement(scaled, scale_);
    case TTextKind::Unknown:
        break;
    }
    long double decimal = 0;
    const int precision = static_cast<int>(std::min<size_t>(text.size(), 100)) - 1;
    // A text that is no number is a string at once: rendered, its fallback value 0 reads "0" at
    // every precision, which is a number.
    if (!TryTextToFloat(text, separator, decimal) ||
        FormatFloatGeneral(decimal, precision, separator) != text || !(decimal < 1e12L))
        return MakeStringList(text);
    std::string element = MakeFloatList(decimal);
    // The element keeps 8 decimal places and reads back with 15 significant digits; a number
    // it cannot carry exactly keeps its text as a string element instead.
    const Element written = ParseElement(element);
    long double readBack = 0;
    const std::string readText =
        DecimalText(written.data, written.type == typeNegativeDecimal, separator);
    if (!TryTextToFloat(readText, separator, readBack) || readBack != decimal)
        return MakeStringList(text);
    return element;
}

void TMList::SetIli(int32_t index, int32_t value) {
    SetList(index, std::to_string(value));
}

void TMList::ReplaceList(int32_t index, std::string_view element) {
    CheckIndex(index);
    const std::less<const char*> before;
    if (!element.empty() && !before(element.data(), bytes_.data()) &&
        before(element.data(), bytes_.data() + bytes_.size()))
        return ReplaceList(index, std::string(element)); // a view of this very list
    const int32_t count = GetLength();
    // Every element of a list whose count is known to be above 0 is whole (so is an empty list's
    // none): one more whole element makes the new count plain, without walking the list again.
    const bool whole = (count > 0 || bytes_.empty()) && !element.empty() &&
                       ElementSize(element, 0) == element.size();
    // Changed in place: each string operation leaves the list as it was when it throws.
    if (index > count) {
        const size_t padding = static_cast<size_t>(index) - static_cast<size_t>(count) - 1;
        bytes_.reserve(bytes_.size() + padding + element.size());
        bytes_.append(padding, '\x01');
        bytes_ += element;
    } else {
        size_t pos = 0;
        for (int32_t i = 1; i < index; ++i)
            pos += ElementSize(bytes_, pos);
        bytes_.replace(pos, ElementSize(bytes_, pos), element);
    }
    // A list of a single byte counts as empty (see GetLength).
    lengthValid_ = whole && bytes_.size() != 1;
    count_ = std::max(count, index);
    cursorIndex_ = 0;
}

std::string TMList::lb(const TVarRec values[], int32_t high) const {
    std::string out;
    if (values == nullptr)
        return out;
    for (int32_t i = 0; i <= high; ++i) {
        const TVarRec& value = values[i];
        switch (value.VType) {
        case TVarRec::vtInteger:
            out += MakeIntList(value.VInteger);
            break;
        case TVarRec::vtExtended:
            out += MakeFloatList(value.VExtended);
            break;
        case TVarRec::vtString:
        case TVarRec::vtAnsiString:
            out += MakeStringList(value.VText);
            break;
        case TVarRec::vtPointer:
        case TVarRec::vtPChar:
            out += MakeEmptyList();
            break;
        default:
            break;
        }
        if (out.size() > static_cast<size_t>(MaxListLength))
            throw EListError("MAX LIST LENGTH (32768) EXCEEDED");
    }
    return out;
}

std::string TMList::MakeStringList(std::string_view text) const {
    if (text.size() > static_cast<size_t>(MaxListElementData))
        throw EListError("MAX LIST ELEMENT LENGTH (65534) EXCEEDED");
    return WithHeader(typeString, text);
}

std::string TMList::MakeIntList(int64_t value) const {
    std::string data;
    if (value >= 0) {
        AppendDigits(data, static_cast<uint64_t>(value), false);
        return WithHeader(typeInteger, data);
    }
    AppendDigits(data, static_cast<uint64_t>(-(value + 1)), true);
    return WithHeader(typeNegativeInteger, data);
}

std::string TMList::MakeFloatList(long double value) const {
    // Rounded to nearest, ties to even (the default rounding mode, which nothing here changes).
    const long double scaled = std::nearbyint(value * PowerOfTen(scale_));
    constexpr long double limit = 9223372036854775808.0L; // 2^63
    if (!(scaled >= -limit && scaled < limit))
        throw EListError("LIST DECIMAL OUT OF RANGE (" +
                         FormatFloatGeneral(value, readPrecision, '.') + ")");
    return ScaledDecimalElement(static_cast<int64_t>(scaled), scale_);
}

std::string TMList::MakeEmptyList() const {
    return std::string(1, '\x01');
}

long double TMList::StrToFloatDef(std::string_view text, long double fallback) const {
    long double value = 0;
    return TryTextToFloat(text, DecimalSeparator(), value) ? value : fallback;
}

long double StrToFloatDef(std::string_view text, long double fallback) {
    long double value = 0;
    return TryTextToFloat(text, '.', value) ? value : fallback;
}

} // namespace qdo
