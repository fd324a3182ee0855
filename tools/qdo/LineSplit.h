// How the shell of the command-line client cuts a typed line into the words that its command
// parser takes: M code and references keep their quotes and spaces, file and event names take
// the usual shell quoting.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qdo::tool {

// The words of `line`, the command's name first:
//   x LINE, t LINE          LINE is the rest of the line as typed
//   set REF VALUE           REF is an M word, VALUE the rest of the line as typed
//   send EVENT PARAMS       EVENT is a shell word, PARAMS the rest of the line as typed
//   get, kill, walk, data,  M words: a space inside parentheses or an M string literal ("a b",
//   order, query, incr,     "say ""hi""") does not end one, and the quotes stay in it
//   lock, unlock, call,
//   ls, tree
//   export, import          REF (the first word that does not begin with '-') an M word, the
//                           rest (options, FILE) shell words
//   anything else           shell words: '...' and "..." quote, \ escapes the next byte
// A rest of the line comes after a "--" word, so that the parser takes it as it is even when it
// begins with "-"; an empty rest is left out (the parser then says that it is missing).
// Leading and trailing spaces and tabs of the line are dropped; an empty line gives no words.
// Fails with std::invalid_argument when a quote or a parenthesis is left open.
std::vector<std::string> SplitShellLine(std::string_view line);

// The M words of `line` (as for get above), for the lines of an operations file: blanks separate
// them, except inside parentheses and string literals. Fails with std::invalid_argument when a
// quote or a parenthesis is left open.
std::vector<std::string> SplitMWords(std::string_view line);

} // namespace qdo::tool
