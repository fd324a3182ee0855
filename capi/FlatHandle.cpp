// TFlatHandle: its connection's set-up and tear-down, the failure it keeps, and the bridges from
// the component's events to the caller's functions.
#include "capi/FlatHandle.h"
#include "capi/qdosc.h"
#include "classes/Application.h"
#include "connect/Json.h"
#include "encodings/MName.h"

#include <algorithm>

namespace qdo {

namespace {

// A counted-string record of the size the library lends.
struct LentRecord {
    alignas(2) unsigned char bytes[TFlatHandle::LentRecordSize];
    QDOString* get() { return reinterpret_cast<QDOString*>(bytes); }
};

} // namespace

TFlatHandle::TFlatHandle(const char* address, int32_t port, const char* nameSpace)
    : Connect(nullptr) {
    Connect.SetServerAddress(address ? address : "");
    Connect.SetServerPort(port);
    Connect.SetNameSpace(nameSpace ? nameSpace : "");
    using namespace std::placeholders;
    Connect.OnTerminalOutput = std::bind(&TFlatHandle::OutputBridge, this, _1, _2);
    // Bound for good: without a group-read function, the bridge collects or drops chunks.
    Connect.OnGroupRead = std::bind(&TFlatHandle::GroupReadBridge, this, _1, _2, _3);
    Connect.OnCallback = std::bind(&TFlatHandle::CallbackBridge, this, _1, _2, _3);
    Connect.OnServerEvent = std::bind(&TFlatHandle::ServerEventBridge, this, _1, _2, _3);
    // Every session the handle opens works in its namespace: the one QDOConnectOpen asks for,
    // and a new one that a call opens over the server list after a lost connection.
    Connect.OnEndConnect = [this](TObject*, bool connected) {
        if (connected)
            Connect.Execute("zn \"" + Connect.NameSpace() + "\"");
    };
}

TFlatHandle::~TFlatHandle() {
    Connect.OnTerminalOutput = nullptr;
    Connect.OnGroupRead = nullptr;
    Connect.OnCallback = nullptr;
    Connect.OnServerEvent = nullptr;
    Connect.OnEndConnect = nullptr;
}

void TFlatHandle::StoreLastError(std::exception_ptr failure) noexcept {
    try {
        // A NUL byte would end the text for many callers: it is written as M writes it.
        const std::string message = ExceptionMessage(failure);
        LastError.clear();
        for (char c : message) {
            if (c == '\0')
                LastError += "_$C(0)_";
            else
                LastError += c;
        }
        LastErrorCode = -1;
        LastECode.clear();
        LastErrorOffset = -1;
        try {
            std::rethrow_exception(failure);
        } catch (const EMServerError& e) {
            LastErrorCode = e.ErrorCode;
            LastECode = e.ECode;
        } catch (const EMConnectError& e) {
            // The flat codes 13 and 14 were given to the data operations' own failures before
            // TLS came: its C code is QDO_ERROR_TLS.
            LastErrorCode = e.ErrorCode == ceTls ? QDO_ERROR_TLS : e.ErrorCode;
        } catch (const EMRefError&) {
            LastErrorCode = QDO_ERROR_BAD_REFERENCE;
        } catch (const EMJsonError& e) {
            LastErrorCode = QDO_ERROR_BAD_JSON;
            LastErrorOffset = e.Offset();
        } catch (...) {
        }
    } catch (...) {
        LastError = "Out of memory.";
        LastErrorCode = -1;
        LastECode.clear();
        LastErrorOffset = -1;
    }
}

void TFlatHandle::OutputBridge(TObject*, const std::string& Value) {
    if (TextSink) {
        TextSink(Value);
        return;
    }
    if (OutputProc == nullptr)
        return;
    LentRecord text;
    StringToCounted(Value, text.get());
    OutputProc(AsHandle(), text.get());
}

void TFlatHandle::GroupReadBridge(TObject*, const std::string& Value, bool& Continue) {
    if (ChunkSink) {
        Continue = ChunkSink(Value);
        return;
    }
    // The flat interface never stops a chunked reply early.
    Continue = true;
    if (GroupReadProc == nullptr) {
        if (Collecting)
            Collected += Value;
        return;
    }
    LentRecord chunk;
    StringToCounted(Value, chunk.get());
    GroupReadProc(AsHandle(), chunk.get());
}

void TFlatHandle::CallbackBridge(TObject*, const std::string& Command,
                                 std::string& CallBackResult) {
    if (CallbackExProc != nullptr) {
        CallbackExBridge(Command, CallBackResult);
        return;
    }
    if (CallbackProc == nullptr)
        return;
    LentRecord result;
    LentRecord command;
    result.get()->Length = 0;
    StringToCounted(Command, command.get());
    CallbackProc(AsHandle(), command.get(), result.get());
    // The answer is what the callback wrote, within the record lent to it: a length beyond the
    // record's room cannot have been written there.
    const size_t length = result.bytes[0] | (size_t{result.bytes[1]} << 8);
    CallBackResult.assign(reinterpret_cast<const char*>(result.bytes + 2),
                          std::min(length, LentRecordSize - 2));
}

void TFlatHandle::CallbackExBridge(const std::string& Command, std::string& CallBackResult) {
    QDOAnswer answer;
    const int32_t succeeded =
        CallbackExProc(AsHandle(), CallbackExContext, Command.data(), Command.size(), &answer);
    if (succeeded != 0) {
        CallBackResult = std::move(answer.Text);
        return;
    }
    Exception failure(answer.Text.empty() ? "The callback function failed." : answer.Text);
    if (Connect.ReplyRunning())
        throw failure; // the connection answers the empty text and the call fails with this
    // Pushed between calls (and handled by QDOProcessMessages, or as a call starts) nobody
    // would see the failure raised: keep it for QDOGetLastError.
    StoreLastError(std::make_exception_ptr(failure));
    CallBackResult.clear();
}

void TFlatHandle::ServerEventBridge(TObject*, const std::string& EventName,
                                    const std::string& EventParams) {
    if (ServerEventProc != nullptr)
        ServerEventProc(AsHandle(), ServerEventContext, EventName.data(), EventName.size(),
                        EventParams.data(), EventParams.size());
}

} // namespace qdo
