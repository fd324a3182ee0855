// The exception family of the library.
//
// Every failure the library raises is an Exception (or a subclass) carrying a message text.
// Exception derives from std::exception, so what() returns the same text, NUL-terminated.
#pragma once

#include "classes/Export.h"

#include <exception>
#include <string>

namespace qdo {

class QDO_API Exception : public std::exception {
public:
    explicit Exception(std::string message);
    ~Exception() override;

    const std::string& Message() const noexcept { return message_; }
    const char* what() const noexcept override;

private:
    std::string message_;
};

// A text could not be converted to the number or value that was asked for.
class QDO_API EConvertError : public Exception {
public:
    using Exception::Exception;
    ~EConvertError() override;
};

// A list operation was given an index or value it cannot hold (M lists, piece lists, string
// lists).
class QDO_API EListError : public Exception {
public:
    using Exception::Exception;
    ~EListError() override;
};

// A stream could not do what was asked. EReadError / EWriteError: fewer bytes than asked for
// could be read / written. EFCreateError / EFOpenError: a file could not be created / opened.
class QDO_API EStreamError : public Exception {
public:
    using Exception::Exception;
    ~EStreamError() override;
};
class QDO_API EReadError : public EStreamError {
public:
    using EStreamError::EStreamError;
    ~EReadError() override;
};
class QDO_API EWriteError : public EStreamError {
public:
    using EStreamError::EStreamError;
    ~EWriteError() override;
};
class QDO_API EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
    ~EFCreateError() override;
};
class QDO_API EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
    ~EFOpenError() override;
};

// A thread operation that cannot be done (waiting for itself, suspending another running
// thread, pumping another thread's notification loop).
class QDO_API EThread : public Exception {
public:
    using Exception::Exception;
    ~EThread() override;
};

// The message of an index-out-of-bounds failure of a list: "List index out of bounds (7)".
QDO_API std::string ListIndexOutOfBounds(long long index);

} // namespace qdo
