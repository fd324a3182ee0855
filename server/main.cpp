// qdo-server: a reference server for the qdo client library over GT.M.
//
//   qdo-server init --data DIR [--namespace NAME]...
//   qdo-server run --data DIR [--listen HOST:PORT] [--inline] [--insecure-anonymous]
//                  [--max-request BYTES] [--max-jobs N] [--handshake-timeout SECONDS]
//                  [--idle-timeout SECONDS] [--session-timeout SECONDS]
//                  [--callback-timeout SECONDS] [--max-pending N]
//                  [--request-timeout SECONDS] [--send-timeout SECONDS]
//                  [--max-job-memory MIB] [--restrict]
//                  [--log-level error|warning|info|debug]
#include "server/DataDirectory.h"
#include "server/Listener.h"
#include "server/Log.h"

#include <arpa/inet.h>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

using namespace qdo::server;

namespace {

const char usage[] =
    "usage: qdo-server init --data DIR [--namespace NAME]...\n"
    "       qdo-server run --data DIR [--listen HOST:PORT] [--inline] [--insecure-anonymous]\n"
    "                      [--max-request BYTES] [--max-jobs N] [--handshake-timeout SECONDS]\n"
    "                      [--idle-timeout SECONDS] [--session-timeout SECONDS]\n"
    "                      [--callback-timeout SECONDS] [--max-pending N]\n"
    "                      [--request-timeout SECONDS] [--send-timeout SECONDS]\n"
    "                      [--max-job-memory MIB] [--restrict]\n"
    "                      [--log-level error|warning|info|debug]\n"
    "\n"
    "  --idle-timeout      seconds an attached client may stay silent (default 3600; 0: for ever)\n"
    "  --request-timeout   seconds a request may take to arrive once begun (default 30)\n"
    "  --send-timeout      seconds a reply may wait for the client to read (default 30)\n"
    "  --max-job-memory    MiB of memory a job may take beyond its start (default 256)\n"
    "  --restrict          client code may not start processes (ZSYSTEM, PIPE devices, JOB)\n";

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

bool IsLoopback(const std::string& host) {
    in_addr address{};
    return inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

int Init(Arguments& args) {
    std::string data;
    std::vector<std::string> nameSpaces;
    while (args.More()) {
        const std::string option = args.Next("");
        if (option == "--data")
            data = args.Next(option);
        else if (option == "--namespace")
            nameSpaces.push_back(args.Next(option));
        else
            throw std::runtime_error("unknown option " + option);
    }
    if (data.empty())
        throw std::runtime_error("init needs --data DIR");
    if (nameSpaces.empty())
        nameSpaces = {"%SYS", "USER"};
    TDataDirectory directory(data, TGtmEnvironment::Find(data));
    directory.Initialize(nameSpaces);
    return 0;
}

int Run(Arguments& args) {
    std::string data;
    bool anonymousAnywhere = false;
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
        } else if (option == "--insecure-anonymous") {
            anonymousAnywhere = true;
        } else if (option == "--max-request") {
            settings.Job.MaxRequest =
                static_cast<size_t>(Number(args.Next(option), option, 1024, 1L << 30));
        } else if (option == "--max-jobs") {
            settings.MaxJobs = static_cast<int>(Number(args.Next(option), option, 1, 100000));
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
        } else if (option == "--restrict") {
            settings.Job.Restrict = true;
        } else if (option == "--max-pending") {
            settings.MaxPending = static_cast<int>(Number(args.Next(option), option, 1, 1000000));
        } else if (option == "--log-level") {
            TLogLevel level;
            if (!ParseLogLevel(args.Next(option), level))
                throw std::runtime_error("--log-level takes error, warning, info or debug");
            SetLogLevel(level);
        } else if (option == "--auth") {
            throw std::runtime_error("--auth: this build of the server does not check credentials");
        } else {
            throw std::runtime_error("unknown option " + option);
        }
    }
    if (data.empty())
        throw std::runtime_error("run needs --data DIR");
    if (!IsLoopback(settings.Host) && !anonymousAnywhere)
        throw std::runtime_error(
            "without credentials the server listens on loopback addresses only "
            "(add --insecure-anonymous to listen on " +
            settings.Host + ")");
    const TGtmEnvironment gtm = TGtmEnvironment::Find(data);
    TDataDirectory directory(data, gtm);
    settings.Job.DataDirectory = directory.Path();
    directory.PrepareToServe();
    gtm.Apply(directory.GlobalDirectory("%SYS"));
    return RunListener(directory, settings);
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
        std::fputs(usage, stderr);
        return command.empty() || command == "--help" ? 0 : 2;
    } catch (const std::exception& e) {
        LogError(e.what());
        return 1;
    }
}
