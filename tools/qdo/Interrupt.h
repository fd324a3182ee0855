// Ctrl-C (SIGINT) for the client's long waits: the listen loop and the shell's prompt wait for it
// beside their other descriptors, and a request that waits for the server is ended by it.
#pragma once

namespace qdo::tool {

// Replaces SIGINT's default (ending the process) with a note that it came: Pending() turns true
// and FileDescriptor() becomes readable. Calls after the first do nothing.
void CatchInterrupts();
// Whether SIGINT came since the last ClearInterrupt.
bool InterruptPending() noexcept;
// Forgets SIGINTs that came so far (and empties the descriptor).
void ClearInterrupt() noexcept;
// Readable once SIGINT came, until ClearInterrupt: for poll beside other descriptors.
int InterruptDescriptor() noexcept;

// While one lives, SIGINT also shuts `socket` down both ways, so that a request that waits for
// the server (an M line that runs for ever, a terminal stream) fails at once with a lost
// connection instead of waiting. The server has no way to stop a running line (it runs on to its
// end, and its job ends then), so the session is lost to the client. Scopes do not nest.
class TRequestInterruptScope {
public:
    explicit TRequestInterruptScope(int socket) noexcept;
    ~TRequestInterruptScope();
    TRequestInterruptScope(const TRequestInterruptScope&) = delete;
    TRequestInterruptScope& operator=(const TRequestInterruptScope&) = delete;
};

} // namespace qdo::tool
