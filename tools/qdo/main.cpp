// qdo: the command-line client of an M database server (qdo-server), one command a run.
//
//   qdo [--host H] [--port P] [--namespace NS] [--user U] [--raw] COMMAND ARGUMENTS
//
// Exit status: 0 done, 1 the server reported an M error (or the command could not be done: no
// such BLOB, a file that cannot be written), 2 the command line is wrong, 3 the server could
// not be reached or the connection failed; the library's message goes to stderr.
#include "encodings/Mutils.h"
#include "sockets/Sockets2.h"
#include "tools/qdo/Commands.h"
#include "tools/qdo/Password.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>
#include <iostream>
#include <iterator>
#include <string>

namespace {

constexpr int exitMError = 1;
constexpr int exitUsage = 2;
constexpr int exitConnection = 3;

// VALUE as given, or standard input whole (binary-safe) for "-".
std::string ValueOf(const std::string& argument) {
    if (argument != "-")
        return argument;
    std::string value;
    char block[65536];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, stdin)) > 0)
        value.append(block, n);
    return value;
}

// The exit status of a command that failed with `e`: the connection's failures (the library's
// connection errors, socket errors) are 3; an M error, or what the command itself refused (no
// such BLOB, a file that cannot be written), is 1.
int ExitStatusOf(const std::exception& e) {
    if (dynamic_cast<const qdo::EMServerError*>(&e) != nullptr)
        return exitMError;
    if (dynamic_cast<const qdo::EMConnectError*>(&e) != nullptr ||
        dynamic_cast<const qdo::ESocketError*>(&e) != nullptr)
        return exitConnection;
    return exitMError;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"qdo: a command-line client of an M database server (qdo-server)"};
    std::string host = "127.0.0.1";
    int port = 7001;
    std::string nameSpace = "USER";
    std::string user;
    qdo::tool::TOutput output;
    app.add_option("-H,--host", host, "server host (default 127.0.0.1)");
    app.add_option("-p,--port", port, "server port (default 7001)")->check(CLI::Range(1, 65535));
    app.add_option("-n,--namespace", nameSpace, "namespace to work in (default USER)");
    app.add_option("-u,--user", user,
                   "log on as this user; the password comes from QDO_PASSWORD or is asked on the "
                   "terminal");
    app.add_flag("--raw", output.Raw, "print values byte for byte, with no line feed");
    app.require_subcommand(1);

    std::string reference, value, line;
    std::function<void(qdo::TQdoConnect&)> command;
    const auto withReference = [&](const char* name, const char* help) {
        CLI::App* sub = app.add_subcommand(name, help);
        sub->add_option("REF", reference, "a variable: ^Global(subscripts...) or a local")
            ->required();
        return sub;
    };
    withReference("get", "print the value of a variable")->callback([&] {
        command = [&](qdo::TQdoConnect& c) { qdo::tool::Get(c, reference, output); };
    });
    withReference("set", "set a variable: VALUE, or standard input for -")
        ->callback([&] {
            command = [&](qdo::TQdoConnect& c) { qdo::tool::Set(c, reference, ValueOf(value)); };
        })
        ->add_option("VALUE", value, "the value, or - to read it from standard input")
        ->required();
    withReference("kill", "kill a variable and its subtree")->callback([&] {
        command = [&](qdo::TQdoConnect& c) { qdo::tool::Kill(c, reference); };
    });
    CLI::App* walk = withReference("walk", "print every node of a subtree");
    walk->add_flag("--json", output.Json, "print a JSON array of {reference, value}");
    walk->callback(
        [&] { command = [&](qdo::TQdoConnect& c) { qdo::tool::Walk(c, reference, output); }; });
    app.add_subcommand("x", "run an M command line and print what it wrote")
        ->callback([&] { command = [&](qdo::TQdoConnect& c) { qdo::tool::Execute(c, line); }; })
        ->add_option("LINE", line, "the command line")
        ->required();
    app.add_subcommand("t", "run an M command line, printing what it writes as it writes it")
        ->callback([&] { command = [&](qdo::TQdoConnect& c) { qdo::tool::Terminal(c, line); }; })
        ->add_option("LINE", line, "the command line")
        ->required();

    CLI::App* blob = app.add_subcommand("blob", "move files in and out of BLOBs on the server");
    blob->require_subcommand(1);
    std::string file, blobName;
    int32_t blobId = 0;
    CLI::App* put = blob->add_subcommand("put", "store FILE as a new BLOB; prints its identifier");
    put->add_option("FILE", file, "the file")->required()->check(CLI::ExistingFile);
    put->add_option("--name", blobName, "the BLOB's name (default: the file's name)");
    put->callback(
        [&] { command = [&](qdo::TQdoConnect& c) { qdo::tool::BlobPut(c, file, blobName); }; });
    CLI::App* getBlob = blob->add_subcommand("get", "write BLOB ID into FILE");
    getBlob->add_option("ID", blobId, "the BLOB's identifier")->required();
    getBlob->add_option("FILE", file, "the file (made anew)")->required();
    getBlob->callback(
        [&] { command = [&](qdo::TQdoConnect& c) { qdo::tool::BlobGet(c, blobId, file); }; });
    blob->add_subcommand("rm", "delete BLOB ID")
        ->callback(
            [&] { command = [&](qdo::TQdoConnect& c) { qdo::tool::BlobRemove(c, blobId); }; })
        ->add_option("ID", blobId, "the BLOB's identifier")
        ->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : exitUsage;
    }

    qdo::TQdoConnect connect;
    try {
        connect.SetServerAddress(host);
        connect.SetServerPort(port);
        if (!user.empty()) {
            connect.Authorization()->SetActive(true);
            connect.Authorization()->SetUserName(user);
            connect.Authorization()->SetPassword(qdo::tool::PasswordFor(user));
            connect.SetNameSpace(nameSpace); // the server starts the session there
        }
        connect.SetActive(true);
        if (user.empty())
            connect.Execute("zn " + qdo::MText(nameSpace));
    } catch (const qdo::EMServerError& e) {
        std::cerr << "qdo: " << e.Message() << "\n";
        return exitMError; // no such namespace
    } catch (const std::exception& e) {
        std::cerr << "qdo: cannot open a session on " << host << ":" << port << ": " << e.what()
                  << "\n";
        return exitConnection;
    }
    try {
        command(connect);
        std::fflush(stdout);
        connect.SetActive(false);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "qdo: " << e.what() << "\n";
        return ExitStatusOf(e);
    }
}
