// TFlatHandle: what a QDOHandle points at. Internal to the library.
//
// A flat handle owns its connection component and the state the flat interface keeps beside
// it: the caller's callbacks with the bridges that pass the component's events on to them, the
// sinks of the call that runs, and the last failure. The component's Tag is not used: it stays
// the application's.
#pragma once

#include "capi/qdo.h"
#include "connect/Qdoconnect.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

namespace qdo {

class TFlatHandle {
public:
    // A record the library lends to a callback: the 2-byte length and room for 32770 text
    // bytes, two more than QDOString's Data declares, so a callback that writes a little past
    // QDO_STRING_MAX still writes into memory the library owns.
    static constexpr size_t LentRecordSize = 32772;

    // A closed connection to `address`:`port` that will work in `nameSpace`, with the bridges
    // bound to its events. Raises only when memory or other resources run out.
    TFlatHandle(const char* address, int32_t port, const char* nameSpace);
    // Unbinds the bridges, so that nothing reaches the caller's functions while the connection
    // closes, then closes it without a word to the server.
    ~TFlatHandle();
    TFlatHandle(const TFlatHandle&) = delete;
    TFlatHandle& operator=(const TFlatHandle&) = delete;

    // The value the caller holds, and passes back, for this handle.
    QDOHandle AsHandle() noexcept { return this; }

    TQdoConnect Connect;

    QDOOutputProc OutputProc = nullptr;
    QDOGroupReadProc GroupReadProc = nullptr;
    QDOCallbackProc CallbackProc = nullptr;

    // The last failure: its message with each NUL byte written as _$C(0)_, its connection error
    // code (-1 for a failure without one) and, for an M error, its $ECODE.
    std::string LastError;
    int32_t LastErrorCode = -1;
    std::string LastECode;
    // For a JSON import's failure on a byte of the document, that byte's offset; else -1.
    int64_t LastErrorOffset = -1;

    // While a call wants a whole result and the caller has no group-read function, the chunks
    // before the last collect here instead of being dropped.
    bool Collecting = false;
    std::string Collected;

    // While a call of the sized functions runs, ChunkSink takes every chunk in place of
    // GroupReadProc (returning false stops the reply) and TextSink every piece of terminal
    // output in place of OutputProc; each is set and cleared by the call (TSinkScope).
    std::function<bool(const std::string&)> ChunkSink;
    std::function<void(const std::string&)> TextSink;
    // The functions of QDOSetServerEvent and QDOSetCallbackEx, with their contexts.
    QDOServerEventProc ServerEventProc = nullptr;
    void* ServerEventContext = nullptr;
    QDOCallbackExProc CallbackExProc = nullptr;
    void* CallbackExContext = nullptr;

    // While a walk or a query hands a record to the caller's function (TCallerFunctionScope): a
    // call on the handle from inside it is refused as busy, as from any other callback of a
    // running call.
    bool InWalkFunction = false;

    // Keeps what `failure` was.
    void StoreLastError(std::exception_ptr failure) noexcept;

private:
    // The component's OnTerminalOutput, OnGroupRead, OnCallback and OnServerEvent, passed on to
    // the caller's functions through records lent from the bridges' own frames (the sinks and
    // the functions of the sized calls get the texts whole).
    void OutputBridge(TObject* Sender, const std::string& Value);
    void GroupReadBridge(TObject* Sender, const std::string& Value, bool& Continue);
    void CallbackBridge(TObject* Sender, const std::string& Command, std::string& CallBackResult);
    void ServerEventBridge(TObject* Sender, const std::string& EventName,
                           const std::string& EventParams);
    // Answers a callback request through CallbackExProc. A failure of the function raises
    // Exception with its message while a request's reply is read (so that the call fails with
    // it); for a request pushed between calls the message is kept as the last failure instead.
    // Either way the server gets the empty text.
    void CallbackExBridge(const std::string& Command, std::string& CallBackResult);
};

// The handle state behind `handle`, or null for the null handle.
inline TFlatHandle* HandleOf(QDOHandle handle) noexcept {
    return static_cast<TFlatHandle*>(handle);
}

} // namespace qdo
