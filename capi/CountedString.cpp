#include "capi/qdosc.h"

#include <algorithm>
#include <cstring>

namespace qdo {

// The record is read and written as raw bytes: its length field is little-endian whatever the
// host, and a caller's record need not be aligned.

std::string CountedToString(const QDOString* record) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(record);
    const size_t length = bytes[0] | (size_t{bytes[1]} << 8);
    return std::string(reinterpret_cast<const char*>(bytes + 2), length);
}

void StringToCounted(std::string_view text, QDOString* record) {
    const size_t length = std::min<size_t>(text.size(), QDO_STRING_MAX);
    auto* bytes = reinterpret_cast<unsigned char*>(record);
    if (length > 0)
        std::memcpy(bytes + 2, text.data(), length);
    bytes[0] = static_cast<unsigned char>(length & 0xFF);
    bytes[1] = static_cast<unsigned char>(length >> 8);
}

} // namespace qdo
