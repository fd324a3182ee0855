// One client's TLS, over a socket that someone else owns and keeps non-blocking: the
// handshake in steps (for the listener's event loop) or within a time (for a job), then reads
// that never block and writes that wait for room within a time.
//
// One thread at a time: a job's reads and writes of its client go through its client channel,
// under the channel's lock.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;

namespace qdo::server {

// The first byte of every TLS handshake: a connection that starts otherwise is not TLS.
constexpr unsigned char TlsHandshakeRecord = 0x16;
// A fatal "protocol version" alert, as a record: what a plain client hears from a TLS port, so
// that it can tell (by the alert record's first byte, 0x15) that the server wants TLS.
constexpr std::string_view TlsPlainRefusal{"\x15\x03\x03\x00\x02\x02\x46", 7};

class TTlsLink {
public:
    // Server side of a connection on `fd`. Fails with std::runtime_error.
    TTlsLink(SSL_CTX* context, int fd);
    ~TTlsLink();
    TTlsLink(const TTlsLink&) = delete;
    TTlsLink& operator=(const TTlsLink&) = delete;

    // NotTls: the client began with a byte that no TLS handshake begins with (Failure says so).
    enum class TStep { Done, WantRead, WantWrite, Failed, NotTls };
    // One step of the handshake, without blocking.
    TStep Handshake();
    // The handshake, waiting for the client at most `waitMs` in all. `wait(fd, events, ms)`
    // waits for the socket (it may return early, on a signal); false when the handshake failed
    // or did not end in time (Failure says which).
    bool HandshakeWithin(int waitMs, const std::function<void(int fd, short events, int ms)>& wait);
    // Whether the client has sent the first byte of its handshake.
    bool Begun() const noexcept { return begun_; }
    // Why the handshake failed, for the log.
    const std::string& Failure() const noexcept { return failure_; }

    // Up to `room` bytes that have arrived, without waiting: the count; 0 when the client has
    // closed; -1 with errno EAGAIN when nothing has come, another errno when the link failed.
    // It reads until the socket has nothing more or the room is full, so that what OpenSSL
    // keeps afterwards is never a whole record that no readable socket would announce.
    ssize_t Read(char* into, size_t room);
    // Whether Read may give bytes without the socket becoming readable (the last one filled its
    // room): a caller waits on the socket only when this is false.
    bool Pending() const;
    // Sends all of `bytes`, waiting at most `waitMs` each time the socket has no room; false
    // with errno set (EAGAIN: it ran out of time) when they could not all go.
    bool Write(std::string_view bytes, int waitMs);
    // Says goodbye (a close_notify, if the socket takes it now); the socket stays open.
    void Close();

private:
    SSL* ssl_ = nullptr;
    int fd_ = -1;
    std::string failure_;
    bool drained_ = true;
    bool begun_ = false; // the client's first byte was a TLS handshake's
};

} // namespace qdo::server
