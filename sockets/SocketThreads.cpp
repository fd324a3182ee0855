// TServerSocketThread and TClientSocketThread: a thread-blocking server's pool.
//
// A connection's way: the server socket thread waits until the listening socket is readable,
// takes an idle thread of the pool (or adds a new one), resumes it, and waits until that thread
// has accepted, so that one connection never wakes two threads. The client thread serves the
// connection, says it is idle and suspends itself until it is resumed again.
//
// The pool and its bookkeeping are guarded by poolMutex_; poolChanged_ announces every change
// that someone may wait for: a thread idle, done accepting or ended, room in the pool,
// termination. Locks are taken in one order: the pool's, then a thread's own.
#include "classes/Application.h"
#include "sockets/SocketPlatform.h"
#include "sockets/Sockets2.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace qdo {

namespace {

void DestroyEndedThreads(const std::vector<TClientSocketThread*>& threads) {
    for (TClientSocketThread* thread : threads) {
        thread->WaitFor();
        delete thread;
    }
}

} // namespace

TServerSocketThread::TServerSocketThread(TCustomTcpServer* server) : server_(server) {}

TServerSocketThread::~TServerSocketThread() {
    TerminateAndWake();
    if (!Suspended()) // it ran: its Execute must be over before this object goes
        WaitFor();
    EndClientSocketThreads();
}

int32_t TServerSocketThread::ThreadCacheSize() const {
    std::lock_guard lock(poolMutex_);
    return threadCacheSize_;
}

void TServerSocketThread::SetThreadCacheSize(int32_t count) {
    std::lock_guard lock(poolMutex_);
    threadCacheSize_ = std::max(count, 1);
    poolChanged_.notify_all();
}

void TServerSocketThread::SetGetThreadHandler(TGetThreadEvent handler) {
    std::lock_guard lock(poolMutex_);
    getThread_ = std::move(handler);
}

void TServerSocketThread::TerminateAndWake() {
    Terminate();
    std::lock_guard lock(poolMutex_);
    poolChanged_.notify_all();
}

void TServerSocketThread::Execute() {
    try {
        while (!Terminated()) {
            if (server_ == nullptr || !server_->Listening())
                return;
            if (!server_->WaitForConnection() || Terminated())
                continue;
            if (TClientSocketThread* thread = NextClientSocketThread())
                HandOff(thread);
            std::this_thread::yield();
        }
    } catch (...) {
        HandleApplicationException(std::current_exception());
        throw;
    }
}

TClientSocketThread* TServerSocketThread::NextClientSocketThread() {
    while (!Terminated()) {
        ReapEndedThreads();
        if (TClientSocketThread* thread = FetchClientSocketThread())
            return thread;
        if (TClientSocketThread* thread = AddClientSocketThread())
            return thread;
        std::unique_lock lock(poolMutex_);
        poolChanged_.wait(lock, [this] {
            return Terminated() || pool_.size() < static_cast<size_t>(threadCacheSize_) ||
                   AnyEntry(&PoolEntry::idle) || AnyEntry(&PoolEntry::exited);
        });
        lock.unlock();
        // A thread says it is idle just before it suspends itself: give it the moment.
        std::this_thread::yield();
    }
    return nullptr;
}

void TServerSocketThread::HandOff(TClientSocketThread* thread) {
    std::unique_lock lock(poolMutex_);
    handedOff_ = thread;
    lock.unlock();
    try {
        thread->Resume();
    } catch (...) {
        // Only a new thread can fail to start; it leaves the pool without having run.
        RemoveClientSocketThread(thread);
        delete thread;
        throw;
    }
    lock.lock();
    poolChanged_.wait(lock, [&] { return handedOff_ != thread || Terminated(); });
}

void TServerSocketThread::ReapEndedThreads() {
    std::unique_lock lock(poolMutex_);
    std::vector<TClientSocketThread*> ended = TakeExitedThreads();
    lock.unlock();
    DestroyEndedThreads(ended);
}

