#include "tools/qdo/Session.h"

#include "encodings/Mutils.h"
#include "tools/qdo/OperationLines.h"
#include "tools/qdo/Password.h"

#include <iostream>

namespace qdo::tool {

void OpenSession(TQdoConnect& connect, TServerOptions& server) {
    connect.SetServerAddress(server.Host);
    connect.SetServerPort(server.Port);
    connect.SetTls(server.Tls);
    connect.SetServers(server.Servers);
    if (!server.User.empty()) {
        if (!server.Password)
            server.Password = PasswordFor(server.User);
        connect.Authorization()->SetActive(true);
        connect.Authorization()->SetUserName(server.User);
        connect.Authorization()->SetPassword(*server.Password);
        connect.SetNameSpace(server.NameSpace); // the server starts the session there
    }
    // Every session opened, the first and one that a command opens over the server list after
    // a lost connection, works in the namespace. With a logon the create request names it.
    if (server.User.empty()) {
        connect.OnEndConnect = [&connect, line = "zn " + MText(server.NameSpace)](TObject*,
                                                                                  bool connected) {
            if (connected)
                connect.Execute(line);
        };
    }
    connect.SetActive(true);
}

namespace {

void SayNoSession(const TServerOptions& server, const std::exception& failure) {
    std::cerr << "qdo: cannot open a session on "
              << (server.Servers.empty() ? server.Host + ":" + std::to_string(server.Port)
                                         : server.Servers)
              << ": " << failure.what() << "\n";
}

} // namespace

int OpenSessionOrSay(TQdoConnect& connect, TServerOptions& server) {
    try {
        OpenSession(connect, server);
        return 0;
    } catch (const EMServerError& e) {
        std::cerr << "qdo: " << e.Message() << "\n";
        return exitMError; // no such namespace
    } catch (const EMConnectError& e) {
        if (e.ErrorCode == ceCannotChangeProperty) { // a malformed --servers list
            std::cerr << "qdo: " << e.what() << "\n";
            return exitUsage;
        }
        SayNoSession(server, e);
        return exitConnection;
    } catch (const std::exception& e) {
        SayNoSession(server, e);
        return exitConnection;
    }
}

void ReopenSession(TQdoConnect& connect, TServerOptions& server) {
    try {
        connect.SetActive(false);
    } catch (const std::exception&) {
        // The socket is closed all the same; the new session is what matters.
    }
    OpenSession(connect, server);
}

int ExitStatusOf(const std::exception& e) {
    if (dynamic_cast<const EOperationLineError*>(&e) != nullptr)
        return exitUsage; // an operations file that cannot be read: nothing was sent
    if (dynamic_cast<const EMServerError*>(&e) != nullptr)
        return exitMError;
    if (dynamic_cast<const EMConnectError*>(&e) != nullptr ||
        dynamic_cast<const EMConnectionLost*>(&e) != nullptr ||
        dynamic_cast<const ESocketError*>(&e) != nullptr)
        return exitConnection;
    return exitMError;
}

} // namespace qdo::tool
