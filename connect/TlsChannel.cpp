// One TLS client connection over a connected socket.
#include "connect/TlsChannel.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <cerrno>
#include <utility>

namespace qdo {

namespace {

using Clock = std::chrono::steady_clock;

bool IsAddress(const std::string& name) {
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, name.c_str(), address) == 1 ||
           inet_pton(AF_INET6, name.c_str(), address) == 1;
}

// Reasons that mean the peer does not speak TLS at all: its first bytes are no TLS record.
bool IsNotTls(int reason) {
    return reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG ||
           reason == SSL_R_UNKNOWN_PROTOCOL || reason == SSL_R_HTTP_REQUEST;
}

} // namespace

// The BIO between OpenSSL and the socket: reads wait as long as the channel's current call
// allows, writes block as plain sends do.
struct TTlsBio {
    static BIO_METHOD* Method() {
        static BIO_METHOD* const method = [] {
            BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qdo");
            if (made != nullptr) {
                BIO_meth_set_read(made, Read);
                BIO_meth_set_write(made, Write);
                BIO_meth_set_ctrl(made, Control);
                BIO_meth_set_create(made, Create);
            }
            return made;
        }();
        return method;
    }

    static int Create(BIO* bio) {
        BIO_set_init(bio, 1);
        return 1;
    }

    static long Control(BIO*, int command, long, void*) {
        return command == BIO_CTRL_FLUSH ? 1 : 0; // every write has gone to the socket already
    }

    static int Read(BIO* bio, char* into, int room) {
        auto* channel = static_cast<TTlsChannel*>(BIO_get_data(bio));
        BIO_clear_retry_flags(bio);
        const int32_t got = channel->socket_.ReceiveUnreported(into, room, channel->WaitLeft());
        if (got > 0)
            return got;
        if (got == 0) {
            channel->peerClosed_ = true;
            return 0;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            BIO_set_retry_read(bio);
            return -1;
        }
        channel->lastErrno_ = errno;
        return -1;
    }

    static int Write(BIO* bio, const char* bytes, int count) {
        auto* channel = static_cast<TTlsChannel*>(BIO_get_data(bio));
        BIO_clear_retry_flags(bio);
        const int32_t sent = channel->socket_.SendUnreported(bytes, count, channel->sendWaits_);
        if (sent >= 0)
            return sent;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            BIO_set_retry_write(bio);
            return -1;
        }
        channel->lastErrno_ = errno;
        return -1;
    }
};

TTlsChannel::TTlsChannel(std::shared_ptr<TTlsContext> context, TBaseSocket& socket,
                         std::string serverName, std::string target)
    : context_(std::move(context)), socket_(socket),
      target_(std::move(target)), slot_{context_.get(), std::move(serverName)} {
    ERR_clear_error();
    BIO* bio = TTlsBio::Method() ? BIO_new(TTlsBio::Method()) : nullptr;
    ssl_ = SSL_new(context_->Context());
    if (bio == nullptr || ssl_ == nullptr) {
        BIO_free(bio);
        SSL_free(ssl_);
        throw ETlsSetup("TLS: no connection could be made: " + TakeTlsErrorText("out of memory"));
    }
    BIO_set_data(bio, this);
    SSL_set_bio(ssl_, bio, bio);
    SSL_set_app_data(ssl_, &slot_);
    const std::string& name = slot_.ServerName;
    const bool address = IsAddress(name);
    // SNI carries names only: an address there is against the rules, and servers refuse it.
    if (!address && !name.empty())
        SSL_set_tlsext_host_name(ssl_, name.c_str());
    if (context_->Settings().Verify) {
        SSL_set_verify(ssl_, SSL_VERIFY_PEER, nullptr);
        SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        const int named = address
                              ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), name.c_str())
                              : SSL_set1_host(ssl_, name.c_str());
        if (named != 1 || name.empty()) {
            SSL_free(ssl_);
            ERR_clear_error();
            throw ETlsSetup("TLS: '" + name + "' cannot be checked as a server name");
        }
    } else {
        SSL_set_verify(ssl_, SSL_VERIFY_NONE, nullptr);
    }
    if (SSL_SESSION* session = context_->SessionFor(name)) {
        SSL_set_session(ssl_, session);
        SSL_SESSION_free(session);
    }
}

TTlsChannel::~TTlsChannel() {
    SSL_free(ssl_);
}

template <typename Call>
std::optional<TTlsChannel::TCall> TTlsChannel::Locked(Call&& call) {
    std::lock_guard lock(mutex_);
    if (failed_)
        return std::nullopt;
    ERR_clear_error();
    peerClosed_ = false;
    lastErrno_ = 0;
    const int result = call();
    return TCall{result, result == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_, result)};
}

TTlsChannel::TResult TTlsChannel::FailedBefore() const {
    return {TStatus::TlsFailure, 0, 0, "TLS: the connection to " + target_ + " failed"};
}

int32_t TTlsChannel::WaitLeft() {
    // The first receive of a read waits the read's own time, which the socket's receive
    // time-out holds already from the read before: no setsockopt for it.
    if (firstWait_ > 0)
        return std::exchange(firstWait_, 0);
    if (!deadline_)
        return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - Clock::now());
    return static_cast<int32_t>(std::max<int64_t>(left.count(), 0));
}

