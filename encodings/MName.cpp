#include "encodings/MName.h"

#include "encodings/Mutils.h"

#include <string>

namespace qdo {

EMRefError::~EMRefError() = default;

namespace {

bool IsLetter(char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

} // namespace

bool IsMName(std::string_view name) noexcept {
    if (name.empty() || name.size() > MaxMNameLength)
        return false;
    if (name[0] != '%' && !IsLetter(name[0]))
        return false;
    for (size_t i = 1; i < name.size(); ++i)
        if (!IsLetter(name[i]) && !IsDigit(name[i]))
            return false;
    return true;
}

void CheckMName(std::string_view name, std::string_view what) {
    if (IsMName(name))
        return;
    // The bad text is shown as an M literal, so that control bytes in it stay readable.
    throw EMRefError("Invalid " + std::string(what) + " " + MText(name.substr(0, 100)) +
                     (name.size() > 100 ? "..." : "") +
                     ": an M name is '%' or a letter, then letters and digits, at most " +
                     std::to_string(MaxMNameLength) + " characters.");
}

} // namespace qdo
