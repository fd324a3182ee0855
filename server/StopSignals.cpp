#include "server/StopSignals.h"

#include <cerrno>
#include <poll.h>

namespace qdo::server {

namespace {

// The mask of a thread that holds them, to wait with; set by HoldStopSignals.
thread_local sigset_t waitMask;
thread_local bool waitMaskSet = false;

} // namespace

void HoldStopSignals() {
    pthread_sigmask(SIG_BLOCK, &StopSignals(), &waitMask);
    for (int signal : {SIGTERM, SIGINT, SIGQUIT, SIGHUP})
        sigdelset(&waitMask, signal);
    waitMaskSet = true;
}

TInputWait WaitForInput(int fd, int waitMs) {
    pollfd watched{fd, POLLIN, 0};
    timespec limit{waitMs / 1000, static_cast<long>(waitMs % 1000) * 1000000};
    // A thread that never held them waits with its own mask: nothing changes for it.
    const int ready =
        ::ppoll(&watched, 1, waitMs < 0 ? nullptr : &limit, waitMaskSet ? &waitMask : nullptr);
    if (ready < 0)
        return errno == EINTR ? TInputWait::Interrupted : TInputWait::Ready;
    return ready == 0 ? TInputWait::TimedOut : TInputWait::Ready;
}

} // namespace qdo::server
