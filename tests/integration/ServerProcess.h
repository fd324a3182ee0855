// Runs qdo-server for a test: a fresh data directory, a free port, and a clean stop.
//
// The server runs as the leader of a process group of its own, and each of its jobs leads one of
// its own (with what its M code started), so that Stop can signal them all at once. Its log goes
// to server.log beside the data directory.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qdo::test {

class ServerProcess {
public:
    // Initialises a new data directory under a fresh temporary folder (unless `dataDirectory`
    // names one that exists) and starts the server on it with `options`.
    explicit ServerProcess(std::vector<std::string> options = {}, std::string dataDirectory = {});
    // Stops the server with SIGTERM and removes what it made.
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    int32_t Port() const { return port_; }
    // The address it listens on, as it printed it.
    const std::string& Host() const { return host_; }
    const std::string& DataDirectory() const { return data_; }
    pid_t Pid() const { return pid_; }

    // Starts the server (again) on the same data directory; false when it does not come up.
    bool Start();
    // Signals the listener's process group and each job's, waits for the listener to end and
    // for every job it had meanwhile (and what their M code started) to be gone; returns the
    // listener's status. What is still there after the waits (a hung process) is killed with
    // SIGKILL, and counted in Forced.
    int Stop(int signal = 15);
    // How many times a stop had to kill what did not end by itself.
    int Forced() const { return forced_; }
    // The listener's child processes now: its jobs.
    std::vector<pid_t> Jobs() const;
    // Whether a process is alive: it exists and is no zombie.
    static bool Alive(pid_t pid);
    // The server's log so far.
    std::string Log() const;
    // Runs `program` (a GT.M tool) with the data directory's environment for `nameSpace`.
    std::string RunTool(const std::vector<std::string>& arguments, int& status,
                        const std::string& nameSpace = "USER") const;

    // Runs the M command line `line` in a mumps process of its own on the data directory, with
    // the environment the server wrote for such processes; returns what it printed.
    std::string RunM(const std::string& line, int& status) const;

    static std::string Program();
    // Runs qdo-server with `arguments` to its end, `input` on its standard input; returns its
    // exit status, with what it wrote to stdout and stderr in `output`.
    static int RunProgram(const std::vector<std::string>& arguments, std::string& output,
                          const std::string& input = {});
    // Runs `command` (its program's path first) the same way, with `environment` (NAME=VALUE)
    // added to this process's.
    static int Run(const std::vector<std::string>& command, std::string& output,
                   const std::string& input = {}, const std::vector<std::string>& environment = {});

private:
    static std::vector<pid_t> ChildrenOf(pid_t parent);
    // Whether a process of one of the process groups `groups` is alive (and no zombie).
    static bool LiveGroups(const std::set<pid_t>& groups);

    std::vector<std::string> options_;
    std::string folder_;
    std::string data_;
    bool ownsFolder_ = false;
    pid_t pid_ = -1;
    std::string host_;
    int32_t port_ = 0;
    int forced_ = 0;
};

} // namespace qdo::test
