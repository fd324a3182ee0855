#include "ServerProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <set>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qdo::test {

namespace fs = std::filesystem;

namespace {

// Runs a program to its end, its standard input read from `input` (a file; /dev/null when
// empty); its output goes to `log`.
int RunToEnd(const std::vector<std::string>& arguments, const std::string& log,
             const std::vector<std::string>& environment = {}, const std::string& input = {}) {
    std::vector<std::string> args = arguments;
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.empty() ? "/dev/null" : input.c_str(),
                                     O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

std::string ServerProcess::Program() {
    return QDO_SERVER_PROGRAM;
}

int ServerProcess::RunProgram(const std::vector<std::string>& arguments, std::string& output,
                              const std::string& input) {
    std::vector<std::string> command{Program()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return Run(command, output, input);
}

int ServerProcess::Run(const std::vector<std::string>& command, std::string& output,
                       const std::string& input, const std::vector<std::string>& environment) {
    char pattern[] = "/tmp/qdo-server-run-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("no temporary folder");
    const std::string folder = pattern;
    std::ofstream(folder + "/in", std::ios::binary) << input;
    const int status = RunToEnd(command, folder + "/out", environment, folder + "/in");
    std::ifstream in(folder + "/out", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    output = text.str();
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return status;
}

ServerProcess::ServerProcess(std::vector<std::string> options, std::string dataDirectory)
    : options_(std::move(options)) {
    if (dataDirectory.empty()) {
        char pattern[] = "/tmp/qdo-server-test-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            throw std::runtime_error("no temporary folder");
        folder_ = pattern;
        ownsFolder_ = true;
        data_ = folder_ + "/data";
        if (RunToEnd({Program(), "init", "--data", data_}, folder_ + "/server.log") != 0)
            throw std::runtime_error("qdo-server init failed:\n" + Log());
    } else {
        data_ = dataDirectory;
        folder_ = fs::path(data_).parent_path().string();
    }
    if (!Start())
        throw std::runtime_error("qdo-server did not start:\n" + Log());
}

ServerProcess::~ServerProcess() {
    Stop();
    if (ownsFolder_) {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
}

bool ServerProcess::Start() {
    int out[2];
    if (pipe(out) != 0)
        return false;
    std::vector<std::string> args{Program(), "run", "--data", data_, "--listen", "127.0.0.1:0"};
    if (geteuid() == 0)
        args.push_back("--allow-root"); // tests run as root on CI machines

    args.insert(args.end(), options_.begin(), options_.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string log = folder_ + "/server.log";
    // Started so that it gets SIGTERM (and stops its jobs) when this test process dies, also
    // when a sanitizer or a crash ends it: no server outlives its test. Between fork and exec
    // the child makes only async-signal-safe calls.
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        setpgid(0, 0);
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent)
            _exit(127);
        // Opened close-on-exec: only their copies as 0, 1 and 2 go on.
        const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int errors = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (input < 0 || errors < 0 || fcntl(out[1], F_SETFD, FD_CLOEXEC) != 0 ||
            fcntl(out[0], F_SETFD, FD_CLOEXEC) != 0 || dup2(input, 0) < 0 || dup2(out[1], 1) < 0 ||
            dup2(errors, 2) < 0)
            _exit(127);
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    const int spawned = pid_ > 0 ? 0 : errno;
    if (pid_ > 0)
        setpgid(pid_, pid_); // the child does too: the group exists whoever runs first
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        pid_ = -1;
        return false;
    }
    // The first line says where it listens. A start after a crash recovers the databases
    // first, and GT.M waits 30 s for each latch a killed process held before it takes it over.
    std::string line;
    char c;
    pollfd watched{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&watched, 1, 300000) > 0 &&
           ::read(out[0], &c, 1) == 1)
        line += c;
    ::close(out[0]);
    const std::string prefix = "listening on ";
    if (line.rfind(prefix, 0) != 0 || line.rfind(':') == std::string::npos) {
        Stop(SIGKILL);
        return false;
    }
    host_ = line.substr(prefix.size(), line.rfind(':') - prefix.size());
    port_ = std::stoi(line.substr(line.rfind(':') + 1));
    return true;
}

int ServerProcess::Stop(int signal) {
    if (pid_ <= 0)
        return -1;
    const pid_t listener = pid_;
    pid_ = -1;
    // Every job the listener has had since the stop began, each the leader of a group of its
    // own. The listener may fork a spare after a listing (before it reads its signal), so the
    // listing is taken again for as long as it lives: once it has gone its jobs are nobody's
    // children, and one not seen by then could not be found.
    std::set<pid_t> jobs;
    // Jobs are the server's own children that lead a process group of their own (each makes
    // its group at once; one listed before it has is signalled at a later listing). The GT.M
    // tools that a stopping listener runs (MUPIP stopping the replication servers) are neither:
    // they must be left to finish, also in the moment between their fork and their exec. A
    // hard kill (SIGKILL) takes every child, a job not yet in its own group too.
    const std::string program = fs::canonical(Program()).string();
    const auto signalNewJobs = [&](int which) {
        for (pid_t job : ChildrenOf(listener))
            if (std::error_code error;
                (which == SIGKILL || getpgid(job) == job) &&
                fs::read_symlink("/proc/" + std::to_string(job) + "/exe", error) == program &&
                jobs.insert(job).second)
                ::kill(-job, which);
    };
    signalNewJobs(signal);
    ::kill(-listener, signal);
    int status = 0;
    // The listener waits up to 30 s for its jobs before it gives up on them.
    constexpr int listenerWaitMs = 40000;
    pid_t ended = 0;
    for (int waited = 0; waited < listenerWaitMs; waited += 10) {
        ended = waitpid(listener, &status, WNOHANG);
        if (ended != 0 && !(ended < 0 && errno == EINTR))
            break;
        signalNewJobs(signal);
        usleep(10000);
    }
    if (ended == 0) {
        signalNewJobs(SIGKILL);
        ::kill(-listener, SIGKILL);
        ++forced_;
        while (waitpid(listener, &status, 0) < 0 && errno == EINTR) {
        }
    }
    // The jobs end with it, and what their M code started with them.
    std::set<pid_t> groups = jobs;
    groups.insert(listener);
    constexpr int jobsWaitMs = 10000;
    for (int waited = 0; waited < jobsWaitMs && LiveGroups(groups); waited += 10)
        usleep(10000);
    if (LiveGroups(groups)) {
        // Left over: a test run must not leave processes behind, even those of a fault.
        ++forced_;
        for (pid_t group : groups)
            ::kill(-group, SIGKILL);
        for (int waited = 0; waited < jobsWaitMs && LiveGroups(groups); waited += 10)
            usleep(10000);
    }
    return status;
}

std::vector<pid_t> ServerProcess::ChildrenOf(pid_t parent) {
    std::vector<pid_t> children;
    std::ifstream listing("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                          "/children");
    for (pid_t pid; listing >> pid;)
        children.push_back(pid);
    return children;
}

bool ServerProcess::LiveGroups(const std::set<pid_t>& groups) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        // "pid (name) state ppid pgrp ...": the name may hold anything; the rest follows its
        // last ')'.
        const size_t close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 1));
        char state = 0;
        pid_t parent = 0;
        pid_t group = 0;
        if (rest >> state >> parent >> group && state != 'Z' && groups.count(group) != 0)
            return true;
    }
    return false;
}

