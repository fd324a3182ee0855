#include "tools/qdo/Interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace qdo::tool {

namespace {

// What the handler touches: lock-free atomics and a pipe, all safe in a signal handler.
std::atomic<bool> pending{false};
std::atomic<int> requestSocket{-1};
int pipeRead = -1;
int pipeWrite = -1;

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

void OnInterrupt(int) {
    const int saved = errno;
    pending.store(true);
    const int socket = requestSocket.load();
    if (socket >= 0)
        ::shutdown(socket, SHUT_RDWR);
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(pipeWrite, &byte, 1); // full: already readable
    errno = saved;
}

} // namespace

void CatchInterrupts() {
    if (pipeRead >= 0)
        return;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("cannot make the pipe that notes Ctrl-C");
    pipeRead = ends[0];
    pipeWrite = ends[1];
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a blocking read of the terminal returns EINTR
    sigaction(SIGINT, &action, nullptr);
}

bool InterruptPending() noexcept {
    return pending.load();
}

void ClearInterrupt() noexcept {
    pending.store(false);
    char bytes[64];
    while (pipeRead >= 0 && ::read(pipeRead, bytes, sizeof bytes) > 0) {
    }
}

int InterruptDescriptor() noexcept {
    return pipeRead;
}

TRequestInterruptScope::TRequestInterruptScope(int socket) noexcept {
    requestSocket.store(socket);
}

TRequestInterruptScope::~TRequestInterruptScope() {
    requestSocket.store(-1);
}

} // namespace qdo::tool
