#include "server/TlsContext.h"

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <fstream>
#include <stdexcept>

namespace qdo::server {

namespace {

const unsigned char sessionContext[] = "qdo-server";

// A file that cannot be opened is named with the system's reason, before OpenSSL would say
// only that it found no PEM in it.
void CheckReadable(const std::string& option, const std::string& file) {
    std::ifstream in(file);
    if (!in)
        throw std::runtime_error(option + ": cannot read " + file);
}

} // namespace

std::string TakeTlsError(const std::string& fallback) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return fallback;
    const char* reason = ERR_reason_error_string(code);
    return reason ? reason : fallback;
}

void TTlsContext::TFree::operator()(SSL_CTX* context) const noexcept {
    SSL_CTX_free(context);
}

TTlsContext::TTlsContext(TTlsFiles files) : files_(std::move(files)) {
    if (RAND_bytes(ticketKeys_.data(), static_cast<int>(ticketKeys_.size())) != 1)
        throw std::runtime_error("TLS: no random bytes for the session ticket keys");
    context_ = Build();
}

TTlsContext::~TTlsContext() = default;

void TTlsContext::Reload() {
    context_ = Build();
}

TTlsContext::TOwned TTlsContext::Build() const {
    CheckReadable("--tls-cert", files_.Certificate);
    CheckReadable("--tls-key", files_.Key);
    if (!files_.ClientAuthorities.empty())
        CheckReadable("--tls-client-ca", files_.ClientAuthorities);
    ERR_clear_error();
    TOwned context(SSL_CTX_new(TLS_server_method()));
    if (!context)
        throw std::runtime_error("TLS: " + TakeTlsError("cannot make a context"));
    SSL_CTX* ctx = context.get();
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    // Requests and replies are small and many: one read takes a whole record and what follows.
    SSL_CTX_set_read_ahead(ctx, 1);
    // A write that waited for room is retried from wherever its bytes are then.
    SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 1);
    SSL_CTX_set_session_id_context(ctx, sessionContext, sizeof sessionContext - 1);
    if (SSL_CTX_set_tlsext_ticket_keys(ctx, const_cast<unsigned char*>(ticketKeys_.data()),
                                       static_cast<long>(ticketKeys_.size())) != 1)
        throw std::runtime_error("TLS: " + TakeTlsError("cannot set the session ticket keys"));
    if (SSL_CTX_use_certificate_chain_file(ctx, files_.Certificate.c_str()) != 1)
        throw std::runtime_error("--tls-cert: " + files_.Certificate + ": " +
                                 TakeTlsError("not a PEM certificate"));
    if (SSL_CTX_use_PrivateKey_file(ctx, files_.Key.c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("--tls-key: " + files_.Key + ": " +
                                 TakeTlsError("not a PEM private key"));
    if (SSL_CTX_check_private_key(ctx) != 1)
        throw std::runtime_error("--tls-key: " + files_.Key + " is not the key of " +
                                 files_.Certificate);
    if (!files_.ClientAuthorities.empty()) {
        const std::string& file = files_.ClientAuthorities;
        if (SSL_CTX_load_verify_locations(ctx, file.c_str(), nullptr) != 1)
            throw std::runtime_error("--tls-client-ca: " + file + ": " +
                                     TakeTlsError("no PEM certificates"));
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(file.c_str());
        if (names == nullptr)
            throw std::runtime_error("--tls-client-ca: " + file + ": " +
                                     TakeTlsError("no PEM certificates"));
        SSL_CTX_set_client_CA_list(ctx, names);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    return context;
}

} // namespace qdo::server
