// The way to a job's client: every write to the client socket goes through here, under one lock,
// so that replies, output and pushed messages never interleave; and so do the job's reads of it,
// since a TLS connection may be read and written by one thread at a time only.
//
// A send that fails (the client is gone, or took nothing for the job's send time-out) loses the
// client: the socket is shut down, which also ends a receive that waits on it, and every later
// send fails at once instead of waiting again, until the next client is taken.
#pragma once

#include "server/TlsLink.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string_view>
#include <sys/types.h>

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
    // Up to `room` bytes the client has sent, without waiting: as recv gives them (-1 with errno
    // EAGAIN: none yet). Receive and Buffered are the job's main thread's, which alone takes and
    // drops clients: for a plain client they take no lock.
    ssize_t Receive(int client, char* into, size_t room);
    // Whether bytes of the client wait in the TLS link, which a wait on the socket would miss.
    bool Buffered();

    // Whether a send to the client failed, and with which errno (EAGAIN: its time-out).
    bool Lost() const { return lost_; }
    int LostError() const { return lostError_; }
    // A new client (a re-attach) is taken: sends go out again, through `tls` when it has one
    // (its socket non-blocking), each wait for room at most `sendTimeoutMs`.
    void TakeClient(std::unique_ptr<TTlsLink> tls, int sendTimeoutMs);
    // The client is let go (its socket is closed next): its TLS link goes.
    void DropClient();

private:
    std::mutex mutex_;
    std::atomic<bool> lost_ = false;
    std::atomic<int> lostError_ = 0;
    std::unique_ptr<TTlsLink> tls_; // set and reset by the main thread only, under the lock
    int sendTimeoutMs_ = 30000;
};

} // namespace qdo::server
