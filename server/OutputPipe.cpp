#include "server/OutputPipe.h"

#include "protocol/Replies.h"
#include "server/Net.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace qdo::server {

using protocol::MaxChunk;
using protocol::reply::AppendValue;

namespace {

// How long terminal output may wait for more of itself before it is sent.
constexpr int terminalLingerMs = 5;

} // namespace

TOutputPipe::TOutputPipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot make the output pipe");
    if (dup2(ends[1], 1) < 0)
        throw std::runtime_error("cannot make the output pipe standard output");
    ::close(ends[1]);
    readEnd_ = ends[0];
    fcntl(readEnd_, F_SETFL, O_NONBLOCK);
}

void TOutputPipe::StartReader() {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    reader_ = std::thread([this] { ReadLoop(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    // The reader lives as long as the process; it ends with it.
    reader_.detach();
}

void TOutputPipe::ReadLoop() {
    pollfd watched{readEnd_, POLLIN, 0};
    bool lingering = false;
    while (true) {
        const int ready = ::poll(&watched, 1, lingering ? terminalLingerMs : -1);
        if (ready < 0 && errno != EINTR)
            return;
        std::lock_guard lock(mutex_);
        if (ready == 0) {
            // Terminal output that has rested long enough.
            if (mode_ == TMode::Stream && !collected_.empty()) {
                SendLocked(client_, collected_);
                collected_.clear();
            }
            lingering = false;
            continue;
        }
        DrainLocked();
        lingering = mode_ == TMode::Stream && !collected_.empty();
        if (watched.revents & POLLHUP)
            return;
    }
}

void TOutputPipe::DrainLocked() {
    char block[65536];
    while (true) {
        const ssize_t n = ::read(readEnd_, block, sizeof block);
        if (n > 0) {
            TakeLocked(block, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return; // EAGAIN: the pipe is empty; 0: nobody writes any more
    }
}

void TOutputPipe::TakeLocked(const char* bytes, size_t count) {
    switch (mode_) {
    case TMode::Discard:
        return;
    case TMode::Collect: {
        collected_.append(bytes, count);
        if (collected_.size() < MaxChunk)
            return;
        std::string frames;
        size_t whole = collected_.size() - collected_.size() % MaxChunk;
        AppendValue(frames, std::string_view(collected_).substr(0, whole));
        collected_.erase(0, whole);
        SendLocked(client_, frames);
        return;
    }
    case TMode::Stream:
        // A NUL would end the client's terminal stream: it is not output.
        for (size_t i = 0; i < count; ++i)
            if (bytes[i] != '\0')
                collected_ += bytes[i];
        return;
    }
}

void TOutputPipe::Begin(TMode mode, int client) {
    std::lock_guard lock(mutex_);
    mode_ = TMode::Discard;
    DrainLocked();
    collected_.clear();
    mode_ = mode;
    client_ = client;
    streamOpen_ = mode == TMode::Stream;
}

void TOutputPipe::Collect(int client) {
    Begin(TMode::Collect, client);
}

void TOutputPipe::Stream(int client) {
    Begin(TMode::Stream, client);
}

bool TOutputPipe::Finish(std::string& rest) {
    std::lock_guard lock(mutex_);
    DrainLocked();
    mode_ = TMode::Discard;
    rest.clear();
    rest.swap(collected_);
    const bool open = streamOpen_;
    streamOpen_ = false;
    return open;
}

bool TOutputPipe::SendLocked(int client, std::string_view bytes) {
    if (lost_)
        return false;
    if (SendAll(client, bytes))
        return true;
    lostError_ = errno;
    lost_ = true;
    ::shutdown(client, SHUT_RDWR);
    return false;
}

void TOutputPipe::TakeClient() {
    std::lock_guard lock(mutex_);
    lost_ = false;
    lostError_ = 0;
}

bool TOutputPipe::Send(int client, std::string_view bytes) {
    std::lock_guard lock(mutex_);
    return SendLocked(client, bytes);
}

bool TOutputPipe::SendPushed(int client, std::string_view frame) {
    std::lock_guard lock(mutex_);
    if (streamOpen_ && client == client_) {
        DrainLocked();
        collected_ += '\0';
        const bool sent = SendLocked(client_, collected_);
        collected_.clear();
        streamOpen_ = false;
        mode_ = TMode::Collect;
        if (!sent)
            return false;
    }
    return SendLocked(client, frame);
}

} // namespace qdo::server
