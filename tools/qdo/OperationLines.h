// The operations file of the client's tx and batch commands: one operation a line,
//
//   set REF VALUE      kill REF      get REF      incr REF [BY]
//
// REF, VALUE and BY are typed as the data commands take them (RefParser.h): VALUE a canonical
// number or a string expression ("text" with "" for a quote, $C(n,...), joined with _), BY a
// canonical number (default 1). Words are separated by blanks, except inside parentheses and
// string literals (LineSplit.h's M words). Empty lines and lines whose first non-blank is '#'
// are skipped; a carriage return at a line's end is dropped.
#pragma once

#include "encodings/MRef.h"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qdo::tool {

struct TOperationLine {
    enum class TKind { Set, Kill, Get, Increment };
    TKind Kind;
    size_t Line; // its line in the file, from 1
    TMRef Ref;
    TMSubscript Value{1}; // Set: the value; Increment: the amount
};

// A line of an operations file that cannot be read: the message begins "line N: ".
class EOperationLineError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The operations of `text`, in order; fails with EOperationLineError at the first line that is
// not one (an unknown operation, a missing or extra word, a reference or value RefParser
// refuses).
std::vector<TOperationLine> ParseOperationLines(std::string_view text);

// The line as it can be typed back: "get ^X(1)", for messages.
std::string OperationText(const TOperationLine& operation);

} // namespace qdo::tool
