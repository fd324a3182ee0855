#include "classes/NotificationLoop.h"

#include "classes/Application.h"
#include "classes/Exceptions.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace qdo {

namespace {

std::mutex mainLoopMutex;
std::shared_ptr<TNotificationLoop> mainLoop;
thread_local std::shared_ptr<TNotificationLoop> threadLoop;

[[noreturn]] void ThrowSystem(const char* what) {
    throw Exception(std::string("notification loop: ") + what + ": " + std::strerror(errno));
}

} // namespace

bool TNotificationLoop::IsMainThread() noexcept {
    return gettid() == getpid();
}

std::shared_ptr<TNotificationLoop> TNotificationLoop::ForMainThread() {
    std::lock_guard lock(mainLoopMutex);
    if (!mainLoop)
        mainLoop.reset(new TNotificationLoop(getpid()));
    return mainLoop;
}

std::shared_ptr<TNotificationLoop> TNotificationLoop::ForCurrentThread() {
    if (!threadLoop)
        threadLoop = IsMainThread()
                         ? ForMainThread()
                         : std::shared_ptr<TNotificationLoop>(new TNotificationLoop(gettid()));
    return threadLoop;
}

TNotificationLoop::TNotificationLoop(pid_t owner) : owner_(owner) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0)
        ThrowSystem("epoll_create1");
    wakeup_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeup_ < 0) {
        int saved = errno;
        ::close(epoll_);
        errno = saved;
        ThrowSystem("eventfd");
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = 0;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, wakeup_, &event) != 0) {
        int saved = errno;
        ::close(wakeup_);
        ::close(epoll_);
        errno = saved;
        ThrowSystem("epoll_ctl");
    }
}

TNotificationLoop::~TNotificationLoop() {
    ::close(wakeup_);
    ::close(epoll_);
}

bool TNotificationLoop::IsOwnerThread() const noexcept {
    return gettid() == owner_;
}

void TNotificationLoop::Post(TMessage message) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(message));
    }
    const uint64_t one = 1;
    // The counter cannot overflow in practice; a full counter would still leave it readable.
    [[maybe_unused]] ssize_t n = ::write(wakeup_, &one, sizeof one);
}

TNotificationLoop::TWatchId TNotificationLoop::WatchReadable(int fd, TReadyHandler handler) {
    std::lock_guard lock(mutex_);
    const TWatchId id = nextId_++;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u64 = id;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0)
        ThrowSystem("epoll_ctl");
    watches_.emplace(id, Watch{fd, std::move(handler)});
    return id;
}

void TNotificationLoop::Rearm(TWatchId id) {
    std::lock_guard lock(mutex_);
    auto it = watches_.find(id);
    if (it == watches_.end())
        return;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u64 = id;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, it->second.fd, &event);
}

void TNotificationLoop::Unwatch(TWatchId id) {
    std::lock_guard lock(mutex_);
    auto it = watches_.find(id);
    if (it == watches_.end())
        return;
    // Fails harmlessly when the descriptor was closed already (the kernel dropped it then).
    epoll_ctl(epoll_, EPOLL_CTL_DEL, it->second.fd, nullptr);
    watches_.erase(it);
}

int TNotificationLoop::ProcessMessages() {
    return Dispatch(0);
}

int TNotificationLoop::WaitForMessages(int timeoutMs) {
    return Dispatch(timeoutMs);
}

int TNotificationLoop::RunPosted() {
    uint64_t count;
    while (::read(wakeup_, &count, sizeof count) > 0) {
    }
    std::deque<TMessage> messages;
    {
        std::lock_guard lock(mutex_);
        messages.swap(posted_);
    }
    int ran = 0;
    for (auto& message : messages) {
        try {
            message();
        } catch (...) {
            HandleApplicationException(std::current_exception());
        }
        ++ran;
    }
    return ran;
}

int TNotificationLoop::Dispatch(int timeoutMs) {
    if (!IsOwnerThread())
        throw EThread("a notification loop is pumped only by the thread that owns it");

    constexpr int batch = 64;
    epoll_event events[batch];
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int ready;
    while (true) {
        int wait = timeoutMs;
        if (timeoutMs > 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::max<int64_t>(0, left.count()));
        }
        ready = epoll_wait(epoll_, events, batch, wait);
        if (ready >= 0)
            break;
        if (errno != EINTR)
            ThrowSystem("epoll_wait");
    }

    int ran = 0;
    for (int i = 0; i < ready; ++i) {
        const TWatchId id = events[i].data.u64;
        if (id == 0) {
            ran += RunPosted();
            continue;
        }
        TReadyHandler handler;
        {
            std::lock_guard lock(mutex_);
            auto it = watches_.find(id);
            if (it == watches_.end())
                continue; // unwatched after the kernel reported it
            handler = it->second.handler;
        }
        try {
            if (handler())
                ++ran;
        } catch (...) {
            HandleApplicationException(std::current_exception());
            ++ran;
        }
    }
    return ran;
}

int ProcessMessages() {
    return TNotificationLoop::ForCurrentThread()->ProcessMessages();
}

int ProcessMessages(int timeoutMs) {
    return TNotificationLoop::ForCurrentThread()->WaitForMessages(timeoutMs);
}

int NotificationFileDescriptor() {
    return TNotificationLoop::ForCurrentThread()->FileDescriptor();
}

} // namespace qdo
