#include "server/SpareJobs.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <utility>

namespace qdo::server {

int TSpareJobs::Missing() const {
    if (GivenUp())
        return 0;
    return std::max(0, wanted_ - static_cast<int>(spares_.size()));
}

void TSpareJobs::Add(pid_t pid, TUniqueFd control) {
    spares_.push_back({pid, std::move(control), false});
}

bool TSpareJobs::CheckReady(TSpare& spare) {
    if (spare.Ready)
        return true;
    char ready = 0;
    const ssize_t got = ::recv(spare.Control.Get(), &ready, 1, MSG_DONTWAIT);
    if (got == 1)
        spare.Ready = true;
    return got == 1 || (got < 0 && (errno == EAGAIN || errno == EINTR));
}

std::optional<TSpareJobs::TSpare> TSpareJobs::Take() {
    for (auto it = spares_.begin(); it != spares_.end();) {
        if (!CheckReady(*it)) {
            it = spares_.erase(it);
            Failed();
            continue;
        }
        if (it->Ready) {
            TSpare spare = std::move(*it);
            spares_.erase(it);
            return spare;
        }
        ++it;
    }
    return std::nullopt;
}

TSpareJobs::TEnd TSpareJobs::Ended(pid_t pid) {
    if (released_.erase(pid) != 0)
        return TEnd::Released;
    const auto it = std::find_if(spares_.begin(), spares_.end(),
                                 [pid](const TSpare& spare) { return spare.Pid == pid; });
    if (it == spares_.end())
        return TEnd::NotSpare;
    spares_.erase(it);
    Failed();
    return TEnd::Failed;
}

void TSpareJobs::Failed() {
    ++failures_;
}

void TSpareJobs::Release() {
    wanted_ = 0;
    Renew();
}

void TSpareJobs::Renew() {
    for (const TSpare& spare : spares_)
        released_.insert(spare.Pid);
    spares_.clear(); // closes every control
}

void TSpareJobs::CloseInChild() {
    spares_.clear();
}

} // namespace qdo::server
