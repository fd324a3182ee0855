#include "server/Replication.h"

#include "server/Log.h"
#include "server/Tools.h"

#include <cctype>
#include <charconv>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace qdo::server {

namespace fs = std::filesystem;

namespace {

// The journal and receive pools of each instance: 16 MiB, room for transactions of many values
// of the longest length (1 MiB) each.
const char bufferSize[] = "-buffsize=16777216";
// How a source server (re)connects to its secondary: 5 tries 0.5 s apart, then a try every
// second (GT.M's default: every 5 s), so that a secondary that comes back, or an old primary
// that has rolled back to rejoin, is served soon; heartbeats every 15 s, and a secondary that
// answers none for 60 s is taken for gone.
const char connectParameters[] = "-connectparams=5,500,1,0,15,60";
// The name a passive source server is started with: it sends to nobody.
const char passiveName[] = "passive";

// The GT.M servers' own logs, beside the data.
std::string ServerLog(const TDataDirectory& directory, const std::string& nameSpace,
                      const std::string& server) {
    return "-log=" + directory.Path() + "/replication/" + nameSpace + "-" + server + ".log";
}

// Runs MUPIP on the namespace's instance, in DIR/replication: the servers it starts keep that
// working directory, whatever the server's own.
TToolResult Mupip(const TDataDirectory& directory, const TGtmEnvironment& gtm,
                  const std::string& nameSpace, const std::vector<std::string>& arguments) {
    return RunTool(gtm.Tool("mupip"), arguments, {},
                   gtm.Variables(directory.GlobalDirectory(nameSpace)),
                   directory.Path() + "/replication");
}

// Starts the source servers of a primary for namespace number `index`: an active one per
// secondary, or a passive one when there is none.
void StartPrimarySources(const TDataDirectory& directory, const TGtmEnvironment& gtm,
                         const std::string& nameSpace, size_t index,
                         const std::vector<TReplica>& secondaries) {
    if (secondaries.empty())
        CheckTool(Mupip(directory, gtm, nameSpace,
                        {"replicate", "-source", "-start", "-passive", "-rootprimary",
                         std::string("-instsecondary=") + passiveName, bufferSize,
                         ServerLog(directory, nameSpace, "source")}),
                  "starting the source server of " + nameSpace);
    for (const TReplica& secondary : secondaries) {
        const std::string port = std::to_string(secondary.Port + index);
        CheckTool(Mupip(directory, gtm, nameSpace,
                        {"replicate", "-source", "-start", "-rootprimary",
                         "-instsecondary=" + secondary.Name,
                         "-secondary=" + secondary.Host + ":" + port, connectParameters, bufferSize,
                         ServerLog(directory, nameSpace, "source-" + secondary.Name)}),
                  "starting the source server of " + nameSpace + " towards " + secondary.Name +
                      " (" + secondary.Host + ":" + port + ")");
    }
}

// Whether a `server` ("-source" or "-receiver") of the namespace runs, as -checkhealth says it
// ("... server is alive"). Its status does not say: it succeeds with no server alive while
// sessions hold the instance's pools, and fails on a warning (a backlog) with one alive.
bool Alive(const TDataDirectory& directory, const TGtmEnvironment& gtm,
           const std::string& nameSpace, const std::string& server) {
    return Mupip(directory, gtm, nameSpace, {"replicate", server, "-checkhealth"})
               .Output.find("server is alive") != std::string::npos;
}

// Stops the namespace's receiver and source servers, whichever run, at once: what a primary's
// source server has not sent yet stays in the primary's journal only (a rejoin as secondary
// rolls it back into the lost-transactions file). MUPIP reports a failure when sessions still
// hold the pools, though the server is gone, and may return while the server is still ending;
// a receiver busy restarting itself (after an online rollback) may miss a shutdown. So each
// server is watched for up to 5 s after a shutdown, and asked again, three times at most.
void StopServers(const TDataDirectory& directory, const TGtmEnvironment& gtm,
                 const std::string& nameSpace) {
    for (const std::string server : {"-receiver", "-source"}) {
        bool alive = Alive(directory, gtm, nameSpace, server);
        for (int attempt = 0; alive && attempt < 3; ++attempt) {
            const TToolResult result =
                Mupip(directory, gtm, nameSpace, {"replicate", server, "-shutdown", "-timeout=0"});
            LogLines(TLogLevel::Debug,
                     "stopping the " + server.substr(1) + " server of " + nameSpace + ": ",
                     result.Output);
            for (int waited = 0; (alive = Alive(directory, gtm, nameSpace, server)) && waited < 50;
                 ++waited)
                usleep(100000);
        }
        if (alive)
            LogError("the " + server.substr(1) + " server of " + nameSpace +
                     " still runs after three shutdowns");
    }
}

} // namespace

