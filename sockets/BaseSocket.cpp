// TBaseSocket: the socket handle, block modes, sending and receiving, waiting, notifications.
#include "sockets/SocketPlatform.h"
#include "sockets/Sockets2.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace qdo {

ESocketError::~ESocketError() = default;

namespace {

constexpr int32_t socketError = -1;

int32_t ClampedLength(int32_t changed, int32_t limit) {
    return std::clamp(changed, 0, limit);
}

} // namespace

std::optional<timeval> TimevalOf(int32_t milliseconds) noexcept {
    if (milliseconds < 0)
        return std::nullopt;
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    return tv;
}

TBaseSocket::TBaseSocket(TComponent* owner) : TComponent(owner) {}

TBaseSocket::~TBaseSocket() {
    Close();
    EndNotification();
}

int TBaseSocket::MapDomain(TSocketDomain domain) noexcept {
    switch (domain) {
    case pfUnspec:
        return AF_UNSPEC;
    case pfUnix:
        return AF_UNIX;
    case pfInet:
        return AF_INET;
    case pfIpx:
        return AF_IPX;
    case pfCcitt:
        return AF_X25;
    case pfSna:
        return AF_SNA;
    case pfDecNet:
        return AF_DECnet;
    case pfAppleTalk:
        return AF_APPLETALK;
    default:
        return -1; // no such family on Linux
    }
}

int TBaseSocket::MapSockType(TSocketType type) noexcept {
    switch (type) {
    case stStream:
        return SOCK_STREAM;
    case stDgram:
        return SOCK_DGRAM;
    case stRaw:
        return SOCK_RAW;
    case stRdm:
        return SOCK_RDM;
    case stSeqPacket:
        return SOCK_SEQPACKET;
    }
    return -1;
}

void TBaseSocket::SetActive(bool value) {
    if (value == active_)
        return;
    if (StoringOnly()) {
        active_ = value;
        return;
    }
    if (value)
        Open();
    else
        Close();
}

void TBaseSocket::Loaded() {
    TComponent::Loaded();
    if (active_ && !IsDesigning()) {
        active_ = false;
        Open();
    }
}

void TBaseSocket::SetDomain(TSocketDomain value) {
    ChangeAddressing(domain_, value);
}
void TBaseSocket::SetProtocol(uint16_t value) {
    ChangeAddressing(protocol_, value);
}
void TBaseSocket::SetSockType(TSocketType value) {
    ChangeAddressing(sockType_, value);
}

TNotificationLoop* TBaseSocket::GetHandle() {
    if (!notificationLoop_)
        notificationLoop_ = TNotificationLoop::ForCurrentThread();
    return notificationLoop_.get();
}

void TBaseSocket::Open() {
    if (active_)
        return;
    const int family = MapDomain(domain_);
    TSocket handle = InvalidSocket;
    if (family < 0) {
        platform::SetLastSocketError(platform::WSAEAFNOSUPPORT);
    } else {
        handle = ::socket(family, MapSockType(sockType_) | SOCK_CLOEXEC, protocol_);
        if (handle < 0)
            platform::SetLastSocketErrorFromErrno();
    }
    ErrorCheck(handle < 0 ? socketError : handle);
    if (handle < 0)
        return;
    AttachHandle(handle);
    DoCreateHandle();
}

void TBaseSocket::AttachHandle(TSocket handle) {
    Close();
    handle_ = handle;
    active_ = true;
    bytesReceived_ = 0;
    bytesSent_ = 0;
    receiveTimeoutMs_ = -1;
}

int TBaseSocket::CallFlags() const noexcept {
    return blockMode_ == bmNonBlocking ? MSG_DONTWAIT : 0;
}

bool TBaseSocket::WouldBlockAccept() {
    if (blockMode_ != bmNonBlocking)
        return false;
    pollfd watched{handle_, POLLIN, 0};
    if (::poll(&watched, 1, 0) > 0)
        return false;
    errno = EAGAIN;
    return true;
}

void TBaseSocket::Close() {
    if (!active_)
        return;
    EndNotification();
    ::close(handle_);
    handle_ = InvalidSocket;
    active_ = false;
    DoDestroyHandle();
}

