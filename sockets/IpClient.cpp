// TCustomIpClient and TTcpClient: connecting and disconnecting.
#include "sockets/SocketPlatform.h"
#include "sockets/Sockets2.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace qdo {

namespace {

constexpr int32_t socketError = -1;

thread_local TClientSocketThread* currentClientSocketThread = nullptr;

// connect(), finishing a connection that a signal interrupted; 0 or -1 with the last socket
// error set. A non-blocking connect that is under way reports WSAEWOULDBLOCK, as it would
// elsewhere.
int32_t ConnectTo(TSocket handle, const sockaddr_in& address, bool nonBlocking) {
    // connect() has no per-call flag: a connect that must not wait makes the handle
    // non-blocking for the call, and it goes on in the background from there.
    const int flags = fcntl(handle, F_GETFL);
    if (nonBlocking)
        fcntl(handle, F_SETFL, flags | O_NONBLOCK);
    const int result =
        ::connect(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    int error = errno;
    if (nonBlocking)
        fcntl(handle, F_SETFL, flags);
    if (result == 0)
        return 0;
    if (error == EINTR) {
        // The connection goes on in the background; wait for it and take its outcome.
        pollfd watched{handle, POLLOUT, 0};
        while (::poll(&watched, 1, -1) < 0 && errno == EINTR) {
        }
        socklen_t length = sizeof error;
        if (getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error == 0)
            return 0;
    }
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
        result = ConnectTo(SocketHandle(), address, BlockMode() == bmNonBlocking);
    }
    connected_ = ErrorCheck(result) == 0;
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
