// Tagged argument values: one entry of an "array of const" argument list.
//
// An entry carries a kind code and the value of that kind. The codes are the class library's
// tagged-argument codes; TMList::lb encodes some kinds and skips the others, so every code can be
// built here, the skipped ones included.
#pragma once

#include "classes/Export.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace qdo {

struct QDO_API TVarRec {
    enum Kind : uint8_t {
        vtInteger = 0,     // 32-bit integer (VInteger)
        vtBoolean = 1,     // boolean (VBoolean)
        vtChar = 2,        // one byte (VChar)
        vtExtended = 3,    // extended float (VExtended)
        vtString = 4,      // short string, at most 255 bytes (VText)
        vtPointer = 5,     // untyped pointer (VPointer)
        vtPChar = 6,       // NUL-terminated string (VPChar)
        vtObject = 7,      // object reference (VPointer)
        vtClass = 8,       // class reference (VPointer)
        vtWideChar = 9,    // wide character (VWideChar)
        vtPWideChar = 10,  // NUL-terminated wide string (VPointer)
        vtAnsiString = 11, // long string (VText)
        vtCurrency = 12,
        vtVariant = 13,
        vtInterface = 14,
        vtWideString = 15,
        vtInt64 = 16,
        vtUnicodeString = 17,
    };

    uint8_t VType = vtPointer;
    int32_t VInteger = 0;
    bool VBoolean = false;
    char VChar = 0;
    char16_t VWideChar = 0;
    long double VExtended = 0;
    std::string_view VText; // vtString, vtAnsiString: viewed, not owned
    const char* VPChar = nullptr;
    const void* VPointer = nullptr;

    TVarRec() = default;
    // The everyday kinds. Texts (std::string, string views and C strings alike) become long
    // strings, the kind that is encoded as text; the view must outlive the entry's use.
    TVarRec(int32_t value) : VType(vtInteger), VInteger(value) {}
    TVarRec(long double value) : VType(vtExtended), VExtended(value) {}
    TVarRec(double value) : VType(vtExtended), VExtended(value) {}
    TVarRec(bool value) : VType(vtBoolean), VBoolean(value) {}
    TVarRec(std::string_view text) : VType(vtAnsiString), VText(text) {}
    TVarRec(const std::string& text) : VType(vtAnsiString), VText(text) {}
    TVarRec(std::string&&) = delete; // the entry would view a string that is gone
    TVarRec(const char* text) : VType(vtAnsiString), VText(text) {}

    // Every other kind is built explicitly.
    static TVarRec ShortString(std::string_view text);
    static TVarRec PChar(const char* text);
    static TVarRec Pointer(const void* pointer);
    static TVarRec Char(char value);
    static TVarRec OfKind(uint8_t kind);
};

} // namespace qdo