void TBaseSocket::SetBlockMode(TServerSocketBlockMode mode) {
    if (mode == blockMode_)
        return;
    blockMode_ = mode;
    if (!active_)
        return;
    GetHandle();
    // The handle itself always blocks; in non-blocking mode each call asks not to wait
    // (CallFlags). A connection that switches modes around every request then costs no system
    // call for the switch, and its blocking receives wait in the kernel.
    if (mode == bmNonBlocking)
        StartNotification();
    else
        StopNotification();
}

void TBaseSocket::StartNotification() {
    notifying_ = true;
    if (watch_ == 0) {
        watch_ = GetHandle()->WatchReadable(handle_, [this] { return OnLoopReadable(); });
        armed_ = true;
    } else if (!armed_) {
        notificationLoop_->Rearm(watch_);
        armed_ = true;
    }
}

void TBaseSocket::StopNotification() {
    // The watch may stay armed: whatever it reports while the socket blocks is dropped by
    // OnLoopReadable, and a report that found nothing does not disarm it.
    notifying_ = false;
}

void TBaseSocket::EndNotification() {
    notifying_ = false;
    if (watch_ != 0)
        notificationLoop_->Unwatch(watch_);
    watch_ = 0;
    armed_ = false;
}

void TBaseSocket::ReceiveDone() {
    if (notifying_ && !armed_) {
        notificationLoop_->Rearm(watch_);
        armed_ = true;
    }
}

// The loop reports the descriptor readable once. Bytes waiting make a read notification; a
// readable socket with nothing queued has been closed by the peer (or failed), which is not a
// registered notification: it stays quiet, as it would be after a closing notification, rather
// than reporting the same end again and again.
bool TBaseSocket::OnLoopReadable() {
    armed_ = false; // the loop reports once
    int queued = 0;
    if (!active_ || !notifying_ || ioctl(handle_, FIONREAD, &queued) != 0 || queued <= 0)
        return false;
    TCMSocketMessage message;
    message.Socket = static_cast<uint32_t>(handle_);
    message.SelectEvent = SocketEventRead;
    CMSocketMessage(message);
    return true;
}

void TBaseSocket::CMSocketMessage(const TCMSocketMessage& message) {
    switch (message.SelectEvent) {
    case SocketEventRead:
        if (OnReadReady)
            OnReadReady(this);
        break;
    case SocketEventWrite:
        if (OnWriteReady)
            OnWriteReady(this);
        break;
    case SocketEventClose:
        Close();
        break;
    default:
        break;
    }
}

void TBaseSocket::DeferFree() {
    GetHandle()->Post([this] { delete this; });
}

int32_t TBaseSocket::ErrorCheck(int32_t result) {
    if (result == socketError)
        DoHandleError();
    return result;
}

void TBaseSocket::DoHandleError() {
    if (OnError)
        OnError(this, LastSocketError());
}

void TBaseSocket::DoCreateHandle() {
    if (OnCreateHandle && active_)
        OnCreateHandle(this);
}

void TBaseSocket::DoDestroyHandle() {
    if (OnDestroyHandle)
        OnDestroyHandle(this);
}

void TBaseSocket::DoReceive(char* buffer, int32_t& dataLength) {
    if (OnReceive)
        OnReceive(this, buffer, dataLength);
}

void TBaseSocket::DoSend(char* buffer, int32_t& dataLength) {
    if (OnSend)
        OnSend(this, buffer, dataLength);
}

