#include "server/Tools.h"

#include "server/Log.h"
#include "server/UniqueFd.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qdo::server {

TToolResult RunTool(const std::string& program, const std::vector<std::string>& arguments,
                    const std::string& input, const std::vector<std::string>& environment,
                    const std::string& workingDirectory) {
    TToolResult result;
    // The tool's standard input (it reads inRead) and output (it writes outWrite).
    TUniqueFd inRead, inWrite, outRead, outWrite;
    if (!MakePipe(inRead, inWrite, O_CLOEXEC) || !MakePipe(outRead, outWrite, O_CLOEXEC))
        return result;
    // A variable of `environment` replaces an inherited one of that name: with both, the tool
    // would take the first (an operator's own gtmgbldir, say, naming another database).
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view inherited(*e);
        const std::string_view name = inherited.substr(0, inherited.find('=') + 1);
        bool replaced = false;
        for (const std::string& own : environment)
            replaced = replaced || std::string_view(own).substr(0, name.size()) == name;
        if (!replaced)
            env.emplace_back(*e);
    }
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inRead.Get(), 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), 1);
    posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), 2);
    if (!workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    inRead.Reset();
    outWrite.Reset();
    if (spawned != 0) {
        result.Output = program + ": " + std::strerror(spawned);
        return result;
    }
    // Feed the input and gather the output together, so that neither side blocks the other.
    size_t fed = 0;
    if (input.empty())
        inWrite.Reset();
    char block[4096];
    while (true) {
        pollfd fds[2] = {{outRead.Get(), POLLIN, 0}, {inWrite.Get(), POLLOUT, 0}};
        if (::poll(fds, inWrite.Valid() ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (inWrite.Valid() && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = ::write(inWrite.Get(), input.data() + fed, input.size() - fed);
            if (n > 0)
                fed += static_cast<size_t>(n);
            if (n < 0 || fed == input.size())
                inWrite.Reset();
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            const ssize_t n = ::read(outRead.Get(), block, sizeof block);
            if (n <= 0)
                break;
            result.Output.append(block, static_cast<size_t>(n));
        }
    }
    inWrite.Reset();
    outRead.Reset();
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

void CheckTool(const TToolResult& result, const std::string& what) {
    if (result.Status == 0)
        return;
    LogLines(TLogLevel::Error, what + ": ", result.Output);
    throw std::runtime_error(what + " failed (status " + std::to_string(result.Status) +
                             "; the tool's messages are above)");
}

} // namespace qdo::server
