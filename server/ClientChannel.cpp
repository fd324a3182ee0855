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
    if (SendAll(client, bytes))
        return true;
    lostError_ = errno;
    lost_ = true;
    ::shutdown(client, SHUT_RDWR);
    return false;
}

void TClientChannel::TakeClient() {
    std::lock_guard lock(mutex_);
    lost_ = false;
    lostError_ = 0;
}

} // namespace qdo::server
