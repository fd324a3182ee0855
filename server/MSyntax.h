// The bits of M syntax the server reads itself: plain variable references (read, set and killed
// without compiling anything) and the namespace switch command.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qdo::server {

// A variable name with literal subscripts: ^X, x, ^X(1,"a"), %y(-5).
struct TPlainReference {
    static constexpr size_t MaxSubscripts = 8;
    std::string Name;                    // with its caret for a global
    std::vector<std::string> Subscripts; // the subscripts' values
};

// The reference when `text` is a plain reference: a name (optional caret, then a letter or %,
// then letters and digits, at most 31 in all) and at most 8 subscripts, each a string literal
// ("a""b" for a"b) or an integer in canonical form (0, 12, -7; at most 15 digits). Anything
// else (expressions, extended references, other numbers) is not plain.
std::optional<TPlainReference> ParsePlainReference(std::string_view text);

// The namespace of a line that is just a namespace switch: ZN "NAME" or ZNSPACE "NAME", in any
// case, with blanks around; the name as written.
std::optional<std::string> ParseNamespaceSwitch(std::string_view line);

// Whether `name` can name a namespace: 1 to 31 letters, digits, '%', '_' or '-', so that it is
// also a safe file name.
bool IsNamespaceName(std::string_view name);

} // namespace qdo::server
