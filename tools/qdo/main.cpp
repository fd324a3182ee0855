// qdo: the command-line client of an M database server (qdo-server).
//
//   qdo [--host H] [--port P | --servers LIST] [--namespace NS] [--user U] [TLS] [--raw] COMMAND
//       ARGUMENTS
//   qdo [--host H] [--port P | --servers LIST] [--namespace NS] [--user U] [TLS] [shell]
//
// where TLS is --tls [--tls-ca FILE|DIR] [--tls-server-name NAME]
// [--tls-cert FILE --tls-key FILE] [--tls-no-verify].
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
    app.add_option("--servers", server.Servers,
                   "fail over: try these servers in order, host:port,host:port,... (in place "
                   "of --host and --port)");
    app.add_option("-n,--namespace", server.NameSpace, "namespace to work in (default USER)");
    app.add_option("-u,--user", server.User,
                   "log on as this user; the password comes from QDO_PASSWORD or is asked on the "
                   "terminal");
    // TLS: each option but --tls implies it, so that a forgotten --tls never means plain TCP.
    app.add_flag("--tls", server.Tls.Enabled,
                 "speak TLS 1.3 to the server (started with --tls-cert/--tls-key)");
    app.add_option("--tls-ca", server.Tls.Authorities,
                   "trust the authorities of this PEM file or hashed directory (default: the "
                   "system's store)");
    app.add_option("--tls-server-name", server.Tls.ServerName,
                   "the name the server's certificate must carry (default: --host)");
    auto* certificate = app.add_option("--tls-cert", server.Tls.CertificateFile,
                                       "a client certificate (PEM), for a server that asks for one")
                            ->check(CLI::ExistingFile);
    auto* key =
        app.add_option("--tls-key", server.Tls.KeyFile, "the client certificate's key (PEM)")
            ->check(CLI::ExistingFile);
    certificate->needs(key);
    key->needs(certificate);
    bool noVerify = false;
    app.add_flag("--tls-no-verify", noVerify,
                 "take any certificate from the server (insecure; a warning on each connect)");
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
    if (noVerify)
        server.Tls.Verify = false;
    if (!server.Tls.Authorities.empty() || !server.Tls.ServerName.empty() ||
        !server.Tls.CertificateFile.empty() || noVerify)
        server.Tls.Enabled = true;
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