void TServerSocketThread::EndClientSocketThreads() {
    ClearThreadPool();
    const bool onMainThread = TNotificationLoop::IsMainThread();
    std::unique_lock lock(poolMutex_);
    while (!pool_.empty()) {
        std::vector<TClientSocketThread*> ended = TakeExitedThreads();
        if (!ended.empty()) {
            lock.unlock();
            DestroyEndedThreads(ended);
            lock.lock();
            continue;
        }
        // A thread that was busy when the pool was cleared may have suspended itself since.
        for (PoolEntry& entry : pool_) {
            if (entry.idle && entry.thread->Suspended()) {
                entry.idle = false;
                entry.thread->Resume();
            }
        }
        const auto changed = [this] {
            return AnyEntry(&PoolEntry::exited) || AnyEntry(&PoolEntry::idle);
        };
        if (onMainThread) {
            // A thread may be waiting for the main thread to run its SyncProc.
            lock.unlock();
            TThread::CheckSynchronize();
            lock.lock();
            poolChanged_.wait_for(lock, std::chrono::milliseconds(5), changed);
        } else {
            poolChanged_.wait(lock, changed);
        }
        lock.unlock();
        std::this_thread::yield();
        lock.lock();
    }
}

void TServerSocketThread::ClearThreadPool() {
    std::lock_guard lock(poolMutex_);
    for (auto entry = pool_.rbegin(); entry != pool_.rend(); ++entry) {
        entry->thread->Terminate();
        if (entry->served != InvalidSocket)
            ::shutdown(entry->served, SHUT_RDWR);
        if (entry->thread->Suspended()) {
            entry->idle = false;
            entry->thread->Resume();
        }
    }
}

TClientSocketThread* TServerSocketThread::AddClientSocketThread() {
    TGetThreadEvent getThread;
    {
        std::lock_guard lock(poolMutex_);
        if (server_ == nullptr || pool_.size() >= static_cast<size_t>(threadCacheSize_))
            return nullptr;
        getThread = getThread_;
    }
    TClientSocketThread* thread = nullptr;
    try {
        if (getThread)
            getThread(this, thread);
    } catch (...) {
        // A failing handler gives no thread; the pool goes on with one of its own.
        HandleApplicationException(std::current_exception());
    }
    if (thread == nullptr)
        thread = CreateThread();
    thread->SetFreeOnTerminate(false); // the pool destroys its threads once they have ended
    std::lock_guard lock(poolMutex_);
    pool_.push_back(PoolEntry{thread});
    return thread;
}

TClientSocketThread* TServerSocketThread::CreateThread() {
    return new TClientSocketThread(this);
}

TClientSocketThread* TServerSocketThread::FetchClientSocketThread() {
    std::lock_guard lock(poolMutex_);
    if (server_ == nullptr || pool_.empty())
        return nullptr;
    const auto count = static_cast<int32_t>(pool_.size());
    int32_t position = lastHandedOut_ % count;
    for (int32_t step = 0; step < count; ++step) {
        position = (position + 1) % count;
        PoolEntry& entry = pool_[static_cast<size_t>(position)];
        if (!entry.exited && entry.thread->Suspended()) {
            lastHandedOut_ = position;
            entry.idle = false;
            return entry.thread;
        }
    }
    return nullptr;
}

void TServerSocketThread::RemoveClientSocketThread(TClientSocketThread* thread) {
    std::lock_guard lock(poolMutex_);
    auto entry = std::find_if(pool_.begin(), pool_.end(),
                              [thread](const PoolEntry& e) { return e.thread == thread; });
    if (entry == pool_.end())
        return;
    entry->ForgetConnection();
    pool_.erase(entry);
    if (handedOff_ == thread)
        handedOff_ = nullptr;
    poolChanged_.notify_all();
}

void TServerSocketThread::ConnectionAccepted(TClientSocketThread* thread, TSocket handle) {
    std::lock_guard lock(poolMutex_);
    if (handedOff_ == thread)
        handedOff_ = nullptr;
    PoolEntry* entry = EntryOf(thread);
    if (entry != nullptr && handle != InvalidSocket) {
        // A duplicate descriptor stays valid (its number is never reused) however the handler
        // closes the connection, so the pool can shut the connection down when it is cleared.
        entry->served = fcntl(handle, F_DUPFD_CLOEXEC, 0);
        if (entry->served != InvalidSocket && thread->Terminated())
            ::shutdown(entry->served, SHUT_RDWR);
    }
    poolChanged_.notify_all();
}