bool IsInstanceName(const std::string& name) {
    if (name.empty() || name.size() > 15 || !std::isalpha(static_cast<unsigned char>(name[0])))
        return false;
    for (const char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return false;
    return true;
}

TReplica ParseReplica(const std::string& text) {
    const size_t equals = text.find('=');
    const size_t colon = text.rfind(':');
    TReplica replica;
    unsigned port = 0;
    if (equals == std::string::npos || colon == std::string::npos || colon < equals)
        throw std::runtime_error("a secondary is NAME=HOST:PORT, not '" + text + "'");
    replica.Name = text.substr(0, equals);
    replica.Host = text.substr(equals + 1, colon - equals - 1);
    const char* first = text.data() + colon + 1;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, port);
    if (!IsInstanceName(replica.Name))
        throw std::runtime_error("'" + replica.Name +
                                 "' is no instance name (1 to 15 letters and digits, a letter "
                                 "first)");
    if (replica.Host.empty() || error != std::errc() || end != last || port == 0 || port > 65535)
        throw std::runtime_error("a secondary is NAME=HOST:PORT, not '" + text + "'");
    replica.Port = static_cast<uint16_t>(port);
    return replica;
}

void MakeReplicationInstances(const TDataDirectory& directory, const TGtmEnvironment& gtm,
                              const std::string& name) {
    if (!IsInstanceName(name))
        throw std::runtime_error("'" + name +
                                 "' is no instance name (1 to 15 letters and digits, a letter "
                                 "first)");
    fs::create_directories(directory.Path() + "/replication");
    for (const std::string& nameSpace : directory.Namespaces()) {
        // The instance file is named in the global directory, so that every process on the
        // namespace (jobs switch namespaces by global directory) updates its own instance.
        CheckTool(RunTool(gtm.Tool("mumps"), {"-run", "GDE"},
                          "change -instance -file_name=" +
                              InstanceFile(directory.Path(), nameSpace) + "\nexit\n",
                          gtm.Variables(directory.GlobalDirectory(nameSpace))),
                  "naming the instance file of " + nameSpace);
        CheckTool(
            Mupip(directory, gtm, nameSpace, {"set", "-replication=on", "-region", "DEFAULT"}),
            "turning on replication for " + nameSpace);
        // MUPIP finds the instance file through gtm_repl_instance, which Variables sets
        // only once the file exists.
        std::vector<std::string> variables = gtm.Variables(directory.GlobalDirectory(nameSpace));
        variables.push_back("gtm_repl_instance=" + InstanceFile(directory.Path(), nameSpace));
        CheckTool(RunTool(gtm.Tool("mupip"),
                          {"replicate", "-instance_create", "-name=" + name, "-noreplace"}, {},
                          variables),
                  "creating the replication instance of " + nameSpace);
        LogInfo("namespace " + nameSpace + " is replication instance " + name);
    }
}

bool IsReplicated(const TDataDirectory& directory) {
    const auto names = directory.Namespaces();
    return !names.empty() && fs::exists(InstanceFile(directory.Path(), names.front()));
}

TReplicationServers::TReplicationServers(const TDataDirectory& directory, TGtmEnvironment gtm,
                                         TReplicationPlan plan)
    : directory_(directory), gtm_(std::move(gtm)), plan_(std::move(plan)) {}

