// Process-wide hooks of the application: where exceptions that escape notification handlers end
// up, and how design-time messages are shown.
//
// Both hooks may be replaced at any time from any thread; an empty function restores the
// default.
#pragma once

#include "classes/Export.h"

#include <exception>
#include <functional>
#include <string>

namespace qdo {

// Receives an exception that escaped a handler run by a notification loop (or a thread's
// synchronised method). The default writes one line to stderr: "qdo: " and the message.
using TApplicationExceptionHandler = std::function<void(std::exception_ptr)>;
QDO_API void SetApplicationExceptionHandler(TApplicationExceptionHandler handler);
// Hands `error` to the current handler. Never throws: an exception from the handler itself is
// reported by the default.
QDO_API void HandleApplicationException(std::exception_ptr error) noexcept;

// Shows a message to the developer at design time. The default writes "caption: text" to
// stderr.
using TDesignMessageHook = std::function<void(const std::string& text, const std::string& caption)>;
QDO_API void SetDesignMessageHook(TDesignMessageHook hook);
QDO_API void ShowDesignMessage(const std::string& text, const std::string& caption);

// The message of an exception of any type, for reports.
QDO_API std::string ExceptionMessage(std::exception_ptr error);

} // namespace qdo
