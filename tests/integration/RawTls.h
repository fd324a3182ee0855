// TLS connections made by hand, for what the library cannot be made to do against a TLS server:
// stall a handshake, show a chosen client certificate, look at the certificate the server shows.
#pragma once

#include "support/Loopback.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace qdo::test {

struct TlsClientOptions {
    std::string Authority{};   // the CA file to trust
    std::string Certificate{}; // a client certificate and its key, or none
    std::string Key{};
    SSL_SESSION* Resume = nullptr; // a session to resume, or none
};

// A blocking TLS 1.3 client connection to 127.0.0.1:port that checks the name "localhost".
class RawTls {
public:
    // The context is made before the connect, as a real client makes it: the server takes a
    // client that says nothing for a while for a plain one.
    RawTls(uint16_t port, const TlsClientOptions& options) {
        context_.reset(SSL_CTX_new(TLS_client_method()));
        SSL_CTX* ctx = context_.get();
        SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
        SSL_CTX_load_verify_locations(ctx, options.Authority.c_str(), nullptr);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        if (!options.Certificate.empty()) {
            SSL_CTX_use_certificate_chain_file(ctx, options.Certificate.c_str());
            SSL_CTX_use_PrivateKey_file(ctx, options.Key.c_str(), SSL_FILETYPE_PEM);
        }
        ssl_.reset(SSL_new(ctx));
        fd_ = Connect(port);
        SSL_set_fd(ssl_.get(), fd_.get());
        SSL_set_tlsext_host_name(ssl_.get(), "localhost");
        SSL_set1_host(ssl_.get(), "localhost");
        if (options.Resume != nullptr)
            SSL_set_session(ssl_.get(), options.Resume);
        timeval limit{5, 0};
        setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        connected_ = SSL_connect(ssl_.get()) == 1;
        if (!connected_) {
            const char* reason = ERR_reason_error_string(ERR_get_error());
            failure_ = reason != nullptr ? reason : "the server closed the connection";
        }
        ERR_clear_error();
    }

    // Whether the handshake succeeded; else why not (OpenSSL's reason).
    bool Connected() const { return connected_; }
    const std::string& Failure() const { return failure_; }
    bool Resumed() const { return SSL_session_reused(ssl_.get()) == 1; }

    void Send(const std::string& bytes) {
        if (SSL_write(ssl_.get(), bytes.data(), static_cast<int>(bytes.size())) !=
            static_cast<int>(bytes.size()))
            throw std::runtime_error("TLS send failed");
    }
    // Up to and including the next NUL; less when the server closes or 5 s pass.
    std::string ReadFrame() {
        std::string frame;
        char c;
        while ((frame.empty() || frame.back() != '\0') && SSL_read(ssl_.get(), &c, 1) == 1)
            frame += c;
        return frame;
    }
    // The frames of one reply, up to and including its last ("<OK>" or an error).
    std::string ReadReply() {
        std::string reply;
        while (true) {
            const std::string frame = ReadFrame();
            reply += frame;
            const bool last = frame.size() >= 5 && frame.compare(frame.size() - 5, 4, "<OK>") == 0;
            if (last || frame.empty() || frame.back() != '\0' ||
                frame.find("<ERROR>") != std::string::npos)
                return reply;
        }
    }
    // The session to resume on a later connection (owned by the caller: SSL_SESSION_free).
    SSL_SESSION* Session() { return SSL_get1_session(ssl_.get()); }
    // The serial number of the server's certificate, as hexadecimal text.
    std::string ServerSerial() const {
        X509* certificate = SSL_get0_peer_certificate(ssl_.get());
        if (certificate == nullptr)
            return {};
        BIGNUM* number = ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate), nullptr);
        char* text = BN_bn2hex(number);
        std::string serial = text;
        OPENSSL_free(text);
        BN_free(number);
        return serial;
    }

private:
    struct FreeContext {
        void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
    };
    struct FreeSsl {
        void operator()(SSL* s) const { SSL_free(s); }
    };
    Fd fd_;
    std::unique_ptr<SSL_CTX, FreeContext> context_;
    std::unique_ptr<SSL, FreeSsl> ssl_;
    bool connected_ = false;
    std::string failure_;
};

} // namespace qdo::test
