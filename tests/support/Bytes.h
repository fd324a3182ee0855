// Byte-string helpers for tests: write expected bytes as hex, print actual bytes as hex.
#pragma once

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qdo::test {

// `size` bytes of every value, the same for the same seed.
inline std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random() & 0xFF);
    return bytes;
}

// "05 01 61" -> the three bytes 05 01 61. Blanks and '|' separate bytes and are ignored.
inline std::string Hex(std::string_view text) {
    std::string out;
    int pending = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c == ' ' || c == '|')
            continue;
        else
            throw std::invalid_argument("bad hex digit");
        if (pending < 0) {
            pending = v;
        } else {
            out += static_cast<char>(pending * 16 + v);
            pending = -1;
        }
    }
    if (pending >= 0)
        throw std::invalid_argument("odd number of hex digits");
    return out;
}

// The bytes as "05 01 61", for readable failure messages.
inline std::string ToHex(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            out += ' ';
        auto b = static_cast<uint8_t>(bytes[i]);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

} // namespace qdo::test
