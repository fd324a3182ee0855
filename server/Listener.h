// The listener: does every client's handshake itself, and starts a job process only for a
// session that is real: after a valid logon (redirect mode) or the first request (inline mode).
// It never starts GT.M itself; each job does, after it has forked. It also takes the cancels and
// re-attaches that clients send to its port.
#pragma once

#include "server/DataDirectory.h"
#include "server/Job.h"

#include <cstdint>
#include <string>

namespace qdo::server {

struct TServerSettings {
    std::string Host = "127.0.0.1";
    uint16_t Port = 7001;
    bool Inline = false;   // accept clients on the first connection instead of redirecting them
    int MaxJobs = 64;      // jobs that serve a session
    int MaxPending = 4096; // handshakes under way (connections and ports without a job)
    TJobSettings Job;
};

// Serves until SIGTERM or SIGINT, then stops every job (with SIGTERM) and returns the exit
// status. Prints "listening on HOST:PORT" as the first line on stdout once it listens.
int RunListener(TDataDirectory& data, const TServerSettings& settings);

} // namespace qdo::server
