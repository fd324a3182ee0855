// What the tests of the flat interface share: references built as a C caller builds them, and
// the texts a handle reports, taken into strings.
#pragma once

#include "capi/qdo.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace qdo::test {

// A value the library allocated, taken into a string and released.
inline std::string Taken(char* value, size_t length) {
    std::string text(value ? value : "", value ? length : 0);
    QDOFreeValue(value);
    return text;
}

// The handle's last error message and last server error ($ECODE).
inline std::string LastErrorOf(QDOHandle h) {
    auto out = std::make_unique<QDOString>();
    QDOGetLastError(h, out.get());
    return std::string(out->Data, out->Length);
}
inline std::string LastServerErrorOf(QDOHandle h) {
    auto out = std::make_unique<QDOString>();
    QDOGetLastServerError(h, out.get());
    return std::string(out->Data, out->Length);
}

// The value of `expression` read on `h`, or a failure of the test.
inline std::string ReadOn(QDOHandle h, const std::string& expression) {
    char* value = nullptr;
    size_t length = 0;
    EXPECT_EQ(QDOReadValue(h, expression.data(), expression.size(), &value, &length), 1)
        << LastErrorOf(h);
    return Taken(value, length);
}

// A reference as a C caller builds one (QDORef): its subscripts point into this object's own
// strings, the first `numbers` of them numbers.
class Ref {
public:
    Ref(std::string name, std::vector<std::string> strings, size_t numbers = 0)
        : name_(std::move(name)), texts_(std::move(strings)) {
        for (size_t i = 0; i < texts_.size(); ++i)
            parts_.push_back(QDOSubscript{texts_[i].data(), texts_[i].size(), i < numbers});
        ref_ = QDORef{name_.data(), name_.size(), parts_.data(), parts_.size()};
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    const QDORef* get() const { return &ref_; }

private:
    std::string name_;
    std::vector<std::string> texts_;
    std::vector<QDOSubscript> parts_;
    QDORef ref_;
};

} // namespace qdo::test
