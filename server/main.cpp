// qdo-server: a reference server for the qdo client library over GT.M.
#include "server/Credentials.h"
#include "server/DataDirectory.h"
#include "server/Listener.h"
#include "server/Log.h"
#include "server/Net.h"
#include "server/PasswordInput.h"
#include "server/Privileges.h"
#include "server/Replication.h"

#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sodium.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace qdo::server;

namespace {

const char usage[] =
    "usage: qdo-server init --data DIR [--namespace NAME]... [--group GROUP]\n"
    "                       [--replication INSTANCE]\n"
    "       qdo-server run --data DIR [--listen HOST:PORT] [--inline]\n"
    "                      [--auth FILE] [--max-auth-failures N] [--insecure-anonymous]\n"
    "                      [--tls-cert FILE --tls-key FILE [--tls-client-ca FILE]]\n"
    "                      [--insecure-plaintext]\n"
    "                      [--user NAME] [--allow-root]\n"
    "                      [--max-request BYTES] [--max-jobs N] [--spare-jobs N]\n"
    "                      [--handshake-timeout SECONDS]\n"
    "                      [--idle-timeout SECONDS] [--session-timeout SECONDS]\n"
    "                      [--callback-timeout SECONDS] [--max-pending N]\n"
    "                      [--request-timeout SECONDS] [--send-timeout SECONDS]\n"
    "                      [--max-job-memory MIB] [--restrict | --no-restrict]\n"
    "                      [--log-level error|warning|info|debug]\n"
    "                      [--primary [--replicate-to NAME=HOST:PORT]... |\n"
    "                       --secondary PORT] [--replication-status SECONDS]\n"
    "       qdo-server promote --data DIR [--replicate-to NAME=HOST:PORT]...\n"
    "       qdo-server passwd --auth FILE USER [--remove]\n"
    "         (the password is asked on the terminal, or read as the first line of stdin)\n"
    "\n"
    "  --idle-timeout      seconds an attached client may stay silent (default 3600; 0: for ever)\n"
    "  --request-timeout   seconds a request may take to arrive once begun (default 30)\n"
    "  --send-timeout      seconds a reply may wait for the client to read (default 30)\n"
    "  --max-job-memory    MiB of memory a job may take beyond its start (default 256)\n"
    "  --restrict          client code may not start processes (ZSYSTEM, PIPE devices, JOB);\n"
    "                      the default without --auth on a non-loopback address\n"
    "  --no-restrict       client code may start processes, also then\n"
    "  --tls-cert, --tls-key  TLS 1.3 on every port (PEM files; re-read on SIGHUP)\n"
    "  --tls-client-ca     clients must show a certificate that these authorities signed\n"
    "  --insecure-plaintext  --auth on a non-loopback address without TLS\n"
    "  --replication       init: every namespace becomes a GT.M replication instance\n"
    "  --primary           run a replicated directory as the primary, sending to each\n"
    "  --replicate-to      secondary NAME (its instance) at HOST:PORT (its --secondary port)\n"
    "  --secondary PORT    run it as a read-only secondary, taking replication on PORT\n"
    "                      (namespace n, in name order from 0, on PORT+n)\n"
    "  (docs/server.md has every option)\n";

struct Arguments {
    std::vector<std::string> items;
    size_t at = 0;
    bool More() const { return at < items.size(); }
    std::string Next(const std::string& option) {
        if (at >= items.size())
            throw std::runtime_error(option + " needs a value");
        return items[at++];
    }
};

long Number(const std::string& text, const std::string& option, long low, long high) {
    long value = 0;
    auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size() || value < low ||
        value > high)
        throw std::runtime_error(option + " takes a number from " + std::to_string(low) + " to " +
                                 std::to_string(high));
    return value;
}

int Init(Arguments& args) {
    std::string data;
    std::vector<std::string> nameSpaces;
    std::optional<gid_t> group;
    std::string instance;
    while (args.More()) {
        const std::string option = args.Next("");
        if (option == "--data")
            data = args.Next(option);
        else if (option == "--namespace")
            nameSpaces.push_back(args.Next(option));
        else if (option == "--group")
            group = FindGroup(args.Next(option));
        else if (option == "--replication")
            instance = args.Next(option);
        else
            throw std::runtime_error("unknown option " + option);
    }
    if (data.empty())
        throw std::runtime_error("init needs --data DIR");
    if (!instance.empty() && !IsInstanceName(instance))
        throw std::runtime_error("--replication takes an instance name: 1 to 15 letters and "
                                 "digits, a letter first");
    if (nameSpaces.empty())
        nameSpaces = {"%SYS", "USER"};
    umask(group ? 027 : 077);
    const TGtmEnvironment gtm = TGtmEnvironment::Find(data);
    TDataDirectory directory(data, gtm);
    directory.Initialize(nameSpaces, group);
    if (!instance.empty())
        MakeReplicationInstances(directory, gtm, instance);
    return 0;
}

