#include "tools/qdo/Display.h"

#include "encodings/Mutils.h"

#include <cstdio>

namespace qdo::tool {

bool IsPlainText(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f)
                return false;
            ++i;
            continue;
        }
        // The length of the sequence, and the least code point it may encode (no overlong
        // forms).
        size_t length;
        uint32_t point, least;
        if ((c & 0xe0) == 0xc0)
            length = 2, point = c & 0x1fu, least = 0x80;
        else if ((c & 0xf0) == 0xe0)
            length = 3, point = c & 0x0fu, least = 0x800;
        else if ((c & 0xf8) == 0xf0)
            length = 4, point = c & 0x07u, least = 0x10000;
        else
            return false;
        if (i + length > bytes.size())
            return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xc0) != 0x80)
                return false;
            point = (point << 6) | (next & 0x3fu);
        }
        if (point < least || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff) ||
            (point >= 0x80 && point <= 0x9f))
            return false;
        i += length;
    }
    return true;
}

std::string Shown(std::string_view value) {
    if (IsPlainText(value))
        return std::string(value);
    // MText quotes bytes below 32 as $C calls and leaves the others in its string literals;
    // DEL and bytes of 128 and more, which a terminal may also take for commands, become $C
    // calls here (at most 255 codes each, as GT.M allows).
    std::string shown;
    const auto join = [&](const std::string& part) {
        if (!shown.empty())
            shown += '_';
        shown += part;
    };
    for (size_t i = 0; i < value.size();) {
        size_t end = i;
        const bool high = static_cast<unsigned char>(value[i]) >= 0x7f;
        while (end < value.size() && (static_cast<unsigned char>(value[end]) >= 0x7f) == high &&
               (!high || end - i < 255))
            ++end;
        if (high) {
            std::string codes = "$C(";
            for (size_t k = i; k < end; ++k)
                codes += (k > i ? "," : "") + std::to_string(static_cast<unsigned char>(value[k]));
            join(codes + ")");
        } else {
            join(MText(value.substr(i, end - i)));
        }
        i = end;
    }
    return shown;
}

std::string JsonString(std::string_view bytes) {
    std::string out = "\"";
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += byte;
        } else if (c >= 0x20 && c < 0x7f) {
            out += byte;
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        }
    }
    return out + "\"";
}

} // namespace qdo::tool
