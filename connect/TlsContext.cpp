// The shared client context of TLS links: protocol, trust, client certificate, and sessions.
#include "connect/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <sys/stat.h>

namespace qdo {

namespace {

// Why `path` cannot be read, in a few words, or empty when it can be opened.
std::string Unreadable(const std::string& path, bool& directory) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return "no such file or directory";
    directory = S_ISDIR(status.st_mode);
    return {};
}

[[noreturn]] void SetupFailure(const std::string& what, const std::string& path,
                               const std::string& why) {
    throw ETlsSetup("TLS: cannot use the " + what + " '" + path + "': " + why);
}

// TLS 1.3 hands sessions out after the handshake, in tickets read with the first reply: each
// is kept for the next link to the same server name (the job's, after the listener's).
int KeepNewSession(SSL* ssl, SSL_SESSION* session) {
    auto* slot = static_cast<TSessionSlot*>(SSL_get_app_data(ssl));
    if (slot == nullptr || slot->Context == nullptr)
        return 0; // not taken: OpenSSL frees it
    slot->Context->KeepSession(slot->ServerName, session);
    return 1;
}

} // namespace

std::string TakeTlsErrorText(const char* fallback) {
    std::string text;
    // The last error is the one closest to the cause's report; earlier ones are its context.
    if (const unsigned long code = ERR_peek_last_error()) {
        if (const char* reason = ERR_reason_error_string(code))
            text = reason;
        else
            text = "error " + std::to_string(ERR_GET_REASON(code));
    }
    ERR_clear_error();
    return text.empty() ? fallback : text;
}

void TTlsContext::TFreeSession::operator()(SSL_SESSION* session) const noexcept {
    SSL_SESSION_free(session);
}

TTlsContext::TTlsContext(const TTlsSettings& settings) : settings_(settings) {
    ERR_clear_error();
    context_ = SSL_CTX_new(TLS_client_method());
    if (context_ == nullptr)
        throw ETlsSetup("TLS: no client context could be made: " +
                        TakeTlsErrorText("out of memory"));
    try {
        // TLS 1.3 only: the server speaks nothing older, and an older version offered is one
        // an attacker in the middle could push the connection down to.
        SSL_CTX_set_min_proto_version(context_, TLS1_3_VERSION);
        SSL_CTX_set_max_proto_version(context_, TLS1_3_VERSION);
        // A server that closes without close_notify has closed the connection, as a plain
        // one does: every reply of the protocol carries its own length or end marker, so a
        // cut cannot pass for a whole reply.
        SSL_CTX_set_options(context_, SSL_OP_IGNORE_UNEXPECTED_EOF);
        // Read what the socket holds in one go, not record header and body in two calls.
        SSL_CTX_set_read_ahead(context_, 1);
        // Sessions are kept by this object, per server name, not in OpenSSL's cache (which a
        // client does not look sessions up in).
        SSL_CTX_set_session_cache_mode(context_,
                                       SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(context_, KeepNewSession);
        if (settings_.Authorities.empty()) {
            if (SSL_CTX_set_default_verify_paths(context_) != 1)
                throw ETlsSetup("TLS: the system's trusted authorities cannot be read: " +
                                TakeTlsErrorText("unknown reason"));
        } else {
            bool directory = false;
            const std::string& path = settings_.Authorities;
            if (std::string why = Unreadable(path, directory); !why.empty())
                SetupFailure("trusted authorities", path, why);
            const int loaded = directory ? SSL_CTX_load_verify_dir(context_, path.c_str())
                                         : SSL_CTX_load_verify_file(context_, path.c_str());
            if (loaded != 1)
                SetupFailure("trusted authorities", path,
                             TakeTlsErrorText("no certificate could be read"));
        }
        const bool hasCertificate = !settings_.CertificateFile.empty();
        if (hasCertificate != !settings_.KeyFile.empty())
            throw ETlsSetup("TLS: a client certificate needs both a certificate file and a key "
                            "file");
        if (hasCertificate) {
            bool directory = false;
            const std::string& certificate = settings_.CertificateFile;
            const std::string& key = settings_.KeyFile;
            if (std::string why = Unreadable(certificate, directory); !why.empty())
                SetupFailure("client certificate", certificate, why);
            if (SSL_CTX_use_certificate_chain_file(context_, certificate.c_str()) != 1)
                SetupFailure("client certificate", certificate,
                             TakeTlsErrorText("no certificate could be read"));
            if (std::string why = Unreadable(key, directory); !why.empty())
                SetupFailure("client key", key, why);
            if (SSL_CTX_use_PrivateKey_file(context_, key.c_str(), SSL_FILETYPE_PEM) != 1)
                SetupFailure("client key", key, TakeTlsErrorText("no key could be read"));
            if (SSL_CTX_check_private_key(context_) != 1)
                SetupFailure("client key", key,
                             "it does not belong to the certificate '" + certificate + "'");
        }
    } catch (...) {
        SSL_CTX_free(context_);
        throw;
    }
}

TTlsContext::~TTlsContext() {
    sessions_.clear();
    SSL_CTX_free(context_);
}

SSL_SESSION* TTlsContext::SessionFor(const std::string& name) {
    std::lock_guard lock(mutex_);
    const auto found = sessions_.find(name);
    if (found == sessions_.end())
        return nullptr;
    SSL_SESSION* session = found->second.get();
    if (SSL_SESSION_is_resumable(session) != 1) {
        sessions_.erase(found);
        return nullptr;
    }
    SSL_SESSION_up_ref(session);
    return session;
}

void TTlsContext::KeepSession(const std::string& name, SSL_SESSION* session) {
    std::unique_ptr<SSL_SESSION, TFreeSession> kept(session);
    std::lock_guard lock(mutex_);
    sessions_[name] = std::move(kept);
}

void TTlsContext::ForgetSession(const std::string& name) {
    std::lock_guard lock(mutex_);
    sessions_.erase(name);
}

} // namespace qdo
