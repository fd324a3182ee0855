// What every TLS link of one set of settings shares: OpenSSL's client context (TLS 1.3 only,
// the trusted authorities, the client certificate) and the sessions the servers handed out, so
// that the job's link and side links resume the listener's session instead of a full
// handshake. Internal to the library.
//
// Threads: a context may be shared by links used on different threads (a side link of
// CancelGroupRead); its session store is locked.
#pragma once

#include "connect/Qdoconnect.h"

#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_session_st SSL_SESSION;

namespace qdo {

// A setting that cannot be used (an unreadable file of authorities, certificate or key); the
// message names the file and what went wrong.
class ETlsSetup : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TTlsContext {
public:
    // Builds the context of `settings`; throws ETlsSetup.
    explicit TTlsContext(const TTlsSettings& settings);
    ~TTlsContext();
    TTlsContext(const TTlsContext&) = delete;
    TTlsContext& operator=(const TTlsContext&) = delete;

    SSL_CTX* Context() const noexcept { return context_; }
    const TTlsSettings& Settings() const noexcept { return settings_; }

    // The latest session of server `name` (with a reference for the caller, who frees it), or
    // null.
    SSL_SESSION* SessionFor(const std::string& name);
    // Keeps `session` (taking the caller's reference) as the one to resume at `name`.
    void KeepSession(const std::string& name, SSL_SESSION* session);
    // Forgets the session of `name` (one the server would not resume).
    void ForgetSession(const std::string& name);

private:
    struct TFreeSession {
        void operator()(SSL_SESSION* session) const noexcept;
    };

    TTlsSettings settings_;
    SSL_CTX* context_ = nullptr;
    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<SSL_SESSION, TFreeSession>> sessions_;
};

// What a link's SSL carries as its application data: where the sessions that the server hands
// out on it are kept, and under which server name.
struct TSessionSlot {
    TTlsContext* Context = nullptr;
    std::string ServerName;
};

// The text of OpenSSL's last error on this thread ("certificate verify failed", ...), or
// `fallback` when it has none; the thread's error queue is emptied.
std::string TakeTlsErrorText(const char* fallback);

} // namespace qdo
