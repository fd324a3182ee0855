// A scripted TLS server for connection tests: the TLS counterpart of ScriptedPeer. Its thread
// accepts a connection, shakes hands as a TLS 1.3 server and plays a script of sends and
// expectations over TLS, recording what the client sent and how each handshake went (its
// outcome, SNI, whether it resumed a session).
//
// TLS runs over memory BIOs that the peer pumps to and from the socket itself, so that it can
// cut what goes on the wire anywhere: with ByteByByte every byte of every TLS record (the
// handshake's included) goes out in a send of its own.
#pragma once

#include "support/Bytes.h"
#include "support/Loopback.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qdo::test {

// A server context that several peers share, as the server's listener and jobs share their
// ticket keys: a session from one peer's connection resumes on another's.
class TlsServerContext {
public:
    // Serves `certificate` with `key`; with `clientAuthorities`, requires a client certificate
    // signed by one of them.
    TlsServerContext(const std::string& certificate, const std::string& key,
                     const std::string& clientAuthorities = "")
        : context_(SSL_CTX_new(TLS_server_method())) {
        SSL_CTX_set_min_proto_version(context_, TLS1_3_VERSION);
        if (SSL_CTX_use_certificate_chain_file(context_, certificate.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(context_, key.c_str(), SSL_FILETYPE_PEM) != 1)
            throw std::runtime_error("TLS peer: cannot load " + certificate);
        if (!clientAuthorities.empty()) {
            SSL_CTX_load_verify_file(context_, clientAuthorities.c_str());
            SSL_CTX_set_verify(context_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                               nullptr);
        }
    }
    ~TlsServerContext() { SSL_CTX_free(context_); }
    TlsServerContext(const TlsServerContext&) = delete;
    TlsServerContext& operator=(const TlsServerContext&) = delete;
    SSL_CTX* get() const { return context_; }

private:
    SSL_CTX* context_;
};

class TlsPeer {
public:
    struct Step {
        enum Kind { Send, SendRecords, Expect, Accept, Close, Pause } kind;
        std::vector<std::string> records; // Send: one; SendRecords: each its own record
        int pauseMs = 0;
    };
    static Step Send(std::string bytes) { return {Step::Send, {std::move(bytes)}, 0}; }
    // Each text in a TLS record of its own, all in one send on the wire.
    static Step SendRecords(std::vector<std::string> records) {
        return {Step::SendRecords, std::move(records), 0};
    }
    static Step Expect(std::string bytes) { return {Step::Expect, {std::move(bytes)}, 0}; }
    // Waits for the client's next connection and shakes hands on it.
    static Step Accept() { return {Step::Accept, {}, 0}; }
    static Step Close() { return {Step::Close, {}, 0}; }
    static Step Pause(int ms) { return {Step::Pause, {}, ms}; }

    // How one handshake went.
    struct Handshake {
        bool Ok = false;
        bool Resumed = false;
        std::string ServerName; // SNI, empty when none was sent
    };

    TlsPeer(const TlsServerContext& context, std::vector<Step> script, bool byteByByte = false)
        : context_(context), script_(std::move(script)), byteByByte_(byteByByte) {
        thread_ = std::thread([this] { Run(); });
    }
    ~TlsPeer() {
        stop_ = true;
        thread_.join();
        EndConnection();
    }
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;

    uint16_t Port() const { return listener_.Port(); }
    int32_t PortNumber() const { return static_cast<int32_t>(listener_.Port()); }

    bool WaitForScript() {
        std::unique_lock lock(mutex_);
        return doneChanged_.wait_for(lock, std::chrono::seconds(10), [this] { return done_; });
    }
    std::string Received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    std::vector<std::string> Failures() {
        std::lock_guard lock(mutex_);
        return failures_;
    }
    std::vector<Handshake> Handshakes() {
        std::lock_guard lock(mutex_);
        return handshakes_;
    }

private:
    void Fail(std::string what) {
        std::lock_guard lock(mutex_);
        failures_.push_back(std::move(what));
    }

    void EndConnection() {
        if (ssl_ != nullptr)
            SSL_free(ssl_); // frees both memory BIOs
        ssl_ = nullptr;
        socket_.Reset();
    }

