#include "server/GtmErrors.h"

#include "server/Engine.h"
#include "server/Job.h"
#include "server/Log.h"
#include "server/LogText.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace qdo::server {

namespace {

// A line longer than this is logged in pieces of this size.
constexpr size_t maxLine = 4096;

// The pipe of this process, for the exit handler.
std::atomic<TGtmErrors*> current{nullptr};

// Registered before GT.M starts, so that it runs after GT.M's exit handler has closed the
// databases (exit handlers run in the reverse order of their registration).
void AtExit() {
    if (TGtmErrors* errors = current.load())
        errors->Flush();
    if (EngineLeftUnclean())
        _exit(JobExitUnclean);
}

} // namespace

TGtmErrors::TGtmErrors() {
    realError_ = fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (realError_ < 0)
        throw std::runtime_error("cannot keep the standard error");
    TUniqueFd readEnd, writeEnd;
    if (!MakePipe(readEnd, writeEnd, O_CLOEXEC))
        throw std::runtime_error("cannot make the standard-error pipe");
    // Descriptor 2 itself stays open across exec: processes that M code starts write here too.
    if (dup2(writeEnd.Get(), 2) < 0)
        throw std::runtime_error("cannot make the standard-error pipe descriptor 2");
    readEnd_ = readEnd.Release();
    fcntl(readEnd_, F_SETFL, O_NONBLOCK);
    SetLogDescriptor(realError_);
    static const bool registered = std::atexit(AtExit) == 0;
    (void)registered;
    current = this;
}

TGtmErrors::~TGtmErrors() {
    current = nullptr;
    std::lock_guard lock(mutex_);
    dup2(realError_, 2); // the pipe's last writer in this process goes
    DrainLocked();
    if (!partial_.empty())
        LineLocked(partial_);
    partial_.clear();
    closed_ = true;
}

void TGtmErrors::Flush() {
    std::lock_guard lock(mutex_);
    if (!closed_)
        DrainLocked();
}

void TGtmErrors::StartReader() {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    std::thread reader([this] { ReadLoop(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    // The reader lives as long as the process; it ends with it.
    reader.detach();
}

void TGtmErrors::ReadLoop() {
    pollfd watched{readEnd_, POLLIN, 0};
    while (true) {
        if (::poll(&watched, 1, -1) < 0 && errno != EINTR)
            return;
        std::lock_guard lock(mutex_);
        if (closed_ || !DrainLocked())
            return;
    }
}

bool TGtmErrors::DrainLocked() {
    char block[4096];
    while (true) {
        const ssize_t n = ::read(readEnd_, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == EAGAIN;
        if (n == 0)
            return false;
        partial_.append(block, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1)
            LineLocked(partial_.substr(start, end - start));
        partial_.erase(0, start);
        while (partial_.size() >= maxLine) {
            LineLocked(partial_.substr(0, maxLine));
            partial_.erase(0, maxLine);
        }
    }
}

void TGtmErrors::LineLocked(const std::string& line) {
    if (line.find_first_not_of(" \t\r") == std::string::npos)
        return;
    // The stop the listener asked for: GT.M closes the databases as it halts.
    if (MessageMnemonic(line) == "%GTM-F-FORCEDHALT") {
        LogInfo(line);
        return;
    }
    const TLogLevel level = GtmLineLevel(line);
    if (level == TLogLevel::Error)
        NoteEngineUnclean();
    Log(level, line);
}

} // namespace qdo::server
