// Counted strings of the flat interface, for tests: their text, filling one, and a handle's last
// error message.
#pragma once

#include "capi/qdo.h"

#include <cstring>
#include <string>

namespace qdo::test {

inline std::string Text(const QDOString& s) {
    return std::string(s.Data, s.Length);
}

inline void SetText(QDOString& s, const std::string& text) {
    s.Length = static_cast<uint16_t>(text.size());
    std::memcpy(s.Data, text.data(), text.size());
}

inline std::string LastError(QDOHandle handle) {
    static QDOString out;
    QDOGetLastError(handle, &out);
    return Text(out);
}

} // namespace qdo::test