int32_t TBaseSocket::SendBuf(void* buffer, int32_t count, int32_t flags) {
    auto* bytes = static_cast<char*>(buffer);
    int32_t length = count;
    DoSend(bytes, length);
    // A handler may shorten what is sent, never make it reach beyond the caller's buffer.
    length = ClampedLength(length, count);
    ssize_t sent;
    do {
        sent =
            ::send(handle_, bytes, static_cast<size_t>(length), flags | CallFlags() | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0)
        platform::SetLastSocketErrorFromErrno();
    const int32_t result = ErrorCheck(sent < 0 ? socketError : static_cast<int32_t>(sent));
    if (result != socketError)
        bytesSent_ += static_cast<uint32_t>(result);
    return result;
}

int32_t TBaseSocket::ReceiveBuf(void* buffer, int32_t count, int32_t flags) {
    auto* bytes = static_cast<char*>(buffer);
    ssize_t received;
    do {
        received =
            ::recv(handle_, bytes, static_cast<size_t>(std::max(count, 0)), flags | CallFlags());
    } while (received < 0 && errno == EINTR);
    return FinishReceive(bytes, received);
}

int32_t TBaseSocket::FinishReceive(char* bytes, ssize_t received) {
    if (received < 0)
        platform::SetLastSocketErrorFromErrno();
    ReceiveDone();
    int32_t result = ErrorCheck(received < 0 ? socketError : static_cast<int32_t>(received));
    if (result != socketError) {
        const int32_t got = result;
        DoReceive(bytes, result);
        result = ClampedLength(result, got);
        bytesReceived_ += static_cast<uint32_t>(result);
    }
    return result;
}

ssize_t TBaseSocket::RecvWithin(char* bytes, int32_t count, int32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    ssize_t received;
    int32_t waitMs = timeoutMs;
    while (true) {
        if (waitMs != receiveTimeoutMs_) {
            const auto limit = TimevalOf(waitMs).value_or(timeval{0, 0}); // 0: no limit
            setsockopt(handle_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            receiveTimeoutMs_ = waitMs;
        }
        received = ::recv(handle_, bytes, static_cast<size_t>(std::max(count, 0)), 0);
        if (received >= 0 || errno != EINTR)
            break;
        // A signal of the host's ended the wait: wait on for what is left of the time-out, so
        // that signals arriving more often than the time-out cannot stretch it for ever.
        if (timeoutMs > 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                errno = EAGAIN;
                break;
            }
            waitMs = static_cast<int32_t>(left.count());
        }
    }
    return received;
}

int32_t TBaseSocket::ReceiveBufWithin(void* buffer, int32_t count, int32_t timeoutMs,
                                      bool& timedOut) {
    timedOut = false;
    // It waits whatever the block mode: waiting, up to the time-out, is what it is for.
    auto* bytes = static_cast<char*>(buffer);
    const ssize_t received = RecvWithin(bytes, count, timeoutMs);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        timedOut = true;
        ReceiveDone();
        return 0;
    }
    return FinishReceive(bytes, received);
}

int32_t TBaseSocket::ReceiveUnreported(void* buffer, int32_t count, int32_t timeoutMs) {
    auto* bytes = static_cast<char*>(buffer);
    ssize_t received;
    if (timeoutMs > 0) {
        received = RecvWithin(bytes, count, timeoutMs);
    } else {
        do {
            received =
                ::recv(handle_, bytes, static_cast<size_t>(std::max(count, 0)), MSG_DONTWAIT);
        } while (received < 0 && errno == EINTR);
    }
    const int saved = errno;
    ReceiveDone();
    if (received > 0)
        bytesReceived_ += static_cast<uint32_t>(received);
    errno = saved;
    return received < 0 ? socketError : static_cast<int32_t>(received);
}

