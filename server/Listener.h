// The listener: does every client's handshake itself, and starts a job process only for a
// session that is real: after a valid logon (redirect mode) or the first request (inline mode).
// It never starts GT.M itself; each job does, after it has forked. It also takes the cancels and
// re-attaches that clients send to its port.
#pragma once

#include "server/Credentials.h"
#include "server/DataDirectory.h"
#include "server/Job.h"
#include "server/Replication.h"
#include "server/UniqueFd.h"

#include <cstdint>
#include <optional>
#include <string>

namespace qdo::server {

struct TServerSettings {
    std::string Host = "127.0.0.1";
    uint16_t Port = 7001;
    bool Inline = false;   // accept clients on the first connection instead of redirecting them
    int MaxJobs = 64;      // jobs that serve a session
    int MaxPending = 4096; // handshakes under way (connections and ports without a job)
    int SpareJobs = 2;     // jobs started ahead, so that a session need not wait for GT.M
    // When set, a client must send a create request whose credentials these accept before it
    // gets a job; else clients are anonymous.
    std::optional<TCredentials> Credentials;
    int MaxAuthFailures = 10;  // failed logons from one host within a minute before it waits
    int RefusalDelayMs = 1000; // every refused logon is answered this long after it arrived
    TJobSettings Job;
    // A replicated data directory's GT.M replication servers, started already: the listener
    // logs their state every ReplicationStatusMs and stops them once its jobs have ended.
    TReplicationServers* Replication = nullptr;
    int ReplicationStatusMs = 60000;
};

// Serves the clients of the bound socket `listening` until SIGTERM or SIGINT, then stops
// every job (with SIGTERM) and returns the exit status. Prints "listening on HOST:PORT" as
// the first line on stdout.
int RunListener(TDataDirectory& data, const TServerSettings& settings, TUniqueFd listening);

} // namespace qdo::server
