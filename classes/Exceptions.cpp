#include "classes/Exceptions.h"

#include <utility>

namespace qdo {

Exception::Exception(std::string message) : message_(std::move(message)) {}

Exception::~Exception() = default;

const char* Exception::what() const noexcept {
    return message_.c_str();
}

EConvertError::~EConvertError() = default;

EListError::~EListError() = default;
EStreamError::~EStreamError() = default;
EReadError::~EReadError() = default;
EWriteError::~EWriteError() = default;
EFCreateError::~EFCreateError() = default;
EFOpenError::~EFOpenError() = default;
EThread::~EThread() = default;

std::string ListIndexOutOfBounds(long long index) {
    return "List index out of bounds (" + std::to_string(index) + ")";
}

} // namespace qdo
