// Where the command-line client's session goes, and how it opens one there.
#pragma once

#include "connect/Qdoconnect.h"

#include <exception>
#include <optional>
#include <string>

namespace qdo::tool {

// Exit statuses of the client.
constexpr int exitMError = 1;     // an M error, or a command that could not be done
constexpr int exitUsage = 2;      // a wrong command line
constexpr int exitConnection = 3; // the server could not be reached or the connection failed

struct TServerOptions {
    std::string Host = "127.0.0.1";
    int Port = 7001;
    std::string NameSpace = "USER";
    std::string User;                    // empty: no logon
    std::optional<std::string> Password; // asked for once, then kept for a reopen
    TTlsSettings Tls;                    // --tls and its options
    std::string Servers;                 // --servers: failover over this list, not Host and Port
};

// Opens a session on `connect` as `server` says, in its namespace; asks for the password the
// first time one is needed (see Password.h). Fails as the library does; an unknown namespace is
// an EMServerError.
void OpenSession(TQdoConnect& connect, TServerOptions& server);
// OpenSession, saying on stderr why it failed: returns 0, or the exit status of the failure
// (exitMError for an unknown namespace, exitConnection for the rest).
int OpenSessionOrSay(TQdoConnect& connect, TServerOptions& server);
// Closes what is left of the session of `connect` (without a word to the server when the
// connection is already gone) and opens a new one: local variables and a namespace switch of
// the old session do not come along.
void ReopenSession(TQdoConnect& connect, TServerOptions& server);

// The exit status of a command that failed with `e`: the connection's failures (the library's
// connection errors, a lost connection, socket errors) are 3; an M error, or what the command
// itself refused (no such BLOB, a file that cannot be written), is 1; a line of an operations
// file that is no operation (OperationLines.h) is 2, as a wrong command line.
int ExitStatusOf(const std::exception& e);

} // namespace qdo::tool
