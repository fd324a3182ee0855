// The per-thread notification loop: how events reach the thread that owns them.
//
// Every thread has one loop, made on first use. Other code registers with a loop (a socket in
// non-blocking mode registers its read readiness, an object posts its own deferred free, a
// thread posts a method to run on the main thread) and the loop's owner thread dispatches what
// is ready by pumping it:
//
//   qdo::ProcessMessages();        // handle what is ready now, then return
//   qdo::ProcessMessages(250);     // wait up to 250 ms for something, handle it, return
//
// Nothing is ever dispatched on any other thread, and nothing is dispatched while the owner does
// not pump. An application with an event loop of its own (poll, epoll, libuv, asyncio) waits for
// NotificationFileDescriptor() to become readable and then calls ProcessMessages() on the owner
// thread.
//
// An exception that escapes a handler goes to the application exception handler
// (classes/Application.h) and no further; the loop goes on with the next handler.
#pragma once

#include "classes/Export.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <unordered_map>

namespace qdo {

class QDO_API TNotificationLoop {
public:
    using TMessage = std::function<void()>;
    // A watch's handler; it says whether it had anything to do (what ProcessMessages counts).
    using TReadyHandler = std::function<bool()>;
    using TWatchId = uint64_t;

    // The loop of the calling thread.
    static std::shared_ptr<TNotificationLoop> ForCurrentThread();
    // The loop of the process's main thread (whichever thread asks).
    static std::shared_ptr<TNotificationLoop> ForMainThread();
    static bool IsMainThread() noexcept;

    ~TNotificationLoop();
    TNotificationLoop(const TNotificationLoop&) = delete;
    TNotificationLoop& operator=(const TNotificationLoop&) = delete;

    // Readable whenever something may be waiting to be dispatched.
    int FileDescriptor() const noexcept { return epoll_; }
    pid_t OwnerThread() const noexcept { return owner_; }
    bool IsOwnerThread() const noexcept;

    // --- From any thread ---

    // Queues `message` to run on the owner thread at one of its next pumps, in posting order.
    void Post(TMessage message);

    // Calls `handler` on the owner thread when `fd` becomes readable, once: after the call the
    // watch rests until Rearm. (A socket re-arms it each time it receives, so a handler that
    // does not read is not called again and again for the same bytes.)
    TWatchId WatchReadable(int fd, TReadyHandler handler);
    void Rearm(TWatchId id);
    // Ends the watch; a notification already taken from the kernel for it is dropped. Call it
    // before closing the descriptor.
    void Unwatch(TWatchId id);

    // --- On the owner thread only (elsewhere they fail with EThread) ---

    // Dispatches what is ready now; returns how many messages ran and watch handlers had
    // something to do.
    int ProcessMessages();
    // Waits up to `timeoutMs` (negative: without limit) until something is ready, then
    // dispatches what is ready; returns how many ran (0 after a quiet time-out).
    int WaitForMessages(int timeoutMs);

private:
    explicit TNotificationLoop(pid_t owner);
    int Dispatch(int timeoutMs);
    int RunPosted();

    struct Watch {
        int fd;
        TReadyHandler handler;
    };

    pid_t owner_;
    int epoll_ = -1;
    int wakeup_ = -1; // eventfd: readable while posted messages wait
    std::mutex mutex_;
    std::deque<TMessage> posted_;
    std::unordered_map<TWatchId, Watch> watches_;
    TWatchId nextId_ = 1; // 0 marks the wake-up descriptor
};

// Pumps the calling thread's loop: what is ready now, or (with a time-out in milliseconds) what
// becomes ready within it. Returns how many handlers and messages ran.
QDO_API int ProcessMessages();
QDO_API int ProcessMessages(int timeoutMs);
// The calling thread's loop's descriptor, for waiting in an event loop of one's own.
QDO_API int NotificationFileDescriptor();

} // namespace qdo
