// The exported functions that take a connection handle.
//
// A handle is the connection object itself. Every function that takes one accepts the null
// handle (doing nothing, and returning 0 where it has a result), and lets no failure cross into
// C: each failure is caught at the boundary, its message kept for QDOGetLastError, and 0
// returned. An output record is written only on success.
#include "capi/Boundary.h"
#include "capi/qdosc.h"
#include "classes/Application.h"
#include "classes/NotificationLoop.h"
#include "connect/Qdoconnect.h"

#include <cstring>

namespace qdo {

namespace {

TQdoConnect* ConnectOf(QDOHandle handle) noexcept {
    return static_cast<TQdoConnect*>(handle);
}

// The whole result of a call whose last chunk is `last`: with a group-read function that is
// `last` (the function had the rest); without one, every chunk joined, which must fit a
// counted string.
class TWholeResult {
public:
    explicit TWholeResult(TOutput& output) : output_(output) {
        output_.Collected.clear();
        output_.Collecting = true;
    }
    ~TWholeResult() {
        output_.Collecting = false;
        if (output_.Collected.capacity() > QDO_STRING_MAX)
            std::string().swap(output_.Collected); // a refused long value: give its memory back
        else
            output_.Collected.clear();
    }
    TWholeResult(const TWholeResult&) = delete;
    TWholeResult& operator=(const TWholeResult&) = delete;

    void CopyTo(const std::string& last, QDOString* out) {
        const size_t length = output_.Collected.size() + last.size();
        if (length > QDO_STRING_MAX)
            throw Exception("The value is " + std::to_string(length) +
                            " bytes long, more than the " + std::to_string(QDO_STRING_MAX) +
                            " bytes a QDOString holds; set a group-read function "
                            "(QDOSetGroupRead) to receive it in pieces.");
        if (output_.Collected.empty()) {
            StringToCounted(last, out);
        } else {
            output_.Collected += last;
            StringToCounted(output_.Collected, out);
        }
    }

private:
    TOutput& output_;
};

// A counted-string record of the size the library lends.
struct LentRecord {
    alignas(2) unsigned char bytes[TOutput::LentRecordSize];
    QDOString* get() { return reinterpret_cast<QDOString*>(bytes); }
};

} // namespace

TOutput::~TOutput() = default;

TOutput* OutputOf(QDOHandle handle) noexcept {
    if (handle == nullptr)
        return nullptr;
    return reinterpret_cast<TOutput*>(ConnectOf(handle)->Tag());
}

void TOutput::StoreLastError(std::exception_ptr failure) noexcept {
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
        try {
            std::rethrow_exception(failure);
        } catch (const EMServerError& e) {
            LastErrorCode = e.ErrorCode;
            LastECode = e.ECode;
        } catch (const EMConnectError& e) {
            LastErrorCode = e.ErrorCode;
        } catch (...) {
        }
    } catch (...) {
        LastError = "Out of memory.";
        LastErrorCode = -1;
        LastECode.clear();
    }
}

void TOutput::OutputBridge(TObject*, const std::string& Value) {
    if (TextSink) {
        TextSink(Value);
        return;
    }
    if (OutputProc == nullptr)
        return;
    LentRecord text;
    StringToCounted(Value, text.get());
    OutputProc(Connect, text.get());
}

void TOutput::GroupReadBridge(TObject*, const std::string& Value, bool& Continue) {
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
    GroupReadProc(Connect, chunk.get());
}

void TOutput::CallbackBridge(TObject*, const std::string& Command, std::string& CallBackResult) {
    if (CallbackExProc != nullptr) {
        CallbackExBridge(*this, Command, CallBackResult);
        return;
    }
    if (CallbackProc == nullptr)
        return;
    LentRecord result;
    LentRecord command;
    result.get()->Length = 0;
    StringToCounted(Command, command.get());
    CallbackProc(Connect, command.get(), result.get());
    // The answer is what the callback wrote, within the record lent to it: a length beyond the
    // record's room cannot have been written there.
    const size_t length = result.bytes[0] | (size_t{result.bytes[1]} << 8);
    CallBackResult.assign(reinterpret_cast<const char*>(result.bytes + 2),
                          std::min(length, TOutput::LentRecordSize - 2));
}

} // namespace qdo

