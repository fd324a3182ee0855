// The boundary of the exported functions that take a handle. Internal to the library.
#pragma once

#include "capi/FlatHandle.h"
#include "capi/qdosc.h"
#include "classes/Exceptions.h"

#include <functional>
#include <initializer_list>
#include <string_view>

namespace qdo {

// Runs `body` on the handle's connection: 1 when it completes; 0 for the null handle, and 0
// with what went wrong kept in the handle's state when it fails. Nothing escapes.
template <typename Body>
int32_t RunOnHandle(QDOHandle handle, Body&& body) noexcept {
    TFlatHandle* state = HandleOf(handle);
    if (state == nullptr)
        return 0;
    try {
        if (state->InWalkFunction)
            throw EMConnectError(ConnectErrorMessage(ceBusy) +
                                     " A call cannot start inside the record function of a "
                                     "walk or query on the same handle.",
                                 ceBusy);
        body(state->Connect);
        return 1;
    } catch (...) {
        state->StoreLastError(std::current_exception());
        return 0;
    }
}

// Marks the handle as running one of the caller's functions of a data operation (a walk's or a
// query's record function) for the life of the scope: a call on the handle from inside it is
// refused as busy, as from any other callback of a running call.
class TCallerFunctionScope {
public:
    explicit TCallerFunctionScope(QDOHandle handle) : state_(*HandleOf(handle)) {
        state_.InWalkFunction = true;
    }
    ~TCallerFunctionScope() { state_.InWalkFunction = false; }
    TCallerFunctionScope(const TCallerFunctionScope&) = delete;
    TCallerFunctionScope& operator=(const TCallerFunctionScope&) = delete;

private:
    TFlatHandle& state_;
};

// A null record is a failure of the call, reported like any other.
inline void RequireRecords(std::initializer_list<const void*> records) {
    for (const void* record : records)
        if (record == nullptr)
            throw Exception("A null record was passed.");
}

// The text at `bytes`, `length` long; a null pointer is the empty text only with length 0.
inline std::string_view SizedText(const char* bytes, size_t length) {
    if (bytes == nullptr) {
        if (length > 0)
            throw Exception("A null text was passed with a length above 0.");
        return {};
    }
    return std::string_view(bytes, length);
}

// Hands `text` to the caller: memory of its length and a NUL, allocated with malloc so that
// QDOFreeValue releases it; raises std::bad_alloc when memory runs out.
void CopyOut(std::string_view text, char** value, size_t* length);

// Routes the chunks and the terminal output of one call to the call's own functions, and back
// to what they were before when the call ends, however it ends. It must be made after
// the connection has been taken for the call (TUseScope), so that a call refused as busy never
// touches the sinks of the call that runs.
class TSinkScope {
public:
    TSinkScope(TFlatHandle& state, std::function<bool(const std::string&)> chunks,
               std::function<void(const std::string&)> text = {})
        : state_(state), savedChunks_(std::move(state.ChunkSink)),
          savedText_(std::move(state.TextSink)) {
        state_.ChunkSink = std::move(chunks);
        state_.TextSink = std::move(text);
    }
    ~TSinkScope() {
        state_.ChunkSink = std::move(savedChunks_);
        state_.TextSink = std::move(savedText_);
    }
    TSinkScope(const TSinkScope&) = delete;
    TSinkScope& operator=(const TSinkScope&) = delete;

private:
    TFlatHandle& state_;
    // A call nested in the last step of another (allowed once its reply has ended) puts back
    // the outer call's sinks.
    std::function<bool(const std::string&)> savedChunks_;
    std::function<void(const std::string&)> savedText_;
};

} // namespace qdo
