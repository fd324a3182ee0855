// The exported functions that take a connection handle.
//
// A handle points at a TFlatHandle: the connection and the state kept beside it. Every function
// that takes one accepts the null handle (doing nothing, and returning 0 where it has a result),
// and lets no failure cross into C: each failure is caught at the boundary, its message kept
// for QDOGetLastError, and 0 returned. An output record is written only on success.
#include "capi/Boundary.h"
#include "capi/qdosc.h"
#include "classes/Application.h"
#include "classes/NotificationLoop.h"
#include "connect/Qdoconnect.h"

#include <cstring>

namespace qdo {

namespace {

// The whole result of a call whose last chunk is `last`: with a group-read function that is
// `last` (the function had the rest); without one, every chunk joined, which must fit a
// counted string.
class TWholeResult {
public:
    explicit TWholeResult(TFlatHandle& state) : state_(state) {
        state_.Collected.clear();
        state_.Collecting = true;
    }
    ~TWholeResult() {
        state_.Collecting = false;
        if (state_.Collected.capacity() > QDO_STRING_MAX)
            std::string().swap(state_.Collected); // a refused long value: give its memory back
        else
            state_.Collected.clear();
    }
    TWholeResult(const TWholeResult&) = delete;
    TWholeResult& operator=(const TWholeResult&) = delete;

    void CopyTo(const std::string& last, QDOString* out) {
        const size_t length = state_.Collected.size() + last.size();
        if (length > QDO_STRING_MAX)
            throw Exception("The value is " + std::to_string(length) +
                            " bytes long, more than the " + std::to_string(QDO_STRING_MAX) +
                            " bytes a QDOString holds; set a group-read function "
                            "(QDOSetGroupRead) to receive it in pieces.");
        if (state_.Collected.empty()) {
            StringToCounted(last, out);
        } else {
            state_.Collected += last;
            StringToCounted(state_.Collected, out);
        }
    }

private:
    TFlatHandle& state_;
};

// Changes the handle's TLS settings with `change`, refusing while the connection is open.
template <typename Change>
int32_t ChangeTls(QDOHandle handle, Change change) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        if (connect.Active())
            throw qdo::Exception("The TLS settings cannot change while the connection is open; "
                                 "close it first.");
        qdo::TTlsSettings tls = connect.Tls();
        change(tls);
        connect.SetTls(std::move(tls));
    });
}

std::string TextOrEmpty(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

} // namespace

} // namespace qdo

using qdo::HandleOf;
using qdo::RunOnHandle;
using qdo::TQdoConnect;

extern "C" {

QDO_EXPORT void QDOGetLastError(QDOHandle handle, QDOString* out) {
    if (out == nullptr)
        return;
    qdo::TFlatHandle* state = HandleOf(handle);
    qdo::StringToCounted(state ? std::string_view(state->LastError) : std::string_view(), out);
}

QDO_EXPORT int32_t QDOGetLastErrorCode(QDOHandle handle) {
    qdo::TFlatHandle* state = HandleOf(handle);
    return state ? state->LastErrorCode : -1;
}

QDO_EXPORT void QDOGetLastServerError(QDOHandle handle, QDOString* out) {
    if (out == nullptr)
        return;
    qdo::TFlatHandle* state = HandleOf(handle);
    qdo::StringToCounted(state ? std::string_view(state->LastECode) : std::string_view(), out);
}

QDO_EXPORT QDOHandle QDOCreateConnect(const char* address, int32_t port, const char* name_space) {
    try {
        return (new qdo::TFlatHandle(address, port, name_space))->AsHandle();
    } catch (...) {
        // Only exhaustion of memory or other resources can get here: no handle, then.
        return nullptr;
    }
}

QDO_EXPORT void QDODestroyConnect(QDOHandle handle) {
    try {
        delete HandleOf(handle);
    } catch (...) {
    }
}

QDO_EXPORT int32_t QDOConnectOpen(QDOHandle handle) {
    return RunOnHandle(handle, [](TQdoConnect& connect) {
        // Opening runs the namespace line (the handle's OnEndConnect); an open connection runs
        // only the line.
        if (connect.Active()) {
            connect.Execute("zn \"" + connect.NameSpace() + "\"");
            return;
        }
        connect.SetActive(true);
        if (!connect.Active()) // the server closed the link without a session
            connect.HandleError(qdo::ceNotConnected);
    });
}

QDO_EXPORT int32_t QDOConnectClose(QDOHandle handle) {
    return RunOnHandle(handle, [](TQdoConnect& connect) { connect.SetActive(false); });
}

QDO_EXPORT int32_t QDORead(QDOHandle handle, const QDOString* expression, QDOString* out) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        qdo::RequireRecords({expression, out});
        qdo::TWholeResult whole(*HandleOf(handle));
        const std::string last = connect.Read(qdo::CountedToString(expression));
        whole.CopyTo(last, out);
    });
}

