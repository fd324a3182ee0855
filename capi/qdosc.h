// The exported-function unit, C++ side: counted strings, the per-handle record and its bridges.
//
// Internal to the library: the exported functions themselves are declared in capi/qdo.h.
#pragma once

#include "capi/qdo.h"
#include "classes/Object.h"

#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

namespace qdo {

class TQdoConnect;

// The text of a counted string: exactly Length bytes from offset 2, NUL bytes included.
std::string CountedToString(const QDOString* record);

// Copies `text` into `record`, cut at QDO_STRING_MAX bytes; writes the text bytes and Length
// (little-endian) and nothing else.
void StringToCounted(std::string_view text, QDOString* record);

// The record a handle carries beside its connection (in the connection's Tag): the caller's
// callbacks and what the last failure was.
class TOutput : public TObject {
public:
    // A record the library lends to a callback: the length and room for 32770 bytes.
    static constexpr size_t LentRecordSize = 32772;

    explicit TOutput(TQdoConnect* connect) : Connect(connect) {}
    ~TOutput() override;

    TQdoConnect* Connect;
    QDOOutputProc OutputProc = nullptr;
    QDOGroupReadProc GroupReadProc = nullptr;
    QDOCallbackProc CallbackProc = nullptr;

    // The last failure: its message with each NUL byte written as _$C(0)_, its connection error
    // code (-1 for a failure without one) and, for an M error, its $ECODE.
    std::string LastError;
    int32_t LastErrorCode = -1;
    std::string LastECode;

    // While a call wants a whole result and the caller has no group-read function, the chunks
    // before the last collect here instead of being dropped.
    bool Collecting = false;
    std::string Collected;

    // Additions. While a call of the sized functions runs, ChunkSink takes every chunk in place
    // of GroupReadProc (returning false stops the reply) and TextSink every piece of terminal
    // output in place of OutputProc; each is set and cleared by the call (TSinkScope).
    std::function<bool(const std::string&)> ChunkSink;
    std::function<void(const std::string&)> TextSink;
    // The functions of QDOSetServerEvent and QDOSetCallbackEx, with their contexts.
    QDOServerEventProc ServerEventProc = nullptr;
    void* ServerEventContext = nullptr;
    QDOCallbackExProc CallbackExProc = nullptr;
    void* CallbackExContext = nullptr;

    // The connection's OnTerminalOutput, OnGroupRead, OnCallback and OnServerEvent, passed on
    // to the caller's functions through records lent from the bridges' own frames (the sinks
    // and the additions' functions get the texts whole).
    void OutputBridge(TObject* Sender, const std::string& Value);
    void GroupReadBridge(TObject* Sender, const std::string& Value, bool& Continue);
    void CallbackBridge(TObject* Sender, const std::string& Command, std::string& CallBackResult);
    void ServerEventBridge(TObject* Sender, const std::string& EventName,
                           const std::string& EventParams);

    // Keeps what `failure` was.
    void StoreLastError(std::exception_ptr failure) noexcept;
};

// The record of a handle, or null.
TOutput* OutputOf(QDOHandle handle) noexcept;

// Answers a callback request through the handle's QDOCallbackExProc. A failure of the function
// raises Exception with its message while a request's reply is read (so that the call fails
// with it); for a request pushed between calls the message is kept as the handle's last
// failure instead. Either way the server gets the empty text.
void CallbackExBridge(TOutput& output, const std::string& Command, std::string& CallBackResult);

} // namespace qdo

// The answer of a QDOCallbackExProc: its text, or its failure's message.
struct QDOAnswer {
    std::string Text;
};
