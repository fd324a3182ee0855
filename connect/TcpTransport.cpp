// The connection's link over a TTcpClient, in plain TCP or TLS.
#include "connect/TcpTransport.h"

#include "connect/TlsChannel.h"
#include "connect/TlsContext.h"

#include <arpa/inet.h>
#include <cstdio>
#include <sys/socket.h>

namespace qdo {

TTransport::~TTransport() = default;

TTcpTransport::TTcpTransport(TComponent* owner) : socket_(new TTcpClient(owner)) {
    socket_->SetNoDelay(true);
    socket_->OnError = [this](TObject*, int32_t code) { ReportError(code); };
    socket_->OnReadReady = [this](TObject*) { ReportReadReady(); };
    socket_->OnDestroyHandle = [this](TObject*) {
        // The TLS state belongs to the descriptor that is closing, however it closes.
        channel_.reset();
        ReportClosing();
    };
}

TTcpTransport::~TTcpTransport() {
    // The socket goes before the connection members its handlers reach.
    socket_->OnError = nullptr;
    socket_->OnReadReady = nullptr;
    socket_->OnDestroyHandle = nullptr;
    channel_.reset();
    delete socket_;
}

void TTcpTransport::Aim(const std::string& host, const std::string& port) {
    socket_->SetRemotePort(port);
    socket_->SetRemoteHost(host);
}

void TTcpTransport::SetConnectTimeOut(int32_t ms) {
    connectTimeOut_ = ms;
    socket_->SetConnectTimeOut(ms);
}

void TTcpTransport::SetTls(const TTlsSettings& settings) {
    if (settings == tls_)
        return;
    tls_ = settings;
    tlsContext_.reset();
}

std::string TTcpTransport::ServerName() const {
    return tls_.ServerName.empty() ? socket_->RemoteHost() : tls_.ServerName;
}

void TTcpTransport::Open() {
    if (socket_->Active())
        return;
    // The context (the authorities read, the client certificate loaded) is made before the
    // connect: a server hears the ClientHello right after the connect, and a file that cannot
    // be used costs no connection.
    if (tls_.Enabled && !tlsContext_) {
        try {
            tlsContext_ = std::make_shared<TTlsContext>(tls_);
        } catch (const ETlsSetup& e) {
            return ReportTlsFailure(e.what(), false);
        }
    }
    socket_->SetActive(true);
    // A connect that failed has been reported (its handler may not have raised).
    if (tls_.Enabled && socket_->Active() && socket_->Connected())
        OpenTls();
}

void TTcpTransport::OpenTls() {
    const std::string target = socket_->RemoteHost() + ":" + socket_->RemotePort();
    TTlsChannel::TResult outcome;
    try {
        channel_ = std::make_unique<TTlsChannel>(tlsContext_, *socket_, ServerName(), target);
    } catch (const ETlsSetup& e) {
        return FailTls(e.what(), false);
    }
    if (!tls_.Verify)
        std::fprintf(stderr, "TLS verification is off for %s\n", target.c_str());
    outcome = channel_->Handshake(connectTimeOut_);
    switch (outcome.Status) {
    case TTlsChannel::TStatus::Done:
        return;
    case TTlsChannel::TStatus::SocketFailure:
        socket_->SetActive(false);
        return ReportError(outcome.SocketError);
    case TTlsChannel::TStatus::TimedOut:
        return FailTls(outcome.Message, true);
    default:
        return FailTls(outcome.Message, false);
    }
}

void TTcpTransport::FailTls(const std::string& message, bool timedOut) {
    channel_.reset();
    socket_->SetActive(false);
    ReportTlsFailure(message, timedOut);
}

void TTcpTransport::Close() {
    if (channel_)
        channel_->Shutdown();
    socket_->SetActive(false);
    channel_.reset();
}

int32_t TTcpTransport::Send(char* bytes, int32_t count) {
    if (!channel_)
        return socket_->SendBuf(bytes, count);
    const TTlsChannel::TResult outcome = channel_->Write(bytes, count);
    switch (outcome.Status) {
    case TTlsChannel::TStatus::Done:
        return outcome.Count;
    case TTlsChannel::TStatus::SocketFailure:
        ReportError(outcome.SocketError);
        return -1;
    case TTlsChannel::TStatus::Closed:
        ReportError(10058); // the server shut the connection down: nothing more can be sent
        return -1;
    default:
        FailTls(outcome.Message, false);
        return -1;
    }
}

int32_t TTcpTransport::Receive(char* into, int32_t room, int32_t waitMs, bool& timedOut) {
    timedOut = false;
    if (!channel_)
        return socket_->ReceiveBufWithin(into, room, waitMs, timedOut);
    const TTlsChannel::TResult outcome = channel_->Read(into, room, waitMs);
    switch (outcome.Status) {
    case TTlsChannel::TStatus::Done:
        return outcome.Count;
    case TTlsChannel::TStatus::TimedOut:
        timedOut = true;
        return 0;
    case TTlsChannel::TStatus::Closed:
        return 0;
    case TTlsChannel::TStatus::SocketFailure:
        ReportError(outcome.SocketError);
        return -1;
    default:
        FailTls(outcome.Message, false);
        return -1;
    }
}

std::string TTcpTransport::ReceiveAvailable() {
    if (!channel_)
        return socket_->ReceiveText();
    // Everything TLS can decrypt now; a failure is left for the next request to meet.
    std::string text;
    char block[16384];
    while (channel_) {
        const TTlsChannel::TResult outcome = channel_->Read(block, sizeof block, 0);
        if (outcome.Status != TTlsChannel::TStatus::Done || outcome.Count <= 0)
            break;
        text.append(block, static_cast<size_t>(outcome.Count));
    }
    return text;
}

void TTcpTransport::SetNotifying(bool notifying) {
    socket_->SetBlockMode(notifying ? bmNonBlocking : bmBlocking);
    if (!notifying || !channel_ || !socket_->Active() || !channel_->HasPending())
        return;
    socket_->GetHandle()->Post([this, alive = std::weak_ptr<bool>(alive_)] {
        if (!alive.expired() && channel_ && socket_->BlockMode() == bmNonBlocking &&
            channel_->HasPending())
            ReportReadReady();
    });
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
    auto link = std::make_unique<TTcpTransport>(nullptr);
    link->tls_ = tls_;
    link->tlsContext_ = tlsContext_;
    return link;
}

bool TTcpTransport::TlsResumed() const {
    return channel_ != nullptr && channel_->Resumed();
}

} // namespace qdo
