// A data directory: one global directory and database file (with a before-image journal) per
// namespace, the compiled routines, and the marker of a running server.
//
//   DIR/%SYS.gld DIR/%SYS.dat DIR/%SYS.mjl   the namespace %SYS
//   DIR/USER.gld DIR/USER.dat DIR/USER.mjl   the namespace USER
//   DIR/USER.repl                            its replication instance file, when replicated
//                                            (Replication.h; GT.M's servers log in
//                                            DIR/replication/, and a rollback keeps the
//                                            transactions it took back in DIR/USER.lost)
//   DIR/obj/                                 compiled M routines
//   DIR/run/                                 mailboxes, sessions, subscriptions (Mailbox.h)
//   DIR/qdo.xc                               the external-call table of the server's M calls
//   DIR/qdo.env                              the environment of an M process on the directory
//   DIR/qdo-server.pid                       the pid of the server that serves the directory:
//                                            locked while it or any of its jobs runs, and
//                                            emptied only when it stopped cleanly
#pragma once

#include "server/GtmEnvironment.h"
#include "server/UniqueFd.h"

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace qdo::server {

// The namespace `name` (any case) of the data directory at `path`, in the upper case its
// files are named in; nothing when it has no such namespace.
std::optional<std::string> FindNamespace(const std::string& path, std::string_view name);
// The replication instance file of the namespace `nameSpace` of the data directory at `path`.
std::string InstanceFile(const std::string& path, const std::string& nameSpace);

class TDataDirectory {
public:
    TDataDirectory(std::string path, TGtmEnvironment gtm);

    const std::string& Path() const noexcept { return path_; }
    std::string GlobalDirectory(const std::string& nameSpace) const;
    // The namespaces the directory holds.
    std::vector<std::string> Namespaces() const;

    // Creates the directory and its namespaces, readable and writable by the owner only, or
    // also readable by `sharedGroup` when one is given. Fails (std::runtime_error) on a
    // directory that holds namespaces already, or when a GT.M tool fails.
    void Initialize(const std::vector<std::string>& nameSpaces,
                    std::optional<gid_t> sharedGroup = std::nullopt);

    // Makes the directory ready to serve: locks the pid file (refusing when another server
    // or jobs of an earlier one hold it), recovers the databases when the last server did not
    // stop cleanly or GT.M left a database open, refuses a database that fails its integrity
    // check, compiles the routines, and writes this process's pid: the mark that makes the next
    // start recover unless Release empties it. The lock lasts as long as the process and its
    // jobs (forked children share it; programs they start do not). Fails with
    // std::runtime_error saying why.
    void PrepareToServe();
    // Empties the pid file, once every job has ended with GT.M closing the databases cleanly:
    // the next start need not recover them.
    void Release();

private:
    std::string PidFile() const { return path_ + "/qdo-server.pid"; }
    // Takes the lock of the pid file; returns what the file held (a pid, or nothing).
    std::string Lock();
    // Whether GT.M's file header of the namespace's database says that it was not closed and
    // no process has it open any more.
    bool LeftOpen(const std::string& nameSpace);
    void Recover(const std::string& nameSpace);
    // Gives the directory and everything in it the modes of Initialize.
    void Protect(std::optional<gid_t> sharedGroup) const;
    void CheckIntegrity(const std::string& nameSpace);
    void WriteMCallsTable();
    void WriteEnvironmentFile();
    void Compile();

    std::string path_;
    TGtmEnvironment gtm_;
    TUniqueFd pidFile_; // locked, open as long as the process
};

} // namespace qdo::server
