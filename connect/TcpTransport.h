// The connection's link over a TTcpClient: what the library uses outside of tests. Internal.
#pragma once

#include "connect/Transport.h"
#include "sockets/Sockets2.h"

namespace qdo {

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
    void SetConnectTimeOut(int32_t ms) override { socket_->SetConnectTimeOut(ms); }
    void Open() override { socket_->SetActive(true); }
    void Close() override { socket_->SetActive(false); }
    bool Active() const override { return socket_->Active(); }
    int32_t Send(char* bytes, int32_t count) override { return socket_->SendBuf(bytes, count); }
    int32_t Receive(char* into, int32_t room, int32_t waitMs, bool& timedOut) override {
        return socket_->ReceiveBufWithin(into, room, waitMs, timedOut);
    }
    std::string ReceiveAvailable() override { return socket_->ReceiveText(); }
    void SetNotifying(bool notifying) override;
    TNotificationLoop& Loop() override { return *socket_->GetHandle(); }
    // The socket's own address (getsockname), else the host's address.
    std::string LocalAddress() override;
    std::unique_ptr<TTransport> NewLink() const override;
    TTcpClient* Socket() noexcept override { return socket_; }

private:
    TTcpClient* socket_;
};

} // namespace qdo
