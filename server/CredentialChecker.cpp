#include "server/CredentialChecker.h"

#include <csignal>
#include <fcntl.h>
#include <sodium.h>
#include <stdexcept>
#include <unistd.h>
#include <utility>

namespace qdo::server {

TCredentialChecker::TCredentialChecker(TCredentials credentials)
    : credentials_(std::move(credentials)) {
    TCredentials::Prepare();
    if (!MakePipe(wakeRead_, wakeWrite_, O_CLOEXEC | O_NONBLOCK))
        throw std::runtime_error("no pipe for the credential checks");
    // The worker takes no signals: the listener reads them from its signal descriptor.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    worker_ = std::thread([this] { Work(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

TCredentialChecker::~TCredentialChecker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_one();
    worker_.join();
}

uint64_t TCredentialChecker::Submit(std::string user, std::string password) {
    std::lock_guard lock(mutex_);
    const uint64_t ticket = nextTicket_++;
    checks_.push_back({ticket, std::move(user), std::move(password)});
    queued_.notify_one();
    return ticket;
}

std::vector<TCredentialChecker::TAnswer> TCredentialChecker::TakeAnswers() {
    char drained[64];
    while (::read(wakeRead_.Get(), drained, sizeof drained) > 0) {
    }
    std::lock_guard lock(mutex_);
    return std::exchange(answers_, {});
}

void TCredentialChecker::Work() {
    std::unique_lock lock(mutex_);
    while (true) {
        queued_.wait(lock, [this] { return stopping_ || !checks_.empty(); });
        if (stopping_)
            return;
        TCheck check = std::move(checks_.front());
        checks_.pop_front();
        lock.unlock();
        const bool accepted = credentials_.Check(check.User, check.Password);
        sodium_memzero(check.Password.data(), check.Password.size());
        lock.lock();
        answers_.push_back({check.Ticket, accepted});
        [[maybe_unused]] ssize_t n = ::write(wakeWrite_.Get(), "", 1);
    }
}

} // namespace qdo::server