std::vector<pid_t> ServerProcess::Jobs() const {
    if (pid_ <= 0)
        return {};
    return ChildrenOf(pid_);
}

bool ServerProcess::Alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    // "pid (name) state ...": the name may hold anything, the state follows its last ')'.
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

std::string ServerProcess::Log() const {
    std::ifstream in(folder_ + "/server.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ServerProcess::RunTool(const std::vector<std::string>& arguments, int& status,
                                   const std::string& nameSpace) const {
    const std::string dist = QDO_GTM_DIST;
    const std::string output = folder_ + "/tool.out";
    std::error_code ignored;
    fs::remove(output, ignored);
    std::vector<std::string> args{dist + "/" + arguments.front()};
    args.insert(args.end(), arguments.begin() + 1, arguments.end());
    status = RunToEnd(args, output,
                      {"gtm_dist=" + dist, "gtmgbldir=" + data_ + "/" + nameSpace + ".gld",
                       "gtmroutines=" + dist + "/libgtmutil.so " + dist});
    std::ifstream in(output);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ServerProcess::RunM(const std::string& line, int& status) const {
    // The environment the server wrote for M processes of one's own: export NAME='value'.
    std::vector<std::string> environment;
    std::ifstream file(data_ + "/qdo.env");
    for (std::string text; std::getline(file, text);) {
        if (text.rfind("export ", 0) != 0)
            continue;
        const size_t equals = text.find('=');
        std::string value = text.substr(equals + 2, text.size() - equals - 3);
        for (size_t at = value.find("'\\''"); at != std::string::npos; at = value.find("'\\''"))
            value.replace(at, 4, "'");
        environment.push_back(text.substr(7, equals - 7) + "=" + value);
    }
    std::string dist;
    for (const std::string& variable : environment)
        if (variable.rfind("gtm_dist=", 0) == 0)
            dist = variable.substr(9);
    const std::string output = folder_ + "/m.out";
    std::error_code ignored;
    fs::remove(output, ignored);
    status = RunToEnd({dist + "/mumps", "-run", "%XCMD", line}, output, environment);
    std::ifstream in(output);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace qdo::test
