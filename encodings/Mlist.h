// TMList: one value in the server's M list byte format, with its codec.
//
// A list is the concatenation of self-delimiting elements; the empty byte string is the empty
// list. An element is a header, a type byte and data:
//
//   short form  L type data...       L = 1..255 is the element's whole length (L = 1: undefined,
//                                    no type byte); data is L - 2 bytes
//   long form   00 Nlo Nhi type data  the element occupies N + 3 bytes (N = 0: undefined); data
//                                    is N - 1 bytes
//
// Writers use the short form up to 253 data bytes and the long form from 254 on; data longer
// than 65534 bytes does not fit an element. Type codes: 1 string (the bytes), 4 integer >= 0
// (little-endian base-256 digits, no high zeros), 5 integer < 0 (two's complement, high FF bytes
// dropped), 6 decimal >= 0 and 7 decimal < 0 (a scale byte E, then the scaled integer M as for
// 4 / 5; the value is M x 10^-(256 - E); writers use 8 places, E = F8). Other codes read as
// empty text.
//
// Reading an element always gives text: numbers come back as their canonical decimal text,
// decimals in the general format with 15 significant digits and '.' whatever the settings.
// A malformed list is never an error: it counts 0 elements and every element reads as empty.
//
// Indices of elements start at 1. An index below 1 fails with EListError everywhere.
// A TMList has no lock; one thread uses it at a time.
#pragma once

#include "classes/Export.h"
#include "classes/Object.h"
#include "classes/VarRec.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace qdo {

enum TListValueType { lvtString, lvtInteger, lvtFloat };

// One list value with the kind that TMList::SetList would choose for it.
struct TListValue {
    TListValueType ValueType = lvtString;
    std::string Value;
};
using PListValue = TListValue*;

// The most bytes that lb lets a list grow to.
inline constexpr int32_t MaxListLength = 32768;
// The most data bytes that one element can carry.
inline constexpr int32_t MaxListElementData = 65534;

class QDO_API TMList : public TObject {
public:
    TMList();
    // The list of `values[0..high]`, encoded by lb. Fails as lb does.
    TMList(const TVarRec values[], int32_t high);
    ~TMList() override;

    // The encoded bytes, and their replacement (which makes the cached count stale). The
    // reference returned by AllList stays valid until the list is next changed.
    const std::string& AllList() const noexcept { return bytes_; }
    void SetAllList(std::string bytes);

    // The encoded bytes with every double quote doubled, ready to sit inside an M literal.
    std::string AsString() const;

    // Marks the cached count stale and zero; the encoded bytes stay.
    void ClearList() noexcept;

    // The number of elements; 0 for a malformed list. Cached until the list changes.
    int32_t GetLength() const;

    // The text of element `index`; empty when the index is beyond the last element or the
    // element is undefined or of an unknown type. Reading elements in rising order takes one
    // pass over the list in all.
    std::string GetList(int32_t index) const;
    // Element `index` read as a decimal 32-bit integer; 0 when it is not one.
    int32_t GetIli(int32_t index) const;
    // Whether element `index` reads as empty text.
    bool IsEmpty(int32_t index) const;

    // Writes element `index` from text, choosing the encoding from the text:
    //  - an integer element when the text is the canonical decimal form of a 64-bit integer
    //    ("123", "-5"; not "007", "+5", "-0", "");
    //  - a decimal element when the text is the general-format rendering of its own value with
    //    len - 1 significant digits and the current decimal separator, the value is below
    //    10^12 and the element reads back as exactly the text ("1.5", "-0.25", "1E3");
    //  - a string element otherwise (the empty text gives 02 01, not an undefined element).
    // An index beyond the last element first pads the list with undefined elements.
    // Fails with EListError for an index below 1, text longer than 65534 bytes, or a decimal
    // whose scaled value does not fit in 64 bits; the list is then unchanged.
    void SetList(int32_t index, std::string_view text);
    void SetIli(int32_t index, int32_t value);

    // Puts one encoded element at position `index`, replacing the element there, or appending
    // after undefined elements that fill the gap (writing element 5 of a 2-element list adds
    // undefined elements 3 and 4). A list held as a single byte counts as empty: the byte is
    // kept and the element appended after it.
    void ReplaceList(int32_t index, std::string_view element);

    // Encodes values[0..high]: integers, extended floats and strings (short and long) become
    // elements; pointers and NUL-terminated string pointers become undefined elements; every
    // other kind (boolean, character, object, ...) is skipped. Fails with EListError "MAX LIST
    // LENGTH (32768) EXCEEDED" once the result grows past 32768 bytes. A negative high gives
    // the empty list.
    std::string lb(const TVarRec values[], int32_t high) const;

    // One encoded element each. MakeStringList fails for text over 65534 bytes;
    // MakeFloatList fails when value x 10^8 (rounded to nearest, ties to even) is not a 64-bit
    // integer.
    std::string MakeStringList(std::string_view text) const;
    std::string MakeIntList(int64_t value) const;
    std::string MakeFloatList(long double value) const;
    std::string MakeEmptyList() const;

    // `text` read as a decimal number written with the process's current decimal separator;
    // `fallback` when it is not one.
    long double StrToFloatDef(std::string_view text, long double fallback) const;

private:
    mutable bool lengthValid_ = false;
    mutable int32_t count_ = 0;
    // Where the element of the last GetList starts, so that reading the elements in order
    // costs one pass over the list rather than one pass per element. 0: none.
    mutable int32_t cursorIndex_ = 0;
    mutable size_t cursorPos_ = 0;
    std::string bytes_;
    int32_t scale_ = 8;

    // The element SetList writes for `text`: a canonical 64-bit integer as an integer, a number
    // that the element carries exactly as a decimal, anything else as a string.
    std::string ElementOf(std::string_view text) const;
    // The whole element `index` (index >= 1); empty when the index is beyond the last element.
    std::string_view ElementAt(int32_t index) const;
};

// `text` read as a decimal number with '.' as separator, whatever the settings; `fallback`
// when it is not one.
QDO_API long double StrToFloatDef(std::string_view text, long double fallback);

} // namespace qdo
