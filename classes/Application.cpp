#include "classes/Application.h"

#include "classes/Exceptions.h"

#include <cstdio>
#include <mutex>

namespace qdo {

namespace {

std::mutex hookMutex;
TApplicationExceptionHandler exceptionHandler;
TDesignMessageHook designMessageHook;

void DefaultExceptionReport(std::exception_ptr error) noexcept {
    std::string message = ExceptionMessage(error);
    std::fprintf(stderr, "qdo: %s\n", message.c_str());
}

} // namespace

std::string ExceptionMessage(std::exception_ptr error) {
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
    return {};
}

void SetApplicationExceptionHandler(TApplicationExceptionHandler handler) {
    std::lock_guard lock(hookMutex);
    exceptionHandler = std::move(handler);
}

void HandleApplicationException(std::exception_ptr error) noexcept {
    TApplicationExceptionHandler handler;
    try {
        std::lock_guard lock(hookMutex);
        handler = exceptionHandler;
    } catch (...) {
    }
    if (!handler) {
        DefaultExceptionReport(error);
        return;
    }
    try {
        handler(error);
    } catch (...) {
        DefaultExceptionReport(std::current_exception());
    }
}

void SetDesignMessageHook(TDesignMessageHook hook) {
    std::lock_guard lock(hookMutex);
    designMessageHook = std::move(hook);
}

void ShowDesignMessage(const std::string& text, const std::string& caption) {
    TDesignMessageHook hook;
    {
        std::lock_guard lock(hookMutex);
        hook = designMessageHook;
    }
    if (hook)
        hook(text, caption);
    else
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

} // namespace qdo
