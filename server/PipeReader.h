// A thread that waits on the read end of a pipe and tells a handler when it is readable or has
// rested for the time the handler asked. It runs with all signals blocked (they reach the job's
// main thread), and its owner's destructor stops and joins it: it never outlives what it calls.
#pragma once

#include "server/UniqueFd.h"

#include <functional>
#include <thread>

namespace qdo::server {

class TPipeReader {
public:
    // Called on the thread: `readable` true when the pipe has bytes (or its writers are gone),
    // false when the wait asked for has passed. Returns how long to wait next (-1: no limit).
    using THandler = std::function<int(bool readable)>;

    // Makes the pipe that stops the thread at once, not at Start: a restricted job may make no
    // pipe once GT.M has started (see Restriction.h). Fails with std::runtime_error.
    TPipeReader();
    // Stops the thread, if it runs, and waits for it.
    ~TPipeReader();
    TPipeReader(const TPipeReader&) = delete;
    TPipeReader& operator=(const TPipeReader&) = delete;

    // Starts the thread on `readEnd` (lent: it must outlive this).
    void Start(int readEnd, THandler handler);

private:
    void Run(int readEnd, const THandler& handler);

    TUniqueFd stopRead_; // readable once the owner stops the thread
    TUniqueFd stopWrite_;
    std::thread thread_;
};

} // namespace qdo::server
