// One TLS connection over the descriptor of a connected TCP socket: the client's handshake,
// and reads and writes of the protocol's bytes through it. Internal to the library; the TCP
// transport (connect/TcpTransport.h) puts one on its socket when TLS is on.
//
// The socket's own calls do the I/O (TBaseSocket::ReceiveUnreported and SendUnreported), so
// that its read notification is re-armed after every receive as in plain TCP. Every wait is
// bounded: the handshake by the time-out it is given, each read by its own. Calls into OpenSSL
// for one channel never overlap: each runs under the channel's lock.
#pragma once

#include "connect/TlsContext.h"
#include "sockets/Sockets2.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

typedef struct ssl_st SSL;
typedef struct bio_st BIO;

namespace qdo {

class TTlsChannel {
public:
    enum class TStatus {
        Done,          // the bytes were read or written; the handshake ended
        TimedOut,      // nothing came within the wait
        Closed,        // the server closed the connection
        SocketFailure, // the socket failed: SocketError holds the Windows Sockets number
        TlsFailure,    // TLS failed: Message says what and for which server
    };
    struct TResult {
        TStatus Status = TStatus::Done;
        int32_t Count = 0;
        int32_t SocketError = 0;
        std::string Message;
    };

    // A channel over the connected `socket`, which checks the server's certificate for
    // `serverName` (when the context's settings verify) and names `target` (HOST:PORT) in its
    // messages.
    TTlsChannel(std::shared_ptr<TTlsContext> context, TBaseSocket& socket, std::string serverName,
                std::string target);
    ~TTlsChannel();
    TTlsChannel(const TTlsChannel&) = delete;
    TTlsChannel& operator=(const TTlsChannel&) = delete;

    // The client's handshake, waiting at most `timeOutMs` in all (0 or below: 10 seconds).
    // Offers the context's session of the server name, and keeps the sessions the server hands
    // out. A failure is TlsFailure (TimedOut when the time ran out); the channel is of no use
    // afterwards.
    TResult Handshake(int32_t timeOutMs);
    // Writes all `count` bytes (one SSL write: records of up to 16 KiB, sent as the socket
    // takes them, blocking as a plain send does).
    TResult Write(const char* bytes, int32_t count);
    // Reads up to `room` bytes, waiting at most `waitMs` for them (0 or below: does not wait).
    TResult Read(char* into, int32_t room, int32_t waitMs);
    // Whether bytes that have left the socket wait inside TLS (a record read ahead): no read
    // notification of the socket will announce them.
    bool HasPending();
    // Whether the handshake resumed a session.
    bool Resumed();
    // Sends close_notify if it can go at once; never waits, never fails.
    void Shutdown() noexcept;

private:
    friend struct TTlsBio;

    // One call into OpenSSL (SSL_connect, SSL_read_ex, SSL_write_ex) under the lock, with what
    // the BIO notes of a call reset first: its result, and SSL_get_error's code when it is not 1;
    // none when the channel failed before (FailedBefore is the outcome then).
    struct TCall {
        int Result;
        int Error;
    };
    template <typename Call>
    std::optional<TCall> Locked(Call&& call);
    TResult FailedBefore() const;
    // The outcome of an SSL call that failed with SSL_get_error's `error`.
    TResult Failure(int error, bool handshake);
    std::string HandshakeFailure(const std::string& why) const;
    // How long a receive of the BIO may wait now, in milliseconds (0: not at all).
    int32_t WaitLeft();

    std::shared_ptr<TTlsContext> context_;
    TBaseSocket& socket_;
    std::string target_;
    TSessionSlot slot_; // the server name, and where its sessions go
    SSL* ssl_ = nullptr;
    std::mutex mutex_;
    // What the BIO saw in the current call.
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    int32_t firstWait_ = 0; // the wait of a read's first receive
    bool peerClosed_ = false;
    int lastErrno_ = 0;
    bool sendWaits_ = true;
    bool failed_ = false; // a fatal error: no more calls into the SSL, not even a shutdown
};

} // namespace qdo