void TReplicationServers::Start() {
    if (plan_.Role == TReplicationRole::None)
        return;
    const auto names = directory_.Namespaces();
    // Namespace n takes the n-th port from each first one.
    const auto fits = [&](uint16_t first) { return first + names.size() - 1 <= 65535; };
    bool portsFit = plan_.Role != TReplicationRole::Secondary || fits(plan_.Port);
    for (const TReplica& secondary : plan_.Secondaries)
        portsFit = portsFit && fits(secondary.Port);
    if (!portsFit)
        throw std::runtime_error("a replication port plus the " + std::to_string(names.size()) +
                                 " namespaces' ports runs past 65535");
    started_ = true; // from here on, Stop cleans up what did start
    for (size_t index = 0; index < names.size(); ++index) {
        const std::string& nameSpace = names[index];
        try {
            // Servers that a server killed before it could stop them left running.
            if (Alive(directory_, gtm_, nameSpace, "-source") ||
                Alive(directory_, gtm_, nameSpace, "-receiver")) {
                LogWarning("stopping the replication servers of " + nameSpace +
                           " that an earlier server left running");
                StopServers(directory_, gtm_, nameSpace);
            }
            if (plan_.Role == TReplicationRole::Primary) {
                StartPrimarySources(directory_, gtm_, nameSpace, index, plan_.Secondaries);
                continue;
            }
            CheckTool(Mupip(directory_, gtm_, nameSpace,
                            {"replicate", "-source", "-start", "-passive", "-propagateprimary",
                             std::string("-instsecondary=") + passiveName, bufferSize,
                             ServerLog(directory_, nameSpace, "source")}),
                      "starting the passive source server of " + nameSpace);
            // -autorollback: an old primary that rejoins rolls back what the new primary
            // never had (GT.M keeps it in DIR/NS.lost, beside the journal) before it takes
            // the new history.
            const std::string port = std::to_string(plan_.Port + index);
            CheckTool(
                Mupip(directory_, gtm_, nameSpace,
                      {"replicate", "-receiver", "-start", "-listenport=" + port, "-autorollback",
                       bufferSize, ServerLog(directory_, nameSpace, "receiver")}),
                "starting the receiver server of " + nameSpace + " on port " + port);
        } catch (...) {
            Stop();
            throw;
        }
    }
    LogInfo(std::string("replication: ") +
            (plan_.Role == TReplicationRole::Primary ? "primary" : "secondary") +
            " of every namespace (" + std::to_string(names.size()) + ")");
    LogStatus();
}

void TReplicationServers::Stop() noexcept {
    if (!started_)
        return;
    started_ = false;
    try {
        for (const std::string& nameSpace : directory_.Namespaces())
            StopServers(directory_, gtm_, nameSpace);
        LogInfo("replication servers stopped");
    } catch (const std::exception& e) {
        LogError(std::string("stopping the replication servers: ") + e.what());
    }
}

void TReplicationServers::LogStatus() const {
    for (const std::string& nameSpace : directory_.Namespaces()) {
        const bool receiving = plan_.Role == TReplicationRole::Secondary;
        const TToolResult result =
            Mupip(directory_, gtm_, nameSpace,
                  {"replicate", receiving ? "-receiver" : "-source", "-showbacklog"});
        LogLines(TLogLevel::Info, "replication of " + nameSpace + ": ", result.Output);
    }
}

void TReplicationServers::Promote(const TDataDirectory& directory, const TGtmEnvironment& gtm,
                                  const std::vector<TReplica>& secondaries) {
    const auto names = directory.Namespaces();
    for (size_t index = 0; index < names.size(); ++index) {
        const std::string& nameSpace = names[index];
        // A secondary has a receiver; without one, this is no running secondary.
        if (!Alive(directory, gtm, nameSpace, "-receiver"))
            throw std::runtime_error(
                "namespace " + nameSpace + " of " + directory.Path() +
                " has no running receiver server: promote a secondary that qdo-server serves");
        // (MUPIP's status fails when sessions hold the receive pool: whether the server is gone
        // says more.)
        const TToolResult receiver =
            Mupip(directory, gtm, nameSpace, {"replicate", "-receiver", "-shutdown", "-timeout=0"});
        if (Alive(directory, gtm, nameSpace, "-receiver")) {
            LogLines(TLogLevel::Error, "stopping the receiver server of " + nameSpace + ": ",
                     receiver.Output);
            throw std::runtime_error("the receiver server of " + nameSpace + " does not stop");
        }
        // The sessions of the running server hold the journal pool, which GT.M made for a
        // secondary: only activating the passive source server makes it a root primary's. That
        // server, named for nobody, then makes way for the real ones.
        CheckTool(Mupip(directory, gtm, nameSpace,
                        {"replicate", "-source", "-activate", "-rootprimary",
                         std::string("-instsecondary=") + passiveName, "-secondary=127.0.0.1:1"}),
                  "activating the source server of " + nameSpace);
        Mupip(directory, gtm, nameSpace,
              {"replicate", "-source", "-shutdown", "-timeout=0",
               std::string("-instsecondary=") + passiveName});
        StartPrimarySources(directory, gtm, nameSpace, index, secondaries);
        LogInfo("namespace " + nameSpace + " is the primary now");
    }
}

} // namespace qdo::server
