#include "server/Listener.h"

#include "protocol/Replies.h"
#include "server/Log.h"
#include "server/Net.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qdo::server {

using protocol::reply::Frame;

namespace {

// How long a stopping listener waits for its jobs.
constexpr int stopWaitMs = 30000;

// Makes descriptor 0 read /dev/null: M code that reads its principal device gets nothing.
void DetachStandardInput() {
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0 && null != 0) {
        dup2(null, 0);
        ::close(null);
    }
}

class Listener {
public:
    Listener(TDataDirectory& data, const TServerSettings& settings)
        : data_(data), settings_(settings) {}

    int Run() {
        listener_ = ListenOn(settings_.Host, settings_.Port, 128);
        std::printf("listening on %s\n", LocalAddress(listener_).c_str());
        std::fflush(stdout);
        LogInfo("listening on " + LocalAddress(listener_) + (settings_.Inline ? " (inline)" : "") +
                " for " + data_.Path());

        sigset_t handled;
        sigemptyset(&handled);
        sigaddset(&handled, SIGTERM);
        sigaddset(&handled, SIGINT);
        sigaddset(&handled, SIGCHLD);
        sigprocmask(SIG_BLOCK, &handled, &original_);
        signals_ = signalfd(-1, &handled, SFD_CLOEXEC);

        while (true) {
            pollfd watched[2] = {{listener_, POLLIN, 0}, {signals_, POLLIN, 0}};
            if (::poll(watched, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (watched[1].revents & POLLIN) {
                signalfd_siginfo info{};
                if (::read(signals_, &info, sizeof info) == sizeof info) {
                    if (info.ssi_signo == SIGCHLD)
                        Reap();
                    else
                        return Stop();
                }
            }
            if (watched[0].revents & POLLIN)
                AcceptOne();
        }
        return Stop();
    }

private:
    void AcceptOne() {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            return;
        const std::string peer = PeerAddress(client);
        Reap();
        if (static_cast<int>(jobs_.size()) >= settings_.MaxJobs) {
            LogWarning("refused " + peer + ": " + std::to_string(settings_.MaxJobs) +
                       " jobs run already");
            SendAll(client, Frame("<NO JOB>"));
            ::close(client);
            return;
        }
        try {
            if (settings_.Inline)
                StartInline(client, peer);
            else
                StartRedirected(client, peer);
        } catch (const std::exception& e) {
            LogError("cannot start a job for " + peer + ": " + e.what());
            SendAll(client, Frame("<NO JOB>"));
        }
        ::close(client);
    }

    // The job gets a port of its own on the interface the client came in on; the client is
    // told to reconnect there and log on with a one-use token.
    void StartRedirected(int client, const std::string& peer) {
        const int jobListener = ListenOn(LocalHost(client), 0, 8);
        const std::string token = RandomToken();
        const pid_t pid = Fork([&] {
            ::close(client);
            TJob job(settings_.Job);
            return job.ServeAfterLogon(jobListener, token);
        });
        const uint16_t port = LocalPort(jobListener);
        ::close(jobListener);
        if (pid < 0) {
            SendAll(client, Frame("<NO JOB>"));
            return;
        }
        LogInfo("job " + std::to_string(pid) + " on port " + std::to_string(port) + " for " + peer);
        SendAll(client, Frame("<CONNECT>:" + std::to_string(port) + ":" + token));
    }

    void StartInline(int client, const std::string& peer) {
        const std::string token = RandomToken();
        const pid_t pid = Fork([&] {
            TJob job(settings_.Job);
            SendAll(client, Frame("<OK>:" + token));
            LogInfo("session opened for " + peer);
            return job.Serve(client);
        });
        if (pid < 0) {
            SendAll(client, Frame("<NO JOB>"));
            return;
        }
        LogInfo("job " + std::to_string(pid) + " for " + peer);
    }

    // Starts a job process running `body`; -1 when it cannot.
    template <typename Body>
    pid_t Fork(Body&& body) {
        const pid_t pid = fork();
        if (pid != 0) {
            if (pid > 0)
                jobs_.insert(pid);
            return pid;
        }
        // The job: its own signal handling (GT.M's), no listener descriptors.
        sigprocmask(SIG_SETMASK, &original_, nullptr);
        ::close(signals_);
        ::close(listener_);
        SetLogRole("job");
        int status = 1;
        try {
            DetachStandardInput();
            status = body();
        } catch (const std::exception& e) {
            LogError(e.what());
        }
        std::fflush(nullptr);
        _exit(status);
    }

    void Reap() {
        int status = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
            jobs_.erase(pid);
            if (WIFSIGNALED(status))
                LogWarning("job " + std::to_string(pid) + " ended by signal " +
                           std::to_string(WTERMSIG(status)));
            else
                LogDebug("job " + std::to_string(pid) + " ended with status " +
                         std::to_string(WEXITSTATUS(status)));
        }
    }

    int Stop() {
        LogInfo("stopping: " + std::to_string(jobs_.size()) + " jobs to end");
        ::close(listener_);
        for (pid_t pid : jobs_)
            ::kill(pid, SIGTERM);
        // Jobs end at their next safe point; a job that does not end in time is left, and the
        // directory keeps its mark so that the next start recovers it.
        for (int waited = 0; !jobs_.empty() && waited < stopWaitMs; waited += 10) {
            Reap();
            if (!jobs_.empty())
                usleep(10000);
        }
        if (!jobs_.empty()) {
            std::string left;
            for (pid_t pid : jobs_)
                left += " " + std::to_string(pid);
            LogError("jobs did not end within " + std::to_string(stopWaitMs / 1000) + " s:" + left);
            return 1;
        }
        data_.Release();
        LogInfo("stopped");
        return 0;
    }

    TDataDirectory& data_;
    const TServerSettings& settings_;
    int listener_ = -1;
    int signals_ = -1;
    sigset_t original_{};
    std::set<pid_t> jobs_;
};

} // namespace

int RunListener(TDataDirectory& data, const TServerSettings& settings) {
    Listener listener(data, settings);
    return listener.Run();
}

} // namespace qdo::server
