// The server's TLS settings: its certificate and key, and the authorities that sign the
// certificates clients must show (none: clients show none).
//
// TLS 1.3 only. Clients resume sessions with tickets, which the listener issues and a job
// accepts on the second connection of an open: the ticket keys are made once, before any job is
// forked, and every context built later (a reload) keeps them, so that resuming works across
// processes and reloads alike. No session cache is kept: tickets carry the sessions.
#pragma once

#include <array>
#include <memory>
#include <string>

using SSL_CTX = struct ssl_ctx_st;

namespace qdo::server {

struct TTlsFiles {
    std::string Certificate;       // PEM: the server's certificate, then its chain
    std::string Key;               // PEM: its private key
    std::string ClientAuthorities; // PEM: the authorities of client certificates; empty: none
};

class TTlsContext {
public:
    // Reads the files; fails with std::runtime_error naming the file and what is wrong with it.
    explicit TTlsContext(TTlsFiles files);
    ~TTlsContext();
    TTlsContext(const TTlsContext&) = delete;
    TTlsContext& operator=(const TTlsContext&) = delete;

    // Reads the files again into a new context, which connections made from now on use; on
    // failure (std::runtime_error) the current one stays. Connections made before keep theirs.
    void Reload();
    // The current context, for a new connection (OpenSSL counts its references: a connection
    // keeps the context it was made with).
    SSL_CTX* Get() const noexcept { return context_.get(); }
    const TTlsFiles& Files() const noexcept { return files_; }

private:
    struct TFree {
        void operator()(SSL_CTX* context) const noexcept;
    };
    using TOwned = std::unique_ptr<SSL_CTX, TFree>;
    TOwned Build() const;

    TTlsFiles files_;
    std::array<unsigned char, 80> ticketKeys_{};
    TOwned context_;
};

// The text of OpenSSL's oldest queued error (then clears the queue); `fallback` when none.
std::string TakeTlsError(const std::string& fallback);

} // namespace qdo::server
