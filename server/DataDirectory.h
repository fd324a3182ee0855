// A data directory: one global directory and database file (with a before-image journal) per
// namespace, the compiled routines, and the marker of a running server.
//
//   DIR/%SYS.gld DIR/%SYS.dat DIR/%SYS.mjl   the namespace %SYS
//   DIR/USER.gld DIR/USER.dat DIR/USER.mjl   the namespace USER
//   DIR/obj/                                 compiled M routines
//   DIR/run/                                 mailboxes, sessions, subscriptions (Mailbox.h)
//   DIR/qdo.xc                               the external-call table of the server's M calls
//   DIR/qdo.env                              the environment of an M process on the directory
//   DIR/qdo-server.pid                       present while a server runs on the directory
#pragma once

#include "server/GtmEnvironment.h"

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace qdo::server {

// The namespace `name` (any case) of the data directory at `path`, in the upper case its
// files are named in; nothing when it has no such namespace.
std::optional<std::string> FindNamespace(const std::string& path, std::string_view name);

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

    // Makes the directory ready to serve: refuses when another server runs on it, recovers
    // the databases of a server that did not stop cleanly, compiles the routines, and marks
    // the directory as in use by this process.
    void PrepareToServe();
    // Removes the mark of a server that stops cleanly.
    void Release();

private:
    std::string PidFile() const { return path_ + "/qdo-server.pid"; }
    void Recover(const std::string& nameSpace);
    // Gives the directory and everything in it the modes of Initialize.
    void Protect(std::optional<gid_t> sharedGroup) const;
    void WriteMCallsTable();
    void WriteEnvironmentFile();
    void Compile();

    std::string path_;
    TGtmEnvironment gtm_;
};

} // namespace qdo::server