    // Sends what TLS has written, cut as asked.
    bool Flush() {
        char block[16384];
        int n;
        while ((n = BIO_read(out_, block, sizeof block)) > 0) {
            const std::string bytes(block, static_cast<size_t>(n));
            try {
                if (!byteByByte_) {
                    SendAll(socket_.get(), bytes);
                    continue;
                }
                for (char byte : bytes) {
                    SendAll(socket_.get(), std::string(1, byte));
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
            } catch (const std::exception&) {
                return false;
            }
        }
        return true;
    }

    // Feeds TLS what the socket has, waiting up to `timeoutMs`; false when the client closed or
    // nothing came.
    bool Fill(int timeoutMs) {
        pollfd watched{socket_.get(), POLLIN, 0};
        if (::poll(&watched, 1, timeoutMs) <= 0)
            return false;
        char block[16384];
        const ssize_t n = ::recv(socket_.get(), block, sizeof block, 0);
        if (n <= 0) {
            clientClosed_ = true;
            return false;
        }
        BIO_write(in_, block, static_cast<int>(n));
        return true;
    }

    bool AcceptNext() {
        EndConnection();
        for (int waited = 0; waited < 10000 && !stop_; waited += 100) {
            Fd next = listener_.Accept(100);
            if (next.get() < 0)
                continue;
            socket_ = std::move(next);
            clientClosed_ = false;
            ssl_ = SSL_new(context_.get());
            in_ = BIO_new(BIO_s_mem());
            out_ = BIO_new(BIO_s_mem());
            SSL_set_bio(ssl_, in_, out_);
            Handshake outcome;
            while (!stop_) {
                const int result = SSL_accept(ssl_);
                const bool flushed = Flush();
                if (result == 1) {
                    outcome.Ok = true;
                    break;
                }
                if (!flushed || SSL_get_error(ssl_, result) != SSL_ERROR_WANT_READ || !Fill(5000))
                    break;
            }
            ERR_clear_error();
            outcome.Resumed = outcome.Ok && SSL_session_reused(ssl_) == 1;
            if (const char* name = SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name))
                outcome.ServerName = name;
            std::lock_guard lock(mutex_);
            handshakes_.push_back(outcome);
            return outcome.Ok;
        }
        Fail("no connection came");
        return false;
    }

    bool Write(const std::string& bytes) {
        if (ssl_ == nullptr || SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) <= 0)
            return false;
        return true;
    }

    // Reads `count` plaintext bytes (or what comes within 5 seconds).
    std::string Take(size_t count) {
        std::string bytes;
        char block[4096];
        for (int waited = 0; bytes.size() < count && waited < 5000 && !stop_ && ssl_;) {
            const int n = SSL_read(ssl_, block,
                                   static_cast<int>(std::min(sizeof block, count - bytes.size())));
            if (n > 0) {
                bytes.append(block, static_cast<size_t>(n));
                continue;
            }
            Flush();
            if (SSL_get_error(ssl_, n) != SSL_ERROR_WANT_READ)
                break;
            if (!Fill(50))
                waited += 50;
        }
        ERR_clear_error();
        std::lock_guard lock(mutex_);
        received_ += bytes;
        return bytes;
    }

    void Run() {
        if (AcceptNext()) {
            for (const Step& step : script_) {
                if (stop_)
                    break;
                switch (step.kind) {
                case Step::Send:
                case Step::SendRecords:
                    for (const std::string& record : step.records)
                        if (!Write(record))
                            Fail("TLS write failed");
                    if (!Flush())
                        Fail("send failed");
                    break;
                case Step::Expect: {
                    const std::string got = Take(step.records[0].size());
                    if (got != step.records[0])
                        Fail("expected " + ToHex(step.records[0]) + " got " + ToHex(got));
                    break;
                }
                case Step::Accept:
                    AcceptNext();
                    break;
                case Step::Close:
                    EndConnection();
                    break;
                case Step::Pause:
                    std::this_thread::sleep_for(std::chrono::milliseconds(step.pauseMs));
                    break;
                }
            }
        }
        {
            std::lock_guard lock(mutex_);
            done_ = true;
            doneChanged_.notify_all();
        }
        // Keep the connection open (and reading) until the test is over.
        while (!stop_ && ssl_ != nullptr && !clientClosed_) {
            if (!Fill(20))
                continue;
            char block[4096];
            int n;
            while ((n = SSL_read(ssl_, block, sizeof block)) > 0) {
                std::lock_guard lock(mutex_);
                received_.append(block, static_cast<size_t>(n));
            }
            ERR_clear_error();
            Flush();
        }
    }

    const TlsServerContext& context_;
    Listener listener_;
    std::vector<Step> script_;
    bool byteByByte_;
    Fd socket_;
    SSL* ssl_ = nullptr;
    BIO* in_ = nullptr;
    BIO* out_ = nullptr;
    bool clientClosed_ = false;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable doneChanged_;
    bool done_ = false;
    std::string received_;
    std::vector<std::string> failures_;
    std::vector<Handshake> handshakes_;
};

} // namespace qdo::test
