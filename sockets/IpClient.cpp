// TCustomIpClient and TTcpClient: connecting and disconnecting.
#include "sockets/SocketPlatform.h"
#include "sockets/Sockets2.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

namespace qdo {

namespace {

constexpr int32_t socketError = -1;

thread_local TClientSocketThread* currentClientSocketThread = nullptr;

// Waits until a connection under way on `handle` is made or fails, at most `timeoutMs` (below 0:
// without limit); its outcome as an errno value, ETIMEDOUT when the time ran out.
int AwaitConnection(TSocket handle, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    pollfd watched{handle, POLLOUT, 0};
    while (true) {
        int wait = -1;
        if (timeoutMs >= 0)
            wait = static_cast<int>(std::max<int64_t>(
                0, std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count()));
        const int ready = ::poll(&watched, 1, wait);
        if (ready > 0)
            break;
        if (ready == 0)
            return ETIMEDOUT;
        if (errno != EINTR)
            return errno;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    return error;
}

// connect(), finishing a connection that a signal interrupted, and bounding a blocking one by
// `timeoutMs` when that is above 0; 0 or -1 with the last socket error set. A non-blocking
// connect that is under way reports WSAEWOULDBLOCK, as it would elsewhere.
int32_t ConnectTo(TSocket handle, const sockaddr_in& address, bool nonBlocking, int timeoutMs) {
    // connect() has no per-call flag: a connect that must not wait, or not for long, makes the
    // handle non-blocking for the call.
    const bool bounded = !nonBlocking && timeoutMs > 0;
    const int flags = fcntl(handle, F_GETFL);
    if (nonBlocking || bounded)
        fcntl(handle, F_SETFL, flags | O_NONBLOCK);
    const int result =
        ::connect(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    int error = result == 0 ? 0 : errno;
    if (bounded && error == EINPROGRESS)
        error = AwaitConnection(handle, timeoutMs);
    else if (error == EINTR) // the connection goes on in the background: take its outcome
        error = AwaitConnection(handle, -1);
    if (nonBlocking || bounded)
        fcntl(handle, F_SETFL, flags);
    if (error == 0)
        return 0;
    if (error == EINPROGRESS)
        platform::SetLastSocketError(platform::WSAEWOULDBLOCK);
    else
        platform::SetLastSocketError(SocketErrorFromErrno(error));
    return socketError;
}

bool IsNullAddress(const sockaddr_in& address) {
    return address.sin_addr.s_addr == htonl(INADDR_ANY) && address.sin_port == 0;
}

} // namespace

namespace platform {
void SetCurrentClientSocketThread(TClientSocketThread* thread) noexcept {
    currentClientSocketThread = thread;
}
} // namespace platform

TCustomIpClient::TCustomIpClient(TComponent* owner) : TIpSocket(owner) {}

TCustomIpClient::~TCustomIpClient() {
    Close();
}

TClientSocketThread* TCustomIpClient::GetThreadObject() noexcept {
    return currentClientSocketThread;
}

void TCustomIpClient::Open() {
    TIpSocket::Open();
    if (!Active() || connected_)
        return;
    sockaddr_in address = GetSocketAddr(RemoteHost(), RemotePort());
    int32_t result;
    if (address.sin_addr.s_addr == INADDR_NONE) {
        // The host did not resolve to an address: say so, rather than try the broadcast
        // address that the failed conversion leaves.
        platform::SetLastSocketError(platform::WSAHOST_NOT_FOUND);
        result = socketError;
    } else if (SockType() == stDgram && IsNullAddress(address)) {
        // No remote host or port: a new datagram socket is aimed at no one already, as connecting
        // it to the null address would leave it elsewhere. (Linux would take 0.0.0.0 for this
        // host and drop datagrams from any other.)
        result = 0;
    } else {
        result = ConnectTo(SocketHandle(), address, BlockMode() == bmNonBlocking, connectTimeOut_);
    }
    connected_ = ErrorCheck(result) == 0;
    if (connected_ && noDelay_ && SockType() == stStream) {
        const int on = 1;
        setsockopt(SocketHandle(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    if (connected_)
        DoConnect();
}

void TCustomIpClient::Close() {
    if (connected_) {
        connected_ = false;
        // A connection the peer has already ended has nothing left to shut down: that is not
        // a failure worth reporting.
        int result = ::shutdown(SocketHandle(), SHUT_RDWR);
        if (result != 0 && errno == ENOTCONN)
            result = 0;
        if (result != 0)
            platform::SetLastSocketErrorFromErrno();
        ErrorCheck(result != 0 ? socketError : 0);
        DoDisconnect();
    }
    TIpSocket::Close();
}

void TCustomIpClient::AdoptConnection(TSocket handle) {
    AttachHandle(handle);
    connected_ = true;
}

bool TCustomIpClient::Connect() {
    Open();
    return connected_;
}

void TCustomIpClient::DoConnect() {
    if (OnConnect)
        OnConnect(this);
}

void TCustomIpClient::DoDisconnect() {
    if (OnDisconnect)
        OnDisconnect(this);
}

TTcpClient::TTcpClient(TComponent* owner) : TCustomIpClient(owner) {
    SetSockType(stStream);
}

TTcpClient::~TTcpClient() = default;

} // namespace qdo
