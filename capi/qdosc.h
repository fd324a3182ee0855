// The exported-function unit, C++ side: counted strings and the answer of a failing callback.
//
// Internal to the library: the exported functions themselves are declared in capi/qdo.h, and
// what a handle points at in capi/FlatHandle.h.
#pragma once

#include "capi/qdo.h"

#include <string>
#include <string_view>

namespace qdo {

// The text of a counted string: exactly Length bytes from offset 2, NUL bytes included.
std::string CountedToString(const QDOString* record);

// Copies `text` into `record`, cut at QDO_STRING_MAX bytes; writes the text bytes and Length
// (little-endian) and nothing else.
void StringToCounted(std::string_view text, QDOString* record);

} // namespace qdo

// The answer of a QDOCallbackExProc: its text, or its failure's message.
struct QDOAnswer {
    std::string Text;
};
