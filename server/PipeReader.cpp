#include "server/PipeReader.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <utility>

namespace qdo::server {

TPipeReader::TPipeReader() {
    if (!MakePipe(stopRead_, stopWrite_, O_CLOEXEC))
        throw std::runtime_error("cannot make the output reader's stop pipe");
}

TPipeReader::~TPipeReader() {
    if (!thread_.joinable())
        return;
    stopWrite_.Reset(); // the thread sees the stop pipe's end
    thread_.join();
}

void TPipeReader::Start(int readEnd, THandler handler) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    thread_ = std::thread([this, readEnd, handler = std::move(handler)] { Run(readEnd, handler); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void TPipeReader::Run(int readEnd, const THandler& handler) {
    pollfd watched[2] = {{readEnd, POLLIN, 0}, {stopRead_.Get(), POLLIN, 0}};
    int waitMs = -1;
    while (true) {
        const int ready = ::poll(watched, 2, waitMs);
        if (ready < 0 && errno != EINTR)
            return;
        if (watched[1].revents != 0)
            return; // stopped
        if (ready < 0)
            continue;
        waitMs = handler(ready > 0);
        if (watched[0].revents & POLLHUP)
            return;
    }
}

} // namespace qdo::server
