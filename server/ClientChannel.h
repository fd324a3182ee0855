// The way to a job's client: every write to the client socket goes through here, under one lock,
// so that replies, output and pushed messages never interleave.
//
// A send that fails (the client is gone, or took nothing for the job's send time-out, set on its
// socket) loses the client: the socket is shut down, which also ends a receive that waits on it,
// and every later send fails at once instead of waiting again, until the next client is taken.
#pragma once

#include <atomic>
#include <mutex>
#include <string_view>

namespace qdo::server {

class TClientChannel {
public:
    TClientChannel() = default;
    TClientChannel(const TClientChannel&) = delete;
    TClientChannel& operator=(const TClientChannel&) = delete;

    // Sends bytes to `client` (lent: the job owns it); false when it is lost.
    bool Send(int client, std::string_view bytes);
    // The send lock, for a caller that must decide and send with nothing in between (it guards
    // the job's output state too: see OutputPipe.h).
    std::unique_lock<std::mutex> Lock() { return std::unique_lock(mutex_); }
    // Send, with the lock held by the caller.
    bool SendLocked(int client, std::string_view bytes);

    // Whether a send to the client failed, and with which errno (EAGAIN: its time-out).
    bool Lost() const { return lost_; }
    int LostError() const { return lostError_; }
    // A new client (a re-attach) is taken: sends go out again.
    void TakeClient();

private:
    std::mutex mutex_;
    std::atomic<bool> lost_ = false;
    std::atomic<int> lostError_ = 0;
};

} // namespace qdo::server
