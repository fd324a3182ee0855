#include "classes/Thread.h"

#include "classes/Application.h"
#include "classes/Exceptions.h"
#include "classes/NotificationLoop.h"

#include <chrono>
#include <memory>
#include <unistd.h>
#include <vector>

namespace qdo {

namespace {

// A method that a thread waits to run on the main thread.
struct SyncJob {
    std::function<void()> method;
    std::exception_ptr error;
    bool done = false;
    std::mutex mutex;
    std::condition_variable changed;
};

std::mutex syncMutex;
std::vector<std::shared_ptr<SyncJob>> syncQueue;

} // namespace

TThread::TThread() = default;

TThread::~TThread() {
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            // Freed on its own thread after Execute (FreeOnTerminate).
            thread_.detach();
            return;
        }
        Terminate();
        Resume();
        {
            std::unique_lock lock(mutex_);
            WaitUntilFinished(lock);
        }
        thread_.join();
    }
}

void TThread::WaitUntilFinished(std::unique_lock<std::mutex>& lock) {
    if (!TNotificationLoop::IsMainThread()) {
        changed_.wait(lock, [this] { return finished_; });
        return;
    }
    // The thread may be waiting for the main thread to run a synchronised method.
    while (!changed_.wait_for(lock, std::chrono::milliseconds(5), [this] { return finished_; })) {
        lock.unlock();
        CheckSynchronize();
        lock.lock();
    }
}

void TThread::Resume() {
    std::unique_lock lock(mutex_);
    if (finished_)
        return;
    suspended_ = false;
    if (started_) {
        changed_.notify_all();
        return;
    }
    started_ = true;
    thread_ = std::thread([this] { Run(); });
}

void TThread::Suspend() {
    std::unique_lock lock(mutex_);
    if (!started_ || finished_)
        return;
    if (thread_.get_id() != std::this_thread::get_id())
        throw EThread("Cannot suspend a running thread from another thread");
    suspended_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !suspended_; });
}

bool TThread::Suspended() const {
    std::lock_guard lock(mutex_);
    return suspended_;
}

void TThread::Terminate() {
    std::lock_guard lock(mutex_);
    terminated_ = true;
}

bool TThread::Terminated() const {
    std::lock_guard lock(mutex_);
    return terminated_;
}

bool TThread::Finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

std::exception_ptr TThread::FatalException() const {
    std::lock_guard lock(mutex_);
    return fatal_;
}

int32_t TThread::WaitFor() {
    std::unique_lock lock(mutex_);
    if (started_ && thread_.get_id() == std::this_thread::get_id())
        throw EThread("A thread cannot wait for itself");
    if (freeOnTerminate_)
        throw EThread("Cannot wait for a thread that frees itself");
    if (!started_)
        throw EThread("Cannot wait for a thread that was never started");
    WaitUntilFinished(lock);
    return returnValue_;
}

void TThread::Run() {
    {
        std::lock_guard lock(mutex_);
        threadId_ = gettid();
    }
    try {
        Execute();
    } catch (...) {
        std::lock_guard lock(mutex_);
        fatal_ = std::current_exception();
    }
    if (OnTerminate) {
        try {
            Synchronize([this] { OnTerminate(this); });
        } catch (...) {
            HandleApplicationException(std::current_exception());
        }
    }
    bool freeSelf;
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
        suspended_ = false;
        freeSelf = freeOnTerminate_;
        changed_.notify_all();
    }
    if (freeSelf)
        delete this;
}

void TThread::Synchronize(const TThreadMethod& method) {
    if (TNotificationLoop::IsMainThread()) {
        method();
        return;
    }
    auto job = std::make_shared<SyncJob>();
    job->method = method;
    {
        std::lock_guard lock(syncMutex);
        syncQueue.push_back(job);
    }
    TNotificationLoop::ForMainThread()->Post([] { CheckSynchronize(); });
    std::unique_lock lock(job->mutex);
    job->changed.wait(lock, [&] { return job->done; });
    if (job->error)
        std::rethrow_exception(job->error);
}

bool TThread::CheckSynchronize() {
    if (!TNotificationLoop::IsMainThread())
        return false;
    std::vector<std::shared_ptr<SyncJob>> jobs;
    {
        std::lock_guard lock(syncMutex);
        jobs.swap(syncQueue);
    }
    for (auto& job : jobs) {
        try {
            job->method();
        } catch (...) {
            job->error = std::current_exception();
        }
        std::lock_guard lock(job->mutex);
        job->done = true;
        job->changed.notify_all();
    }
    return !jobs.empty();
}

} // namespace qdo