// Adds, changes (`qdo-server passwd --auth FILE USER`) or removes (`--remove`) a user.
int Passwd(Arguments& args) {
    std::string file;
    std::string user;
    bool remove = false;
    while (args.More()) {
        const std::string option = args.Next("");
        if (option == "--auth")
            file = args.Next(option);
        else if (option == "--remove")
            remove = true;
        else if (option.rfind("--", 0) == 0 || !user.empty())
            throw std::runtime_error("unknown option " + option);
        else
            user = option;
    }
    if (file.empty() || user.empty())
        throw std::runtime_error("passwd needs --auth FILE and a user name");
    if (!TCredentials::IsUserName(user))
        throw std::runtime_error("a user name is 1 to 64 printable characters, without ':' or "
                                 "spaces");
    TCredentials credentials = TCredentials::Load(file, true);
    if (remove) {
        if (!credentials.Remove(user))
            throw std::runtime_error("no user " + user + " in " + file);
        credentials.Save(file);
        std::fprintf(stderr, "removed user %s\n", user.c_str());
        return 0;
    }
    const bool known = credentials.Has(user);
    std::string password = ReadNewPassword(user);
    credentials.SetPassword(user, password);
    sodium_memzero(password.data(), password.size());
    credentials.Save(file);
    std::fprintf(stderr, known ? "changed the password of %s\n" : "added user %s\n", user.c_str());
    return 0;
}

// The credentials file of `run --auth`: readable, and writable by its owner only, since
// whoever can write it can let anyone in.
TCredentials LoadCredentials(const std::string& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0)
        throw std::runtime_error("--auth: cannot read " + file +
                                 " (create it with: qdo-server passwd --auth " + file + " USER)");
    if (info.st_mode & 022)
        throw std::runtime_error("--auth: " + file +
                                 " is writable by others than its owner; chmod 600 it");
    TCredentials credentials = TCredentials::Load(file);
    if (credentials.Size() == 0)
        throw std::runtime_error("--auth: " + file + " names no user");
    if (info.st_mode & 004)
        LogWarning("--auth: " + file + " is readable by every user; chmod 600 it");
    return credentials;
}

