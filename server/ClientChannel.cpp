#include "server/ClientChannel.h"

#include "server/Net.h"

#include <cerrno>
#include <sys/socket.h>

namespace qdo::server {

bool TClientChannel::Send(int client, std::string_view bytes) {
    std::lock_guard lock(mutex_);
    return SendLocked(client, bytes);
}

bool TClientChannel::SendLocked(int client, std::string_view bytes) {
    if (lost_)
        return false;
    if (tls_ ? tls_->Write(bytes, sendTimeoutMs_) : SendAll(client, bytes))
        return true;
    lostError_ = errno;
    lost_ = true;
    ::shutdown(client, SHUT_RDWR);
    return false;
}

ssize_t TClientChannel::Receive(int client, char* into, size_t room) {
    std::lock_guard lock(mutex_);
    return tls_ ? tls_->Read(into, room) : ::recv(client, into, room, MSG_DONTWAIT);
}

bool TClientChannel::Buffered() {
    std::lock_guard lock(mutex_);
    return tls_ && tls_->Pending();
}

void TClientChannel::TakeClient(std::unique_ptr<TTlsLink> tls, int sendTimeoutMs) {
    std::lock_guard lock(mutex_);
    tls_ = std::move(tls);
    sendTimeoutMs_ = sendTimeoutMs;
    lost_ = false;
    lostError_ = 0;
}

void TClientChannel::DropClient() {
    std::lock_guard lock(mutex_);
    if (tls_)
        tls_->Close();
    tls_.reset();
}

} // namespace qdo::server
