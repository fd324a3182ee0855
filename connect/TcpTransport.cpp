// The connection's link over a TTcpClient.
#include "connect/TcpTransport.h"

#include <arpa/inet.h>
#include <sys/socket.h>

namespace qdo {

TTransport::~TTransport() = default;

TTcpTransport::TTcpTransport(TComponent* owner) : socket_(new TTcpClient(owner)) {
    socket_->SetNoDelay(true);
    socket_->OnError = [this](TObject*, int32_t code) { ReportError(code); };
    socket_->OnReadReady = [this](TObject*) { ReportReadReady(); };
    socket_->OnDestroyHandle = [this](TObject*) { ReportClosing(); };
}

TTcpTransport::~TTcpTransport() {
    // The socket goes before the connection members its handlers reach.
    socket_->OnError = nullptr;
    socket_->OnReadReady = nullptr;
    socket_->OnDestroyHandle = nullptr;
    delete socket_;
}

void TTcpTransport::Aim(const std::string& host, const std::string& port) {
    socket_->SetRemotePort(port);
    socket_->SetRemoteHost(host);
}

void TTcpTransport::SetNotifying(bool notifying) {
    socket_->SetBlockMode(notifying ? bmNonBlocking : bmBlocking);
}

std::string TTcpTransport::LocalAddress() {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    char text[INET_ADDRSTRLEN] = {};
    if (socket_->Active() &&
        getsockname(socket_->SocketHandle(), reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        address.sin_family == AF_INET && inet_ntop(AF_INET, &address.sin_addr, text, sizeof text))
        return text;
    return socket_->LocalHostAddr();
}

std::unique_ptr<TTransport> TTcpTransport::NewLink() const {
    return std::make_unique<TTcpTransport>(nullptr);
}

} // namespace qdo