QDO_EXPORT int32_t QDOWrite(QDOHandle handle, const QDOString* name, const QDOString* value) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        qdo::RequireRecords({name, value});
        connect.Write(qdo::CountedToString(name), qdo::CountedToString(value));
    });
}

QDO_EXPORT int32_t QDOExecute(QDOHandle handle, const QDOString* command) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        qdo::RequireRecords({command});
        connect.Execute(qdo::CountedToString(command));
    });
}

QDO_EXPORT int32_t QDOExecuteOutput(QDOHandle handle, const QDOString* command) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        qdo::RequireRecords({command});
        connect.ExecuteTerminal(qdo::CountedToString(command));
    });
}

QDO_EXPORT int32_t QDOKill(QDOHandle handle, const QDOString* name) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        qdo::RequireRecords({name});
        connect.Kill(qdo::CountedToString(name));
    });
}

QDO_EXPORT void QDOSetOutput(QDOHandle handle, QDOOutputProc proc) {
    if (qdo::TFlatHandle* state = HandleOf(handle))
        state->OutputProc = proc;
}

QDO_EXPORT void QDOSetCallback(QDOHandle handle, QDOCallbackProc proc) {
    if (qdo::TFlatHandle* state = HandleOf(handle))
        state->CallbackProc = proc;
}

QDO_EXPORT void QDOSetGroupRead(QDOHandle handle, QDOGroupReadProc proc) {
    if (qdo::TFlatHandle* state = HandleOf(handle))
        state->GroupReadProc = proc;
}

QDO_EXPORT int32_t QDOSetTimeOut(QDOHandle handle, int32_t milliseconds) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        if (milliseconds < 1 || milliseconds > 6000000)
            throw qdo::Exception("A time-out is 1 to 6000000 milliseconds.");
        connect.SetTimeOutMilliseconds(milliseconds);
    });
}

QDO_EXPORT int32_t QDOSetRequestDeadline(QDOHandle handle, int32_t milliseconds) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        if (milliseconds < 0)
            throw qdo::Exception("A request deadline is 0 (none) or more milliseconds.");
        connect.SetRequestDeadline(milliseconds);
    });
}

QDO_EXPORT int32_t QDOSetTls(QDOHandle handle, int32_t enabled) {
    return qdo::ChangeTls(handle, [&](qdo::TTlsSettings& tls) { tls.Enabled = enabled != 0; });
}

QDO_EXPORT int32_t QDOSetTlsAuthorities(QDOHandle handle, const char* file_or_directory) {
    return qdo::ChangeTls(handle, [&](qdo::TTlsSettings& tls) {
        tls.Authorities = qdo::TextOrEmpty(file_or_directory);
    });
}

QDO_EXPORT int32_t QDOSetTlsServerName(QDOHandle handle, const char* name) {
    return qdo::ChangeTls(handle,
                          [&](qdo::TTlsSettings& tls) { tls.ServerName = qdo::TextOrEmpty(name); });
}

QDO_EXPORT int32_t QDOSetTlsClientCertificate(QDOHandle handle, const char* certificate_file,
                                              const char* key_file) {
    return qdo::ChangeTls(handle, [&](qdo::TTlsSettings& tls) {
        std::string certificate = qdo::TextOrEmpty(certificate_file);
        std::string key = qdo::TextOrEmpty(key_file);
        if (certificate.empty() != key.empty())
            throw qdo::Exception("A client certificate needs both a certificate file and a key "
                                 "file.");
        tls.CertificateFile = std::move(certificate);
        tls.KeyFile = std::move(key);
    });
}

QDO_EXPORT int32_t QDOSetTlsVerify(QDOHandle handle, int32_t verify) {
    return qdo::ChangeTls(handle, [&](qdo::TTlsSettings& tls) { tls.Verify = verify != 0; });
}

QDO_EXPORT int32_t QDOSetCredentials(QDOHandle handle, const QDOString* user,
                                     const QDOString* password, const QDOString* application) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
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
    qdo::TFlatHandle* state = HandleOf(handle);
    if (state == nullptr)
        return -1;
    try {
        return qdo::ProcessMessages(timeout_ms);
    } catch (...) {
        state->StoreLastError(std::current_exception());
        return -1;
    }
}

QDO_EXPORT int32_t QDONotificationDescriptor(QDOHandle handle) {
    if (HandleOf(handle) == nullptr)
        return -1;
    try {
        return qdo::NotificationFileDescriptor();
    } catch (...) {
        return -1;
    }
}

} // extern "C"
