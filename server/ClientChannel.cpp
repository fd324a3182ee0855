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
    if (SendAll(client, tls_.get(), bytes, sendTimeoutMs_))
        return true;
    lostError_ = errno;
    lost_ = true;
    ::shutdown(client, SHUT_RDWR);
    return false;
}

ssize_t TClientChannel::Receive(int client, char* into, size_t room) {
    if (!tls_) // plain TCP: nothing to share with the sending threads
        return ReceiveNow(client, nullptr, into, room);
    std::lock_guard lock(mutex_);
    return ReceiveNow(client, tls_.get(), into, room);
}

bool TClientChannel::Buffered() {
    if (!tls_)
        return false;
    std::lock_guard lock(mutex_);
    return tls_->Pending();
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
