// References to M variables and to M entry points, built from parts and written as M code in
// which no part can change the code: names are checked, string subscripts are quoted with
// MText, numbers are written canonically.
//
// M's rule for subscripts: a string that is a canonical number names the same node as that
// number (the string "1" and the number 1 are one node, and so are "-.5" and -0.5); any other
// string is a string subscript ("01", "1.0", "1E3", "-0", " 1" are five nodes, none of them 1).
#pragma once

#include "classes/Export.h"
#include "encodings/MName.h"
#include "encodings/MNumber.h"

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace qdo {

// One subscript or argument: a string of any bytes, or a number.
class QDO_API TMSubscript {
public:
    TMSubscript(std::string_view text) : value_(text) {}
    TMSubscript(const std::string& text) : value_(text) {}
    TMSubscript(const char* text) : value_(text) {}
    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char>) TMSubscript(T number)
        : value_(MNumberText(CheckedInteger(number))), isNumber_(true) {}
    TMSubscript(double number) : value_(MNumberText(number)), isNumber_(true) {}

    // A number given as its canonical text ("-.5"); EMRefError when it is not one.
    static TMSubscript Number(std::string_view canonical);

    bool IsNumber() const noexcept { return isNumber_; }
    // The string's bytes, or the number's canonical text.
    const std::string& Value() const noexcept { return value_; }
    // As M code: a quoted string expression (MText) or the canonical number.
    std::string Text() const;

private:
    template <std::integral T>
    static int64_t CheckedInteger(T number) {
        if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(int64_t))
            if (number > static_cast<T>(INT64_MAX))
                return INT64_MAX; // refused by MNumberText as too long
        return static_cast<int64_t>(number);
    }

    std::string value_;
    bool isNumber_ = false;
};

// A variable reference: a global ("^X") or local ("X") name and its subscripts.
class QDO_API TMRef {
public:
    // Raises EMRefError when `name` is not an optional '^' followed by an M name.
    explicit TMRef(std::string_view name, std::vector<TMSubscript> subscripts = {});
    TMRef(std::string_view name, std::initializer_list<TMSubscript> subscripts);

    // The name as given, with its '^' for a global.
    const std::string& Name() const noexcept { return name_; }
    bool IsGlobal() const noexcept { return name_[0] == '^'; }
    const std::vector<TMSubscript>& Subscripts() const noexcept { return subscripts_; }

    // The reference with one more subscript; the reference without its last one.
    TMRef Child(TMSubscript subscript) const;
    TMRef Parent() const;

    // The reference as M code: ^X("a",1,"b"_$C(0)).
    std::string Text() const;

private:
    std::string name_;
    std::vector<TMSubscript> subscripts_;
};

// An entry reference for DO and $$: "label^routine" or "^routine". Label and routine are
// checked as M names.
class QDO_API TMEntryRef {
public:
    // From its text, "label^routine" or "^routine"; EMRefError for anything else.
    explicit TMEntryRef(std::string_view text);
    TMEntryRef(std::string_view label, std::string_view routine);

    const std::string& Label() const noexcept { return label_; }
    const std::string& Routine() const noexcept { return routine_; }
    // As M code: label^routine (^routine without a label).
    std::string Text() const;

private:
    std::string label_;
    std::string routine_;
};

} // namespace qdo
