// TCustomTcpServer and TTcpServer: listening, accepting, and the server socket thread's life.
#include "sockets/SocketPlatform.h"
#include "sockets/Sockets2.h"

#include <arpa/inet.h>
#include <cerrno>
#include <poll.h>
#include <unistd.h>
#include <utility>

namespace qdo {

namespace {
constexpr int32_t socketError = -1;
constexpr int32_t defaultBacklog = 5;
} // namespace

TCustomTcpServer::TCustomTcpServer(TComponent* owner) : TIpSocket(owner) {
    SetServerBlockMode(bmThreadBlocking);
}

TCustomTcpServer::~TCustomTcpServer() {
    Close();
    delete serverSocketThread_; // one made but never started
}

void TCustomTcpServer::SetServerBlockMode(TServerSocketBlockMode mode) {
    if (mode == serverBlockMode_)
        return;
    if (!StoringOnly())
        Close();
    serverBlockMode_ = mode;
    TIpSocket::SetBlockMode(mode == bmThreadBlocking ? bmBlocking : mode);
}

void TCustomTcpServer::Open() {
    if (Active())
        return;
    TIpSocket::Open();
    if (!Active())
        return;
    AllowAddressReuse();
    if (!Bind() || !Listen(defaultBacklog) || serverBlockMode_ != bmThreadBlocking)
        return;
    TServerSocketThread* thread = GetServerSocketThread();
    if (thread->Suspended())
        thread->Resume();
}

// SO_REUSEADDR lets a listening socket bind a port that connections of an earlier server still
// hold in TIME_WAIT; it never lets two servers listen on one port at once.
void TCustomTcpServer::AllowAddressReuse() {
    if (SockType() != stStream)
        return;
    int on = 1;
    const int result = setsockopt(SocketHandle(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (result != 0)
        platform::SetLastSocketErrorFromErrno();
    ErrorCheck(result != 0 ? socketError : 0);
}

void TCustomTcpServer::Close() {
    StopServerSocketThread();
    listening_ = false;
    TIpSocket::Close();
}

// A thread that never ran is kept, with its settings, for the next Open. One that ran is ended
// and forgotten; the next one made gets its ThreadCacheSize.
void TCustomTcpServer::StopServerSocketThread() {
    if (serverSocketThread_ == nullptr || serverSocketThread_->Suspended())
        return;
    TClientSocketThread* current = TCustomIpClient::GetThreadObject();
    if (current != nullptr && current->ServerSocketThread() == serverSocketThread_)
        throw EThread("A server cannot be closed from one of its own client socket threads");
    serverSocketThread_->TerminateAndWake();
    // Shutting the listening socket down ends the thread's wait for a connection (closing the
    // descriptor would not), and resets the connections still waiting to be accepted.
    if (Active())
        ::shutdown(SocketHandle(), SHUT_RDWR);
    threadCacheSize_ = serverSocketThread_->ThreadCacheSize();
    delete std::exchange(serverSocketThread_, nullptr);
}

bool TCustomTcpServer::Listen(int32_t backlog) {
    if (!Active() || listening_)
        return listening_;
    const int result = ::listen(SocketHandle(), backlog);
    if (result != 0)
        platform::SetLastSocketErrorFromErrno();
    listening_ = ErrorCheck(result != 0 ? socketError : 0) == 0;
    if (listening_ && OnListening)
        OnListening(this);
    return listening_;
}

bool TCustomTcpServer::WaitForConnection() {
    bool readReady = false;
    bool errorFlag = false;
    return Select(&readReady, nullptr, &errorFlag, -1) && readReady && !errorFlag;
}

bool TCustomTcpServer::Accept() {
    TCustomIpClient client;
    return Accept(client);
}

bool TCustomTcpServer::Accept(TCustomIpClient& ClientSocket) {
    if (!AcceptConnection(ClientSocket))
        return false;
    DoAccept(&ClientSocket);
    return true;
}

bool TCustomTcpServer::AcceptConnection(TCustomIpClient& client) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    TSocket handle;
    do {
        handle = WouldBlockAccept() ? -1
                                    : ::accept4(SocketHandle(), reinterpret_cast<sockaddr*>(&peer),
                                                &length, SOCK_CLOEXEC);
    } while (handle < 0 && errno == EINTR);
    if (handle < 0) {
        platform::SetLastSocketErrorFromErrno();
        try {
            ErrorCheck(socketError);
        } catch (...) {
            // A handler's exception makes this a failure like any other.
        }
        return false;
    }
    try {
        client.Close();
        client.SetDomain(Domain());
        client.SetSockType(SockType());
        client.SetProtocol(Protocol());
        client.SetBlockMode(TIpSocket::BlockMode());
        char address[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
        client.SetRemoteHost(address);
        client.SetRemotePort(std::to_string(ntohs(peer.sin_port)));
    } catch (...) {
        ::close(handle);
        throw;
    }
    client.AdoptConnection(handle);
    return true;
}

void TCustomTcpServer::DoAccept(TCustomIpClient* ClientSocket) {
    if (OnAccept)
        OnAccept(this, ClientSocket);
}

void TCustomTcpServer::GetThread(TObject* /*Sender*/, TClientSocketThread*& ClientSocketThread) {
    if (OnGetThread)
        OnGetThread(this, ClientSocketThread);
}

TServerSocketThread* TCustomTcpServer::GetServerSocketThread() {
    if (serverSocketThread_ == nullptr) {
        serverSocketThread_ = new TServerSocketThread(this);
        serverSocketThread_->SetThreadCacheSize(threadCacheSize_);
    }
    serverSocketThread_->SetGetThreadHandler(
        [this](TObject* sender, TClientSocketThread*& thread) { GetThread(sender, thread); });
    return serverSocketThread_;
}

void TCustomTcpServer::SetServerSocketThread(TServerSocketThread* thread) {
    if (thread == serverSocketThread_)
        return;
    if (serverSocketThread_ != nullptr)
        Close();
    delete serverSocketThread_; // one that never ran
    serverSocketThread_ = thread;
}

TTcpServer::TTcpServer(TComponent* owner) : TCustomTcpServer(owner) {}

TTcpServer::~TTcpServer() = default;

} // namespace qdo
