// A reference as a C caller builds one (QDORef), for the tests of the flat interface: its
// subscripts point into this object's own strings, the first `numbers` of them numbers.
#pragma once

#include "capi/qdo.h"

#include <string>
#include <vector>

namespace qdo::test {

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
