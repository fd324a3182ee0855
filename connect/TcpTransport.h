// The connection's link over a TTcpClient: what the library uses outside of tests, in plain TCP
// or, when its TLS settings say so, in TLS over the same socket. Internal.
#pragma once

#include "connect/Transport.h"
#include "sockets/Sockets2.h"

#include <memory>

namespace qdo {

class TTlsChannel;
class TTlsContext;

class TTcpTransport final : public TTransport {
public:
    // The socket is made with `owner` as its owner (null for a side connection) and sends small
    // writes at once: each request goes out in one send and waits for its reply, so nothing of
    // it may wait for an acknowledgement that the server delays.
    explicit TTcpTransport(TComponent* owner);
    // Takes the socket's handlers off before the socket goes.
    ~TTcpTransport() override;

    void Aim(const std::string& host, const std::string& port) override;
    std::string Host() const override { return socket_->RemoteHost(); }
    std::string Port() const override { return socket_->RemotePort(); }
    void SetConnectTimeOut(int32_t ms) override;
    // Changing the settings drops the sessions kept for resumption (they belong to the
    // trust and certificates of the old ones).
    void SetTls(const TTlsSettings& settings) override;
    // Connects; with TLS, then shakes hands within the connect time-out. A handshake that
    // fails closes the socket and goes to the TlsFailure handler.
    void Open() override;
    // With TLS, a close_notify goes first when it can go at once.
    void Close() override;
    bool Active() const override { return socket_->Active(); }
    // Plain TCP goes through the socket's SendBuf and ReceiveBufWithin (and their OnSend and
    // OnReceive handlers); TLS through the channel, which the socket's handlers do not see.
    int32_t Send(char* bytes, int32_t count) override;
    int32_t Receive(char* into, int32_t room, int32_t waitMs, bool& timedOut) override;
    std::string ReceiveAvailable() override;
    // With TLS, bytes that TLS holds already when the link starts to notify reach ReadReady
    // through a message to the loop, since the socket will not announce them.
    void SetNotifying(bool notifying) override;
    TNotificationLoop& Loop() override { return *socket_->GetHandle(); }
    // The socket's own address (getsockname), else the host's address.
    std::string LocalAddress() override;
    // A link with the same TLS settings, sharing their context and kept sessions.
    std::unique_ptr<TTransport> NewLink() const override;
    TTcpClient* Socket() noexcept override { return socket_; }

    // Whether the open link is TLS, and whether its handshake resumed a session.
    bool TlsActive() const noexcept { return channel_ != nullptr; }
    bool TlsResumed() const;

private:
    // The name the server's certificate must carry: the settings' ServerName, else the host
    // aimed at.
    std::string ServerName() const;
    void OpenTls();
    // Closes after a TLS failure and reports it.
    void FailTls(const std::string& message, bool timedOut);

    TTcpClient* socket_;
    int32_t connectTimeOut_ = 0;
    TTlsSettings tls_;
    std::shared_ptr<TTlsContext> tlsContext_; // made at the first TLS open; shared with NewLink's
    std::unique_ptr<TTlsChannel> channel_;    // while a TLS link is open
    // Lets a message posted to the notification loop find out whether the transport is gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace qdo
