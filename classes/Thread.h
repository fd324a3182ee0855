// TThread: a thread of its own that runs Execute.
//
// A thread is created suspended: its system thread starts at the first Resume (or Start).
// It ends when Execute returns; Terminate only asks Execute to return (by setting Terminated,
// which Execute is expected to check). Suspension is cooperative: a thread suspends itself
// (from inside Execute) and waits until another thread resumes it; suspending another running
// thread from outside fails, since stopping a thread at an arbitrary point could leave a lock
// held forever.
//
// Synchronize runs a method on the main thread, through the main thread's notification loop,
// and waits until it has run; the main thread must pump its loop for that to happen.
#pragma once

#include "classes/NotifyEvent.h"
#include "classes/Object.h"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <sys/types.h>
#include <thread>

namespace qdo {

class QDO_API TThread : public TObject {
public:
    using TThreadMethod = std::function<void()>;

    TThread();
    // A thread that has started and not ended is asked to terminate, resumed and waited for.
    // Destroying a thread from inside its own Execute is not allowed (use FreeOnTerminate).
    ~TThread() override;
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts the thread, or wakes it when it has suspended itself. No effect once it ended.
    void Resume();
    void Start() { Resume(); }
    // Called on the thread itself: parks it until Resume. Called before the thread started:
    // nothing (it is suspended already). Called from another thread on a running thread:
    // fails with EThread.
    void Suspend();
    bool Suspended() const;

    void Terminate();
    bool Terminated() const;
    bool Finished() const;

    // Waits until Execute has returned and gives ReturnValue. Fails with EThread when called
    // on the thread itself or for a thread that frees itself on termination.
    int32_t WaitFor();

    // When set, the object deletes itself on its own thread after Execute returns and
    // OnTerminate has run. Set it before Resume.
    bool FreeOnTerminate() const noexcept { return freeOnTerminate_; }
    void SetFreeOnTerminate(bool value) noexcept { freeOnTerminate_ = value; }

    int32_t ReturnValue() const noexcept { return returnValue_; }
    // The system thread id, 0 before the thread started.
    pid_t ThreadID() const noexcept { return threadId_; }
    // The exception that ended Execute, if one did.
    std::exception_ptr FatalException() const;

    // Called with the thread as Sender when Execute has returned, on the main thread
    // (through Synchronize).
    TNotifyEvent OnTerminate;

    // Runs `method` on the main thread and waits for it; directly when called on the main
    // thread. An exception from the method is raised again here. The method runs when the main
    // thread pumps its notification loop, calls CheckSynchronize, or waits for a thread
    // (WaitFor, or destroying a running thread).
    static void Synchronize(const TThreadMethod& method);
    // On the main thread: runs the methods that other threads are waiting to synchronise;
    // returns whether there were any. Elsewhere: does nothing and returns false.
    static bool CheckSynchronize();

protected:
    virtual void Execute() = 0;
    void SetReturnValue(int32_t value) noexcept { returnValue_ = value; }

private:
    void Run();
    void WaitUntilFinished(std::unique_lock<std::mutex>& lock);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
    bool started_ = false;
    bool suspended_ = true;
    bool terminated_ = false;
    bool finished_ = false;
    bool freeOnTerminate_ = false;
    int32_t returnValue_ = 0;
    pid_t threadId_ = 0;
    std::exception_ptr fatal_;
};

} // namespace qdo
