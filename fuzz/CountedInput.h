// A fuzz input as a counted string in memory exactly as long as it needs to be, so that the
// sanitizers catch any read beyond its text.
#pragma once

#include "capi/qdo.h"

#include <cstdint>
#include <cstring>
#include <vector>

class CountedInput {
public:
    // The input must be at most 65535 bytes long.
    CountedInput(const uint8_t* data, size_t size) : bytes_(2 + size) {
        bytes_[0] = static_cast<char>(size & 0xFF);
        bytes_[1] = static_cast<char>(size >> 8);
        if (size > 0)
            std::memcpy(bytes_.data() + 2, data, size);
    }
    const QDOString* get() const { return reinterpret_cast<const QDOString*>(bytes_.data()); }

private:
    std::vector<char> bytes_;
};