using qdo::Guarded;
using qdo::TQdoConnect;

extern "C" {

QDO_EXPORT void QDOGetLastError(QDOHandle handle, QDOString* out) {
    if (out == nullptr)
        return;
    qdo::TOutput* output = qdo::OutputOf(handle);
    qdo::StringToCounted(output ? std::string_view(output->LastError) : std::string_view(), out);
}

QDO_EXPORT int32_t QDOGetLastErrorCode(QDOHandle handle) {
    qdo::TOutput* output = qdo::OutputOf(handle);
    return output ? output->LastErrorCode : -1;
}

QDO_EXPORT void QDOGetLastServerError(QDOHandle handle, QDOString* out) {
    if (out == nullptr)
        return;
    qdo::TOutput* output = qdo::OutputOf(handle);
    qdo::StringToCounted(output ? std::string_view(output->LastECode) : std::string_view(), out);
}

QDO_EXPORT QDOHandle QDOCreateConnect(const char* address, int32_t port, const char* name_space) {
    TQdoConnect* connect = nullptr;
    try {
        connect = new TQdoConnect(nullptr);
        connect->SetServerAddress(address ? address : "");
        connect->SetServerPort(port);
        connect->SetNameSpace(name_space ? name_space : "");
        auto* output = new qdo::TOutput(connect);
        connect->SetTag(reinterpret_cast<intptr_t>(output));
        using namespace std::placeholders;
        connect->OnTerminalOutput = std::bind(&qdo::TOutput::OutputBridge, output, _1, _2);
        // Bound for good: without a group-read function, the bridge collects or drops chunks.
        connect->OnGroupRead = std::bind(&qdo::TOutput::GroupReadBridge, output, _1, _2, _3);
        connect->OnCallback = std::bind(&qdo::TOutput::CallbackBridge, output, _1, _2, _3);
        connect->OnServerEvent = std::bind(&qdo::TOutput::ServerEventBridge, output, _1, _2, _3);
        return connect;
    } catch (...) {
        // Only exhaustion of memory or other resources can get here: no handle, then.
        if (connect != nullptr) {
            delete reinterpret_cast<qdo::TOutput*>(connect->Tag());
            delete connect;
        }
        return nullptr;
    }
}

QDO_EXPORT void QDODestroyConnect(QDOHandle handle) {
    if (handle == nullptr)
        return;
    auto* connect = static_cast<TQdoConnect*>(handle);
    try {
        auto* output = reinterpret_cast<qdo::TOutput*>(connect->Tag());
        connect->SetTag(0);
        connect->OnTerminalOutput = nullptr;
        connect->OnGroupRead = nullptr;
        connect->OnCallback = nullptr;
        connect->OnServerEvent = nullptr;
        delete output;
        delete connect;
    } catch (...) {
    }
}

QDO_EXPORT int32_t QDOConnectOpen(QDOHandle handle) {
    return Guarded(handle, [](TQdoConnect& connect) {
        connect.SetActive(true);
        connect.Execute("zn \"" + connect.NameSpace() + "\"");
    });
}

QDO_EXPORT int32_t QDOConnectClose(QDOHandle handle) {
    return Guarded(handle, [](TQdoConnect& connect) { connect.SetActive(false); });
}

QDO_EXPORT int32_t QDORead(QDOHandle handle, const QDOString* expression, QDOString* out) {
    return Guarded(handle, [&](TQdoConnect& connect) {
        qdo::RequireRecords({expression, out});
        qdo::TWholeResult whole(*qdo::OutputOf(handle));
        const std::string last = connect.Read(qdo::CountedToString(expression));
        whole.CopyTo(last, out);
    });
}

QDO_EXPORT int32_t QDOWrite(QDOHandle handle, const QDOString* name, const QDOString* value) {
    return Guarded(handle, [&](TQdoConnect& connect) {
        qdo::RequireRecords({name, value});
        connect.Write(qdo::CountedToString(name), qdo::CountedToString(value));
    });
}

QDO_EXPORT int32_t QDOExecute(QDOHandle handle, const QDOString* command) {
    return Guarded(handle, [&](TQdoConnect& connect) {
        qdo::RequireRecords({command});
        connect.Execute(qdo::CountedToString(command));
    });
}

QDO_EXPORT int32_t QDOExecuteOutput(QDOHandle handle, const QDOString* command) {
    return Guarded(handle, [&](TQdoConnect& connect) {
        qdo::RequireRecords({command});
        connect.ExecuteTerminal(qdo::CountedToString(command));
    });
}

QDO_EXPORT int32_t QDOKill(QDOHandle handle, const QDOString* name) {
    return Guarded(handle, [&](TQdoConnect& connect) {
        qdo::RequireRecords({name});
        connect.Kill(qdo::CountedToString(name));
    });
}

QDO_EXPORT void QDOSetOutput(QDOHandle handle, QDOOutputProc proc) {
    if (qdo::TOutput* output = qdo::OutputOf(handle))
        output->OutputProc = proc;
}

QDO_EXPORT void QDOSetCallback(QDOHandle handle, QDOCallbackProc proc) {
    if (qdo::TOutput* output = qdo::OutputOf(handle))
        output->CallbackProc = proc;
}

QDO_EXPORT void QDOSetGroupRead(QDOHandle handle, QDOGroupReadProc proc) {
    if (qdo::TOutput* output = qdo::OutputOf(handle))
        output->GroupReadProc = proc;
}

QDO_EXPORT int32_t QDOSetTimeOut(QDOHandle handle, int32_t milliseconds) {
    return Guarded(handle, [&](TQdoConnect& connect) {
        if (milliseconds < 1 || milliseconds > 6000000)
            throw qdo::Exception("A time-out is 1 to 6000000 milliseconds.");
        connect.SetTimeOutMilliseconds(milliseconds);
    });
}

QDO_EXPORT int32_t QDOSetRequestDeadline(QDOHandle handle, int32_t milliseconds) {
    return Guarded(handle, [&](TQdoConnect& connect) {
        if (milliseconds < 0)
            throw qdo::Exception("A request deadline is 0 (none) or more milliseconds.");
        connect.SetRequestDeadline(milliseconds);
    });
}

QDO_EXPORT int32_t QDOSetCredentials(QDOHandle handle, const QDOString* user,
                                     const QDOString* password, const QDOString* application) {
    return Guarded(handle, [&](TQdoConnect& connect) {
        qdo::TMAuthorization credentials;
        if (user != nullptr) {
            qdo::RequireRecords({password});
            credentials.SetUserName(qdo::CountedToString(user));
            credentials.SetPassword(qdo::CountedToString(password));
            if (application != nullptr)
                credentials.SetApplication(qdo::CountedToString(application));
            credentials.SetActive(true);
        }
        connect.SetAuthorization(&credentials);
    });
}

QDO_EXPORT int32_t QDOProcessMessages(QDOHandle handle, int32_t timeout_ms) {
    qdo::TOutput* output = qdo::OutputOf(handle);
    if (output == nullptr)
        return -1;
    try {
        return qdo::ProcessMessages(timeout_ms);
    } catch (...) {
        output->StoreLastError(std::current_exception());
        return -1;
    }
}

QDO_EXPORT int32_t QDONotificationDescriptor(QDOHandle handle) {
    if (qdo::OutputOf(handle) == nullptr)
        return -1;
    try {
        return qdo::NotificationFileDescriptor();
    } catch (...) {
        return -1;
    }
}

} // extern "C"
