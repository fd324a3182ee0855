// M names: the names of variables, labels and routines, checked before they go into M code.
#pragma once

#include "classes/Exceptions.h"
#include "classes/Export.h"

#include <string_view>

namespace qdo {

// A name, subscript, number or entry reference that cannot be written as M code safely, or a
// generated M line longer than the server compiles. Raised before anything is sent.
class QDO_API EMRefError : public Exception {
public:
    using Exception::Exception;
    ~EMRefError() override;
};

// The longest M name: GT.M tells names apart by their first 31 characters only, so a longer
// one would silently name the same thing as its first 31.
inline constexpr size_t MaxMNameLength = 31;

// Whether `name` is an M name: '%' or a letter, then letters and digits, 1 to 31 characters
// in all. No '^' and no other byte.
QDO_API bool IsMName(std::string_view name) noexcept;

// Raises EMRefError, naming `what` and the bad text, unless `name` is an M name.
QDO_API void CheckMName(std::string_view name, std::string_view what);

} // namespace qdo