TTlsChannel::TResult TTlsChannel::Handshake(int32_t timeOutMs) {
    const int32_t limit = timeOutMs > 0 ? timeOutMs : 10000;
    deadline_ = Clock::now() + std::chrono::milliseconds(limit);
    while (true) {
        const auto call = Locked([this] { return SSL_connect(ssl_); });
        if (!call)
            return FailedBefore();
        const auto [result, error] = *call;
        if (result == 1) {
            deadline_.reset();
            return {};
        }
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (Clock::now() < *deadline_)
                continue;
            deadline_.reset();
            failed_ = true;
            ERR_clear_error();
            return {TStatus::TimedOut, 0, 0,
                    "The TLS handshake with " + target_ + " did not end within " +
                        std::to_string(limit) + " ms (is it a TLS server?)"};
        }
        deadline_.reset();
        TResult failure = Failure(error, true);
        // The session offered may be what the server refused: the next link starts afresh.
        context_->ForgetSession(slot_.ServerName);
        return failure;
    }
}

TTlsChannel::TResult TTlsChannel::Write(const char* bytes, int32_t count) {
    if (count <= 0)
        return {};
    while (true) {
        size_t written = 0;
        const auto call =
            Locked([&] { return SSL_write_ex(ssl_, bytes, static_cast<size_t>(count), &written); });
        if (!call)
            return FailedBefore();
        const auto [result, error] = *call;
        if (result == 1)
            return {TStatus::Done, static_cast<int32_t>(written), 0, {}};
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
            continue;
        return Failure(error, false);
    }
}

TTlsChannel::TResult TTlsChannel::Read(char* into, int32_t room, int32_t waitMs) {
    if (waitMs > 0)
        deadline_ = Clock::now() + std::chrono::milliseconds(waitMs);
    else
        deadline_.reset();
    firstWait_ = std::max(waitMs, 0);
    while (true) {
        size_t got = 0;
        const auto call = Locked(
            [&] { return SSL_read_ex(ssl_, into, static_cast<size_t>(std::max(room, 0)), &got); });
        if (!call)
            return FailedBefore();
        const auto [result, error] = *call;
        firstWait_ = 0;
        if (result == 1) {
            deadline_.reset();
            return {TStatus::Done, static_cast<int32_t>(got), 0, {}};
        }
        if (error == SSL_ERROR_WANT_WRITE)
            continue;
        if (error == SSL_ERROR_WANT_READ) {
            if (deadline_ && Clock::now() < *deadline_)
                continue;
            deadline_.reset();
            return {TStatus::TimedOut, 0, 0, {}};
        }
        deadline_.reset();
        return Failure(error, false);
    }
}

TTlsChannel::TResult TTlsChannel::Failure(int error, bool handshake) {
    const long verified = SSL_get_verify_result(ssl_);
    // A server that hangs up on a ClientHello it does not read resets the connection as often
    // as it closes it in order.
    const bool hungUp =
        error == SSL_ERROR_SYSCALL &&
        (lastErrno_ == 0 || (handshake && (lastErrno_ == ECONNRESET || lastErrno_ == EPIPE)));
    if (error == SSL_ERROR_ZERO_RETURN || hungUp) {
        ERR_clear_error();
        if (!handshake)
            return {TStatus::Closed, 0, 0, {}};
        failed_ = true;
        return {TStatus::TlsFailure, 0, 0,
                HandshakeFailure("the server closed the connection (is it a TLS server?)")};
    }
    failed_ = true;
    if (error == SSL_ERROR_SYSCALL) {
        ERR_clear_error();
        return {TStatus::SocketFailure, 0, SocketErrorFromErrno(lastErrno_), {}};
    }
    if (handshake && context_->Settings().Verify && verified != X509_V_OK) {
        ERR_clear_error();
        return {TStatus::TlsFailure, 0, 0,
                "TLS: the certificate of server name '" + slot_.ServerName +
                    "' failed verification: " + X509_verify_cert_error_string(verified)};
    }
    const int reason = ERR_GET_REASON(ERR_peek_last_error());
    const std::string text = TakeTlsErrorText("unknown reason");
    std::string why;
    if (IsNotTls(reason))
        why = "the server's answer is not TLS (is it a TLS server?)";
    else if (reason == SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED)
        why = "the server requires a client certificate (" + text + ")";
    else if (reason >= SSL_AD_REASON_OFFSET)
        why = "the server refused it (" + text + ")";
    else
        why = text;
    return {TStatus::TlsFailure, 0, 0,
            handshake ? HandshakeFailure(why)
                      : "TLS failure on the connection to " + target_ + ": " + why};
}

std::string TTlsChannel::HandshakeFailure(const std::string& why) const {
    return "TLS handshake with " + target_ + " failed: " + why;
}

bool TTlsChannel::HasPending() {
    std::lock_guard lock(mutex_);
    return !failed_ && SSL_has_pending(ssl_) == 1;
}

bool TTlsChannel::Resumed() {
    std::lock_guard lock(mutex_);
    return SSL_session_reused(ssl_) == 1;
}

void TTlsChannel::Shutdown() noexcept {
    std::lock_guard lock(mutex_);
    if (failed_ || SSL_is_init_finished(ssl_) != 1)
        return;
    // One try, without waiting: a server that does not read must not hold the close up.
    sendWaits_ = false;
    deadline_.reset();
    SSL_shutdown(ssl_);
    sendWaits_ = true;
    ERR_clear_error();
}

} // namespace qdo