int32_t TBaseSocket::SendUnreported(const void* buffer, int32_t count, bool wait) {
    ssize_t sent;
    do {
        sent = ::send(handle_, buffer, static_cast<size_t>(std::max(count, 0)),
                      MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
    } while (sent < 0 && errno == EINTR);
    if (sent > 0)
        bytesSent_ += static_cast<uint32_t>(sent);
    return sent < 0 ? socketError : static_cast<int32_t>(sent);
}

int32_t TBaseSocket::PeekBuf(void* buffer, int32_t count) {
    ssize_t received;
    do {
        received = ::recv(handle_, buffer, static_cast<size_t>(std::max(count, 0)),
                          MSG_PEEK | CallFlags());
    } while (received < 0 && errno == EINTR);
    if (received < 0)
        platform::SetLastSocketErrorFromErrno();
    ReceiveDone();
    return ErrorCheck(received < 0 ? socketError : static_cast<int32_t>(received));
}

std::string TBaseSocket::ReceiveText() {
    std::string text;
    int queued = 0;
    if (active_ && ioctl(handle_, FIONREAD, &queued) == 0 && queued > 0) {
        text.resize(static_cast<size_t>(queued));
        ssize_t received;
        do {
            received = ::recv(handle_, text.data(), text.size(), MSG_DONTWAIT);
        } while (received < 0 && errno == EINTR);
        text.resize(received > 0 ? static_cast<size_t>(received) : 0);
    }
    ReceiveDone();
    return text;
}

std::string TBaseSocket::Receiveln(const std::string& separator) {
    std::string line;
    char block[511];
    while (true) {
        const int32_t peeked = PeekBuf(block, sizeof block);
        if (peeked <= 0)
            break;
        if (separator.empty()) {
            // Nothing to look for: one arrival is one line.
            const int32_t got = ReceiveBuf(block, peeked);
            line.append(block, static_cast<size_t>(std::max(got, 0)));
            break;
        }
        // The separator may have begun in the bytes taken before.
        const size_t carried = std::min(line.size(), separator.size() - 1);
        std::string window = line.substr(line.size() - carried);
        window.append(block, static_cast<size_t>(peeked));
        const size_t at = window.find(separator);
        if (at != std::string::npos) {
            const auto through = static_cast<int32_t>(at + separator.size() - carried);
            ReceiveBuf(block, through);
            line.resize(line.size() - carried);
            line.append(window, 0, at);
            break;
        }
        const int32_t got = ReceiveBuf(block, peeked);
        if (got <= 0)
            break;
        line.append(block, static_cast<size_t>(got));
    }
    return line;
}

int32_t TBaseSocket::Sendln(const std::string& text, const std::string& separator) {
    std::string bytes = text + separator;
    return SendBuf(bytes.data(), static_cast<int32_t>(bytes.size()));
}

int32_t TBaseSocket::SendStream(TStream* stream) {
    if (stream == nullptr)
        return 0;
    char block[512];
    while (true) {
        const int32_t length = stream->Read(block, sizeof block);
        if (length <= 0)
            break;
        // A send may take part of the block; the rest goes after it, so nothing is skipped.
        for (int32_t done = 0; done < length;) {
            const int32_t sent = SendBuf(block + done, length - done);
            if (sent <= 0)
                return 0;
            done += sent;
        }
    }
    return 0;
}

int TBaseSocket::PollHandle(short events, int32_t timeoutMs, short& revents) {
    pollfd watched{handle_, events, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int ready;
    while (true) {
        int wait = -1;
        if (TimevalOf(timeoutMs)) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
        }
        ready = ::poll(&watched, 1, wait);
        if (ready >= 0 || errno != EINTR)
            break;
    }
    if (ready < 0)
        platform::SetLastSocketErrorFromErrno();
    try {
        ready = ErrorCheck(ready < 0 ? socketError : ready);
    } catch (...) {
        ready = socketError; // a handler's exception ends the wait, as a failed wait
    }
    revents = ready > 0 ? watched.revents : 0;
    return ready;
}

bool TBaseSocket::Select(bool* readReady, bool* writeReady, bool* exceptFlag, int32_t timeoutMs) {
    if (!active_)
        return false;
    short events = 0;
    if (readReady)
        events |= POLLIN;
    if (writeReady)
        events |= POLLOUT;
    if (exceptFlag)
        events |= POLLPRI;
    short revents = 0;
    const bool result = PollHandle(events, timeoutMs, revents) > 0;
    // As select() sees it: a closed or failed connection is readable (a read ends at once).
    if (readReady)
        *readReady = (revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    if (writeReady)
        *writeReady = (revents & (POLLOUT | POLLERR)) != 0;
    if (exceptFlag)
        *exceptFlag = (revents & POLLPRI) != 0;
    return result;
}

bool TBaseSocket::WaitForData(int32_t timeoutMs) {
    if (!active_)
        return false;
    short revents = 0;
    if (PollHandle(POLLIN | POLLPRI | POLLRDHUP, timeoutMs, revents) <= 0 ||
        !(revents & (POLLIN | POLLHUP | POLLERR)) || (revents & POLLPRI))
        return false;
    // Readable with the connection still open in both directions: bytes are queued. Only a
    // closing or failed connection needs a look at whether anything is left to read.
    if (!(revents & (POLLRDHUP | POLLHUP | POLLERR)))
        return true;
    char byte;
    return PeekBuf(&byte, 1) == 1;
}

} // namespace qdo