void TServerSocketThread::ConnectionServed(TClientSocketThread* thread) {
    std::lock_guard lock(poolMutex_);
    if (PoolEntry* entry = EntryOf(thread))
        entry->ForgetConnection();
}

void TServerSocketThread::ClientThreadIdle(TClientSocketThread* thread) {
    std::lock_guard lock(poolMutex_);
    if (PoolEntry* entry = EntryOf(thread))
        entry->idle = true;
    poolChanged_.notify_all();
}

void TServerSocketThread::ClientThreadExited(TClientSocketThread* thread) {
    std::lock_guard lock(poolMutex_);
    if (PoolEntry* entry = EntryOf(thread)) {
        entry->idle = false;
        entry->exited = true;
    }
    if (handedOff_ == thread)
        handedOff_ = nullptr;
    poolChanged_.notify_all();
}

void TServerSocketThread::PoolEntry::ForgetConnection() noexcept {
    if (served != InvalidSocket)
        ::close(served);
    served = InvalidSocket;
}

TServerSocketThread::PoolEntry* TServerSocketThread::EntryOf(TClientSocketThread* thread) {
    for (PoolEntry& entry : pool_)
        if (entry.thread == thread)
            return &entry;
    return nullptr;
}

bool TServerSocketThread::AnyEntry(bool PoolEntry::*flag) const {
    return std::any_of(pool_.begin(), pool_.end(),
                       [flag](const PoolEntry& entry) { return entry.*flag; });
}

std::vector<TClientSocketThread*> TServerSocketThread::TakeExitedThreads() {
    std::vector<TClientSocketThread*> exited;
    for (PoolEntry& entry : pool_) {
        if (entry.exited) {
            exited.push_back(entry.thread);
            entry.ForgetConnection();
        }
    }
    std::erase_if(pool_, [](const PoolEntry& entry) { return entry.exited; });
    return exited;
}

TClientSocketThread::TClientSocketThread(TServerSocketThread* serverSocketThread)
    : serverSocketThread_(serverSocketThread) {}

TClientSocketThread::~TClientSocketThread() {
    if (serverSocketThread_ != nullptr)
        serverSocketThread_->RemoveClientSocketThread(this);
}

void TClientSocketThread::Execute() {
    platform::SetCurrentClientSocketThread(this);
    TServerSocketThread* const owner = serverSocketThread_;
    // However Execute ends, the pool must learn of it, or it would wait for this thread.
    const auto leave = [this, owner] {
        if (owner != nullptr)
            owner->ClientThreadExited(this);
        platform::SetCurrentClientSocketThread(nullptr);
    };
    try {
        while (!Terminated()) {
            if (owner != nullptr && !owner->Terminated() && owner->Server() != nullptr)
                ServeOneConnection();
            else if (owner != nullptr)
                owner->ConnectionAccepted(this, InvalidSocket); // nothing taken: hand-off over
            if (!Terminated()) {
                if (owner != nullptr)
                    owner->ClientThreadIdle(this);
                Suspend();
            }
        }
    } catch (...) {
        leave();
        throw;
    }
    leave();
}

void TClientSocketThread::ServeOneConnection() {
    TCustomTcpServer* server = serverSocketThread_->Server();
    TCustomIpClient client;
    clientSocket_ = &client;
    bool accepted = false;
    try {
        accepted = server->AcceptConnection(client);
    } catch (...) {
        HandleApplicationException(std::current_exception());
    }
    serverSocketThread_->ConnectionAccepted(this, accepted ? client.SocketHandle() : InvalidSocket);
    if (accepted) {
        try {
            server->DoAccept(&client);
        } catch (...) {
            HandleApplicationException(std::current_exception());
        }
        serverSocketThread_->ConnectionServed(this);
    }
    clientSocket_ = nullptr;
}

void TClientSocketThread::ExecuteSyncProc() {
    Synchronize([this] { SyncProc(); });
}

void TClientSocketThread::SyncProc() {}

} // namespace qdo
