// qdo: the command-line client of an M database server (qdo-server).
//
//   qdo [--host H] [--port P] [--namespace NS] [--user U] [--raw] COMMAND ARGUMENTS
//   qdo [--host H] [--port P] [--namespace NS] [--user U] [shell]
//
// With a command it runs that one command; without one (or with "shell") it reads commands from
// standard input (see Shell.h). Exit status: 0 done, 1 the server reported an M error (or the
// command could not be done: no such BLOB, a file that cannot be written), 2 the command line
// is wrong, 3 the server could not be reached or the connection failed; the library's message
// goes to stderr.
#include "tools/qdo/CommandLine.h"
#include "tools/qdo/Interrupt.h"
#include "tools/qdo/Session.h"
#include "tools/qdo/Shell.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    using namespace qdo::tool;
    CLI::App app{"qdo: a command-line client of an M database server (qdo-server)"};
    TServerOptions server;
    TOutput output;
    app.add_option("-H,--host", server.Host, "server host (default 127.0.0.1)");
    app.add_option("-p,--port", server.Port, "server port (default 7001)")
        ->check(CLI::Range(1, 65535));
    app.add_option("-n,--namespace", server.NameSpace, "namespace to work in (default USER)");
    app.add_option("-u,--user", server.User,
                   "log on as this user; the password comes from QDO_PASSWORD or is asked on the "
                   "terminal");
    app.add_flag("--raw", output.Raw, "print values byte for byte, with no line feed");
    app.require_subcommand(0, 1);
    TCommandSet commands(app, output, TCommandSet::TPlace::CommandLine);
    bool shell = false;
    app.add_subcommand("shell", "read commands from standard input (the default without a "
                                "command): on a terminal with line editing and history")
        ->callback([&] { shell = true; });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : exitUsage;
    }
    if (shell || !commands.Chosen)
        return RunShell(server, output);

    qdo::TQdoConnect connect;
    if (const int status = OpenSessionOrSay(connect, server); status != 0)
        return status;
    try {
        commands.Chosen(connect);
        std::fflush(stdout);
        connect.SetActive(false);
        return 0;
    } catch (const std::exception& e) {
        std::fflush(stdout);
        if (InterruptPending()) { // Ctrl-C during listen's requests
            std::cerr << "qdo: interrupted\n";
            return 130;
        }
        std::cerr << "qdo: " << e.what() << "\n";
        return ExitStatusOf(e);
    }
}