int Run(Arguments& args) {
    std::string data;
    std::string authFile;
    std::string serviceUser;
    bool anonymousAnywhere = false;
    bool plaintextAnywhere = false;
    TTlsFiles tlsFiles;
    bool allowRoot = false;
    std::optional<bool> restrict;
    TReplicationPlan replication;
    TServerSettings settings;
    settings.Job.MaxRequest = 2 * 1048576 + 65536; // a 1 MiB value with a long name, and room
    while (args.More()) {
        const std::string option = args.Next("");
        if (option == "--data") {
            data = args.Next(option);
        } else if (option == "--listen") {
            const std::string where = args.Next(option);
            const size_t colon = where.rfind(':');
            if (colon == std::string::npos)
                throw std::runtime_error("--listen takes HOST:PORT");
            settings.Host = where.substr(0, colon);
            settings.Port =
                static_cast<uint16_t>(Number(where.substr(colon + 1), option, 0, 65535));
        } else if (option == "--inline") {
            settings.Inline = true;
        } else if (option == "--auth") {
            authFile = args.Next(option);
        } else if (option == "--max-auth-failures") {
            settings.MaxAuthFailures = static_cast<int>(Number(args.Next(option), option, 1, 1000));
        } else if (option == "--insecure-anonymous") {
            anonymousAnywhere = true;
        } else if (option == "--tls-cert") {
            tlsFiles.Certificate = args.Next(option);
        } else if (option == "--tls-key") {
            tlsFiles.Key = args.Next(option);
        } else if (option == "--tls-client-ca") {
            tlsFiles.ClientAuthorities = args.Next(option);
        } else if (option == "--insecure-plaintext") {
            plaintextAnywhere = true;
        } else if (option == "--user") {
            serviceUser = args.Next(option);
        } else if (option == "--allow-root") {
            allowRoot = true;
        } else if (option == "--max-request") {
            settings.Job.MaxRequest =
                static_cast<size_t>(Number(args.Next(option), option, 1024, 1L << 30));
        } else if (option == "--max-jobs") {
            settings.MaxJobs = static_cast<int>(Number(args.Next(option), option, 1, 100000));
        } else if (option == "--spare-jobs") {
            settings.SpareJobs = static_cast<int>(Number(args.Next(option), option, 0, 64));
        } else if (option == "--handshake-timeout") {
            settings.Job.HandshakeTimeoutMs =
                static_cast<int>(Number(args.Next(option), option, 1, 3600) * 1000);
        } else if (option == "--idle-timeout") {
            settings.Job.IdleTimeoutMs =
                static_cast<int>(Number(args.Next(option), option, 0, 2000000) * 1000);
        } else if (option == "--session-timeout") {
            settings.Job.SessionTimeoutMs =
                static_cast<int>(Number(args.Next(option), option, 1, 2000000) * 1000);
        } else if (option == "--callback-timeout") {
            settings.Job.CallbackTimeoutMs =
                static_cast<int>(Number(args.Next(option), option, 1, 2000000) * 1000);
        } else if (option == "--request-timeout") {
            settings.Job.RequestTimeoutMs =
                static_cast<int>(Number(args.Next(option), option, 1, 3600) * 1000);
        } else if (option == "--send-timeout") {
            settings.Job.SendTimeoutMs =
                static_cast<int>(Number(args.Next(option), option, 1, 3600) * 1000);
        } else if (option == "--max-job-memory") {
            settings.Job.MaxMemoryMiB =
                static_cast<size_t>(Number(args.Next(option), option, 32, 1048576));
        } else if (option == "--restrict" || option == "--no-restrict") {
            restrict = option == "--restrict";
        } else if (option == "--max-pending") {
            settings.MaxPending = static_cast<int>(Number(args.Next(option), option, 1, 1000000));
        } else if (option == "--primary") {
            replication.Role = TReplicationRole::Primary;
        } else if (option == "--replicate-to") {
            replication.Secondaries.push_back(ParseReplica(args.Next(option)));
        } else if (option == "--secondary") {
            replication.Role = TReplicationRole::Secondary;
            replication.Port = static_cast<uint16_t>(Number(args.Next(option), option, 1, 65535));
        } else if (option == "--replication-status") {
            settings.ReplicationStatusMs =
                static_cast<int>(Number(args.Next(option), option, 1, 86400) * 1000);
        } else if (option == "--log-level") {
            TLogLevel level;
            if (!ParseLogLevel(args.Next(option), level))
                throw std::runtime_error("--log-level takes error, warning, info or debug");
            SetLogLevel(level);
        } else {
            throw std::runtime_error("unknown option " + option);
        }
    }
    if (data.empty())
        throw std::runtime_error("run needs --data DIR");
    if (!replication.Secondaries.empty() && replication.Role != TReplicationRole::Primary)
        throw std::runtime_error("--replicate-to is for a primary: add --primary");
    const std::string address = ResolveHost(settings.Host);
    // Clients without credentials from beyond this machine: strangers.
    const bool strangers = authFile.empty() && !IsLoopbackAddress(address);
    if (strangers && !anonymousAnywhere)
        throw std::runtime_error(
            "without --auth the server listens on loopback addresses only (add "
            "--insecure-anonymous to let anyone who reaches " +
            settings.Host + " in without credentials)");
    const bool tls = !tlsFiles.Certificate.empty() || !tlsFiles.Key.empty();
    if (tls && (tlsFiles.Certificate.empty() || tlsFiles.Key.empty()))
        throw std::runtime_error("TLS needs both --tls-cert FILE and --tls-key FILE");
    if (!tls && !tlsFiles.ClientAuthorities.empty())
        throw std::runtime_error("--tls-client-ca needs --tls-cert and --tls-key");
    if (tls && settings.Inline)
        throw std::runtime_error("--inline cannot serve TLS (a TLS connection cannot be handed "
                                 "to a job); leave out --inline");
    // Passwords from beyond this machine travel encrypted, unless told otherwise.
    if (!authFile.empty() && !tls && !IsLoopbackAddress(address) && !plaintextAnywhere)
        throw std::runtime_error("--auth on " + settings.Host +
                                 " without TLS would send passwords in clear: add --tls-cert and "
                                 "--tls-key (or --insecure-plaintext to send them so anyway)");
    if (tls)
        settings.Job.Tls = std::make_shared<TTlsContext>(tlsFiles);
    if (!authFile.empty())
        settings.Credentials = LoadCredentials(authFile);
    // Unless told otherwise, strangers' code starts no processes.
    settings.Job.Restrict = restrict.value_or(strangers);
    std::optional<TServiceUser> dropTo;
    if (!serviceUser.empty())
        dropTo = FindUser(serviceUser);
    else if (geteuid() == 0 && !allowRoot)
        throw std::runtime_error(
            "the server does not run as root: its clients' M code could do anything root can. "
            "Start it as a service user, or as root with --user NAME to become one after "
            "binding its port (--allow-root runs it as root anyway)");

    // The port is bound first, so that a service user can serve a privileged port.
    TUniqueFd listening = ListenOn(address, settings.Port, 1024);
    if (dropTo) {
        struct stat info {};
        if (::stat(data.c_str(), &info) == 0 && info.st_uid != dropTo->Uid)
            throw std::runtime_error(data + " does not belong to " + dropTo->Name + " (chown -R " +
                                     dropTo->Name + " " + data + ")");
        DropPrivileges(*dropTo);
    }
    if (geteuid() == 0)
        LogWarning("running as root (--allow-root): clients' M code runs as root too");
    if (!authFile.empty() && !tls && !IsLoopbackAddress(address))
        LogWarning("listening on " + address +
                   " without TLS (--insecure-plaintext): passwords and data travel in clear");
    if (strangers)
        LogWarning("listening on " + address +
                   " without credentials (--insecure-anonymous): anyone who can reach the port "
                   "can run any M code" +
                   (settings.Job.Restrict ? "" : " and any shell command") + " as user " +
                   std::to_string(geteuid()) +
                   (settings.Job.Restrict
                        ? ", reading and changing all data (--restrict keeps it from starting "
                          "processes)"
                        : ""));

    const TGtmEnvironment gtm = TGtmEnvironment::Find(data);
    TDataDirectory directory(data, gtm);
    struct stat info {};
    umask(::stat(directory.Path().c_str(), &info) == 0 && (info.st_mode & 070) ? 027 : 077);
    settings.Job.DataDirectory = directory.Path();
    const bool replicated = IsReplicated(directory);
    if (replicated != (replication.Role != TReplicationRole::None))
        throw std::runtime_error(
            replicated
                ? data + " is a replication instance: run it with --primary or --secondary PORT"
                : data + " is no replication instance (init --replication NAME makes one)");
    directory.PrepareToServe();
    gtm.Apply(directory.GlobalDirectory("%SYS"));
    // A session reads the replication state of its namespace's instance ($$status^qdorepl);
    // before it enters one, that of the first namespace (every one has the same role). None
    // that the operator's environment names.
    if (replicated)
        setenv("gtm_repl_instance",
               InstanceFile(directory.Path(), directory.Namespaces().front()).c_str(), 1);
    else
        unsetenv("gtm_repl_instance");
    TReplicationServers servers(directory, gtm, replication);
    servers.Start();
    if (replicated)
        settings.Replication = &servers;
    return RunListener(directory, settings, std::move(listening));
}

