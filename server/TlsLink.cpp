#include "server/TlsLink.h"

#include "server/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>

namespace qdo::server {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
}

} // namespace

TTlsLink::TTlsLink(SSL_CTX* context, int fd) : ssl_(SSL_new(context)), fd_(fd) {
    if (ssl_ == nullptr || SSL_set_fd(ssl_, fd) != 1) {
        SSL_free(ssl_);
        throw std::runtime_error("TLS: " + TakeTlsError("cannot make a connection"));
    }
    // The handshake's flights, and every reply's last small record, go out at once: none may
    // wait for the acknowledgement of the one before (Nagle's algorithm against delayed ACKs
    // costs 40 ms a time).
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    SSL_set_accept_state(ssl_);
}

TTlsLink::~TTlsLink() {
    SSL_free(ssl_);
}

TTlsLink::TStep TTlsLink::Handshake() {
    if (!begun_) {
        unsigned char first = 0;
        const ssize_t n = ::recv(fd_, &first, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return TStep::WantRead;
        if (n == 1 && first != TlsHandshakeRecord) {
            failure_ = "a plain (not TLS) connection; this server takes TLS only";
            return TStep::NotTls;
        }
        begun_ = true; // (or the client left: the handshake says so)
    }
    ERR_clear_error();
    errno = 0;
    const int result = SSL_do_handshake(ssl_);
    if (result == 1) {
        drained_ = false; // the client's first record may have come with its last handshake one
        return TStep::Done;
    }
    switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ:
        return TStep::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return TStep::WantWrite;
    case SSL_ERROR_SYSCALL:
        failure_ = errno == 0 ? "the client closed the connection during the TLS handshake"
                              : std::string("the TLS handshake failed: ") + std::strerror(errno);
        ERR_clear_error();
        return TStep::Failed;
    default: {
        const long verified = SSL_get_verify_result(ssl_);
        failure_ = "the TLS handshake failed: " + TakeTlsError("a protocol error");
        if (verified != X509_V_OK)
            failure_ += std::string(" (client certificate: ") +
                        X509_verify_cert_error_string(verified) + ")";
        return TStep::Failed;
    }
    }
}

bool TTlsLink::HandshakeWithin(int waitMs,
                               const std::function<void(int fd, short events, int ms)>& wait) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    while (true) {
        const TStep step = Handshake();
        if (step == TStep::Done)
            return true;
        if (step == TStep::Failed || step == TStep::NotTls)
            return false;
        const int left = MillisecondsUntil(deadline);
        if (left <= 0) {
            failure_ = "no TLS handshake within " + std::to_string(waitMs / 1000) + " s";
            return false;
        }
        wait(fd_, step == TStep::WantRead ? POLLIN : POLLOUT, left);
    }
}

ssize_t TTlsLink::Read(char* into, size_t room) {
    size_t taken = 0;
    while (taken < room) {
        ERR_clear_error();
        errno = 0;
        const int n =
            SSL_read(ssl_, into + taken, static_cast<int>(std::min<size_t>(room - taken, INT_MAX)));
        if (n > 0) {
            taken += static_cast<size_t>(n);
            // Nothing buffered (neither decrypted nor raw): the next bytes must come through
            // the socket, which a wait announces; asking it now would only find it empty.
            if (SSL_pending(ssl_) == 0 && SSL_has_pending(ssl_) == 0) {
                drained_ = true;
                return static_cast<ssize_t>(taken);
            }
            continue;
        }
        const int error = SSL_get_error(ssl_, n);
        const int reason = errno;
        ERR_clear_error();
        drained_ = true;
        if (taken > 0)
            return static_cast<ssize_t>(taken); // what ended the read shows at the next
        switch (error) {
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE: // a key update's answer that has no room yet: goes out later
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_SYSCALL:
            if (reason == 0)
                return 0; // closed without a close_notify: gone all the same
            errno = reason;
            return -1;
        default:
            errno = EPROTO;
            return -1;
        }
    }
    drained_ = false; // the room is full: more may be there already
    return static_cast<ssize_t>(taken);
}

bool TTlsLink::Pending() const {
    return !drained_ || SSL_pending(ssl_) > 0;
}

bool TTlsLink::Write(std::string_view bytes, int waitMs) {
    while (!bytes.empty()) {
        ERR_clear_error();
        errno = 0;
        const int n = SSL_write(ssl_, bytes.data(),
                                static_cast<int>(std::min<size_t>(bytes.size(), INT_MAX)));
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        const int error = SSL_get_error(ssl_, n);
        if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) {
            ERR_clear_error();
            if (errno == 0)
                errno = EPIPE;
            return false;
        }
        pollfd watched{fd_, static_cast<short>(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN),
                       0};
        int ready;
        do
            ready = ::poll(&watched, 1, waitMs);
        while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            errno = EAGAIN;
            return false;
        }
        if (ready < 0)
            return false;
    }
    return true;
}

void TTlsLink::Close() {
    ERR_clear_error();
    if (SSL_is_init_finished(ssl_))
        SSL_shutdown(ssl_);
    ERR_clear_error();
}

} // namespace qdo::server
