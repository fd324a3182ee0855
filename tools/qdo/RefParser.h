// How the command-line client reads a reference, a subscript or an argument typed as M users
// write them (^X("a",1), "say ""hi""", -.5, "a"_$C(0)) into parts. The parts go to the library's
// data operations as data: what is typed is never pasted into M code.
#pragma once

#include "encodings/MRef.h"

#include <string_view>
#include <vector>

namespace qdo::tool {

// A value: a canonical number (12, -.5), or a string expression: string literals ("" inside one
// is a quote) and $C(n,...) / $CHAR(n,...) codes 0-255, joined with '_'. Anything else (01, 1E3,
// a variable, a function other than $C, spaces) fails with std::invalid_argument saying what is
// wrong and where.
TMSubscript ParseMValue(std::string_view text);

// A reference: an optional '^', an M name, then optionally "(" values separated by "," ")".
// Fails with std::invalid_argument for anything else (an empty "()", an extended reference,
// indirection, a bad name).
TMRef ParseMRef(std::string_view text);

// `subscripts` written as they can be typed back: canonical numbers bare, anything else quoted
// for display (plain text in a literal, other bytes as $C codes).
std::string TypedRef(const std::string& name, const std::vector<std::string>& subscripts);
// One subscript or value, written as above.
std::string TypedValue(std::string_view value);

} // namespace qdo::tool
