#include "server/OutputPipe.h"

#include "protocol/Replies.h"

#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace qdo::server {

using protocol::MaxChunk;
using protocol::reply::AppendValue;

namespace {

// How long terminal output may wait for more of itself before it is sent.
constexpr int terminalLingerMs = 5;

} // namespace

TOutputPipe::TOutputPipe(TClientChannel& channel) : channel_(channel) {
    TUniqueFd writeEnd;
    if (!MakePipe(readEnd_, writeEnd, O_CLOEXEC))
        throw std::runtime_error("cannot make the output pipe");
    if (dup2(writeEnd.Get(), 1) < 0)
        throw std::runtime_error("cannot make the output pipe standard output");
    fcntl(readEnd_.Get(), F_SETFL, O_NONBLOCK);
}

void TOutputPipe::StartReader() {
    reader_.Start(readEnd_.Get(), [this](bool readable) { return OnPipe(readable); });
}

int TOutputPipe::OnPipe(bool readable) {
    const auto lock = channel_.Lock();
    if (!readable) {
        // Terminal output that has rested long enough.
        if (mode_ == TMode::Stream && !collected_.empty()) {
            channel_.SendLocked(client_, collected_);
            collected_.clear();
        }
        return -1;
    }
    DrainLocked();
    return mode_ == TMode::Stream && !collected_.empty() ? terminalLingerMs : -1;
}

void TOutputPipe::DrainLocked() {
    char block[65536];
    while (true) {
        const ssize_t n = ::read(readEnd_.Get(), block, sizeof block);
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
        channel_.SendLocked(client_, frames);
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
    const auto lock = channel_.Lock();
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
    const auto lock = channel_.Lock();
    DrainLocked();
    mode_ = TMode::Discard;
    rest.clear();
    rest.swap(collected_);
    const bool open = streamOpen_;
    streamOpen_ = false;
    return open;
}

bool TOutputPipe::SendPushed(int client, std::string_view frame) {
    const auto lock = channel_.Lock();
    if (streamOpen_ && client == client_) {
        DrainLocked();
        collected_ += '\0';
        const bool sent = channel_.SendLocked(client_, collected_);
        collected_.clear();
        streamOpen_ = false;
        mode_ = TMode::Collect;
        if (!sent)
            return false;
    }
    return channel_.SendLocked(client, frame);
}

} // namespace qdo::server