// Turns the running secondary at DIR into the primary (`qdo-server promote --data DIR`).
int Promote(Arguments& args) {
    std::string data;
    std::vector<TReplica> secondaries;
    while (args.More()) {
        const std::string option = args.Next("");
        if (option == "--data")
            data = args.Next(option);
        else if (option == "--replicate-to")
            secondaries.push_back(ParseReplica(args.Next(option)));
        else
            throw std::runtime_error("unknown option " + option);
    }
    if (data.empty())
        throw std::runtime_error("promote needs --data DIR");
    const TGtmEnvironment gtm = TGtmEnvironment::Find(data);
    const TDataDirectory directory(data, gtm);
    if (!IsReplicated(directory))
        throw std::runtime_error(data + " is no replication instance");
    TReplicationServers::Promote(directory, gtm, secondaries);
    LogInfo(data + " is the primary; restart its server with --primary from now on");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // A client that goes away is noticed through failed sends, never through a signal.
    std::signal(SIGPIPE, SIG_IGN);
    Arguments args;
    for (int i = 2; i < argc; ++i)
        args.items.emplace_back(argv[i]);
    const std::string command = argc > 1 ? argv[1] : "";
    SetLogRole(command == "run" ? "listener" : "server");
    try {
        if (command == "init")
            return Init(args);
        if (command == "run")
            return Run(args);
        if (command == "passwd")
            return Passwd(args);
        if (command == "promote")
            return Promote(args);
        std::fputs(usage, stderr);
        return command.empty() || command == "--help" ? 0 : 2;
    } catch (const std::exception& e) {
        LogError(e.what());
        return 1;
    }
}
