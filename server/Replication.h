// A data directory as GT.M replication instances, and the GT.M replication servers that a
// running qdo-server starts, checks and stops for it.
//
// Each namespace NS is an instance of its own: its global directory names the instance file
// DIR/NS.repl, and GT.M replicates it on its own connection. (GT.M's update process applies
// what it receives through one global directory, and two namespaces may hold globals of the
// same name, so one instance cannot carry them both.) Namespaces are taken in name order, the
// n-th (from 0) on replication port PORT+n; every instance of a replicated system must hold the
// same namespaces.
//
//   primary     one active source server per namespace and secondary, sending to the
//               secondary's port; with no secondary, a passive one (GT.M updates only through a
//               running source server)
//   secondary   a passive source server (so it can be promoted) and a receiver server per
//               namespace; GT.M refuses every update but the receiver's ("SCNDDBNOUPD")
//
// Every command is run here and its result checked: the operator never types a MUPIP command.
#pragma once

#include "server/DataDirectory.h"
#include "server/GtmEnvironment.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qdo::server {

// A secondary as the primary sees it: GT.M instance name, host and (first) replication port.
struct TReplica {
    std::string Name;
    std::string Host;
    uint16_t Port = 0;
};

// "NAME=HOST:PORT"; std::runtime_error saying what is wrong otherwise.
TReplica ParseReplica(const std::string& text);
// Whether `name` can name a GT.M instance: 1 to 15 letters and digits, a letter first.
bool IsInstanceName(const std::string& name);

enum class TReplicationRole { None, Primary, Secondary };

struct TReplicationPlan {
    TReplicationRole Role = TReplicationRole::None;
    std::vector<TReplica> Secondaries; // a primary's
    uint16_t Port = 0;                 // a secondary's first replication port
};

// Makes every namespace of a freshly initialised `directory` a replication instance named
// `name`. Fails (std::runtime_error) when a GT.M tool fails.
void MakeReplicationInstances(const TDataDirectory& directory, const TGtmEnvironment& gtm,
                              const std::string& name);
// Whether the namespaces of `directory` are replication instances.
bool IsReplicated(const TDataDirectory& directory);

class TReplicationServers {
public:
    TReplicationServers(const TDataDirectory& directory, TGtmEnvironment gtm,
                        TReplicationPlan plan);
    ~TReplicationServers() { Stop(); }
    TReplicationServers(const TReplicationServers&) = delete;
    TReplicationServers& operator=(const TReplicationServers&) = delete;

    // Starts the servers of the plan's role for every namespace, before any job updates the
    // databases. Fails (std::runtime_error, with GT.M's messages logged) when one does not
    // start; those already started are stopped again.
    void Start();
    // Shuts down every receiver and source server of the namespaces (once their jobs have
    // ended). Safe to call more than once.
    void Stop() noexcept;
    // One line on each namespace's replication for the log: role, sequence numbers, backlog.
    void LogStatus() const;

    // Turns the running secondary at `directory` into the primary: stops its receivers and
    // passive source servers and starts active ones towards `secondaries` (none: a passive
    // one). Its jobs can write from then on.
    static void Promote(const TDataDirectory& directory, const TGtmEnvironment& gtm,
                        const std::vector<TReplica>& secondaries);

private:
    const TDataDirectory& directory_;
    TGtmEnvironment gtm_;
    TReplicationPlan plan_;
    bool started_ = false;
};

} // namespace qdo::server
