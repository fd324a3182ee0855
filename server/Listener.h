// The listener: accepts clients and starts a job process for each. It never starts GT.M itself;
// each job does, after it has forked.
#pragma once

#include "server/DataDirectory.h"
#include "server/Job.h"

#include <cstdint>
#include <string>

namespace qdo::server {

struct TServerSettings {
    std::string Host = "127.0.0.1";
    uint16_t Port = 7001;
    bool Inline = false; // accept clients on the first connection instead of redirecting them
    int MaxJobs = 64;
    TJobSettings Job;
};

// Serves until SIGTERM or SIGINT, then stops every job (with SIGTERM) and returns the exit
// status. Prints "listening on HOST:PORT" as the first line on stdout once it listens.
int RunListener(TDataDirectory& data, const TServerSettings& settings);

} // namespace qdo::server
