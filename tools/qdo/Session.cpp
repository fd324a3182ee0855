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
    if (!server.User.empty()) {
        if (!server.Password)
            server.Password = PasswordFor(server.User);
        connect.Authorization()->SetActive(true);
        connect.Authorization()->SetUserName(server.User);
        connect.Authorization()->SetPassword(*server.Password);
        connect.SetNameSpace(server.NameSpace); // the server starts the session there
    }
    connect.SetActive(true);
    if (server.User.empty())
        connect.Execute("zn " + MText(server.NameSpace));
}

int OpenSessionOrSay(TQdoConnect& connect, TServerOptions& server) {
    try {
        OpenSession(connect, server);
        return 0;
    } catch (const EMServerError& e) {
        std::cerr << "qdo: " << e.Message() << "\n";
        return exitMError; // no such namespace
    } catch (const std::exception& e) {
        std::cerr << "qdo: cannot open a session on " << server.Host << ":" << server.Port << ": "
                  << e.what() << "\n";
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
