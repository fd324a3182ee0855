// The per-thread notification loop and threads synchronising with the main thread.
#include "classes/NotificationLoop.h"
#include "classes/Application.h"
#include "classes/Exceptions.h"
#include "classes/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace qdo {
namespace {

// Routes application exceptions into a list for the duration of a test.
class CapturedExceptions {
public:
    CapturedExceptions() {
        SetApplicationExceptionHandler(
            [this](std::exception_ptr e) { messages.push_back(ExceptionMessage(e)); });
    }
    ~CapturedExceptions() { SetApplicationExceptionHandler(nullptr); }
    std::vector<std::string> messages;
};

TEST(NotificationLoop, PostedMessagesRunInOrderOnlyWhenPumped) {
    auto loop = TNotificationLoop::ForCurrentThread();
    std::vector<int> ran;
    loop->Post([&] { ran.push_back(1); });
    loop->Post([&] { ran.push_back(2); });
    EXPECT_TRUE(ran.empty());

    pollfd watched{loop->FileDescriptor(), POLLIN, 0};
    EXPECT_EQ(::poll(&watched, 1, 0), 1); // an event loop of one's own sees it waiting

    EXPECT_EQ(ProcessMessages(), 2);
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    EXPECT_EQ(ProcessMessages(), 0);
}

TEST(NotificationLoop, MessagesPostedFromOtherThreadsRunOnTheOwner) {
    auto loop = TNotificationLoop::ForCurrentThread();
    const auto owner = std::this_thread::get_id();
    std::atomic<int> onOwner{0};
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i)
            loop->Post([&] { onOwner += std::this_thread::get_id() == owner; });
    });
    poster.join();
    int handled = 0;
    while (handled < 100)
        handled += ProcessMessages(1000);
    EXPECT_EQ(onOwner, 100);
}

TEST(NotificationLoop, OnlyTheOwnerPumps) {
    auto loop = TNotificationLoop::ForCurrentThread();
    bool failed = false;
    std::thread other([&] {
        try {
            loop->ProcessMessages();
        } catch (const EThread&) {
            failed = true;
        }
    });
    other.join();
    EXPECT_TRUE(failed);
}

TEST(NotificationLoop, HandlerExceptionsGoToTheApplicationHandler) {
    CapturedExceptions captured;
    std::vector<int> ran;
    auto loop = TNotificationLoop::ForCurrentThread();
    loop->Post([] { throw Exception("first failed"); });
    loop->Post([&] { ran.push_back(2); });
    EXPECT_EQ(ProcessMessages(), 2);
    EXPECT_EQ(ran, std::vector<int>{2});
    EXPECT_EQ(captured.messages, std::vector<std::string>{"first failed"});
}

TEST(NotificationLoop, ReadableWatchFiresOnceUntilRearmed) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    auto loop = TNotificationLoop::ForCurrentThread();
    int calls = 0;
    auto id = loop->WatchReadable(pair[0], [&] {
        ++calls;
        return true;
    });
    EXPECT_EQ(ProcessMessages(), 0);
    ASSERT_EQ(::write(pair[1], "x", 1), 1);
    EXPECT_EQ(ProcessMessages(1000), 1);
    EXPECT_EQ(ProcessMessages(), 0); // still readable, but resting until re-armed
    loop->Rearm(id);
    EXPECT_EQ(ProcessMessages(), 1);
    loop->Unwatch(id);
    loop->Rearm(id); // no effect once unwatched
    EXPECT_EQ(ProcessMessages(), 0);
    EXPECT_EQ(calls, 2);
    ::close(pair[0]);
    ::close(pair[1]);
}

class Counter : public TThread {
public:
    std::atomic<int> rounds{0};
    bool suspendOnce = false;

protected:
    void Execute() override {
        while (!Terminated()) {
            ++rounds;
            if (suspendOnce) {
                suspendOnce = false;
                Suspend();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        SetReturnValue(42);
    }
};

TEST(Thread, CreatedSuspendedResumedTerminatedAndWaitedFor) {
    Counter thread;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(thread.Suspended());
    EXPECT_EQ(thread.rounds, 0);
    EXPECT_EQ(thread.ThreadID(), 0);
    EXPECT_THROW(thread.WaitFor(), EThread);

    thread.suspendOnce = true;
    thread.Resume();
    while (!thread.Suspended())
        std::this_thread::yield();
    const int parked = thread.rounds;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(thread.rounds, parked); // it suspended itself and stays parked
    Counter neverStarted;
    EXPECT_NO_THROW(neverStarted.Suspend()); // suspended already: no effect
    EXPECT_TRUE(neverStarted.Suspended());
}

TEST(Thread, SuspendingAnotherRunningThreadFails) {
    Counter thread;
    thread.Resume();
    while (thread.rounds == 0)
        std::this_thread::yield();
    EXPECT_THROW(thread.Suspend(), EThread);
    thread.Terminate();
    EXPECT_EQ(thread.WaitFor(), 42);
    EXPECT_TRUE(thread.Finished());
    EXPECT_NE(thread.ThreadID(), 0);
}

class Synchronizing : public TThread {
public:
    std::thread::id ranOn;
    std::atomic<bool>* freed = nullptr;
    ~Synchronizing() override {
        if (freed)
            *freed = true;
    }

protected:
    void Execute() override {
        Synchronize([this] { ranOn = std::this_thread::get_id(); });
        Synchronize([] { throw Exception("raised on the main thread"); });
    }
};

TEST(Thread, SynchronizeRunsOnTheMainThreadAndFreeOnTerminate) {
    ASSERT_TRUE(TNotificationLoop::IsMainThread());
    std::atomic<bool> freed{false};
    std::atomic<bool> terminated{false};
    auto* thread = new Synchronizing;
    thread->freed = &freed;
    thread->SetFreeOnTerminate(true);
    thread->OnTerminate = [&](TObject*) { terminated = true; };
    thread->Resume();
    for (int i = 0; i < 500 && !freed; ++i)
        ProcessMessages(10);
    EXPECT_TRUE(terminated);
    EXPECT_TRUE(freed);
}

TEST(Thread, WaitForOnTheMainThreadRunsPendingSynchronize) {
    Synchronizing thread;
    thread.Resume();
    thread.WaitFor(); // would deadlock if waiting did not run the thread's Synchronize
    EXPECT_EQ(thread.ranOn, std::this_thread::get_id());
    EXPECT_EQ(ExceptionMessage(thread.FatalException()), "raised on the main thread");
}

// Counts its rounds, and says when its Execute has returned, in places that outlive it; with
// `suspending`, suspends itself after its first round.
class ObservedCounter : public TThread {
public:
    ObservedCounter(std::atomic<int>& rounds, std::atomic<bool>& returned, bool suspending)
        : rounds_(rounds), returned_(returned), suspending_(suspending) {}

protected:
    // Destroying the thread ends it from TThread's destructor, when this class's part is gone
    // already: past its start, Execute uses only the base and the places outside the object.
    void Execute() override {
        std::atomic<int>& rounds = rounds_;
        std::atomic<bool>& returned = returned_;
        const bool suspending = suspending_;
        while (!Terminated()) {
            if (++rounds == 1 && suspending)
                Suspend();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        returned = true;
    }

private:
    std::atomic<int>& rounds_;
    std::atomic<bool>& returned_;
    const bool suspending_;
};

TEST(Thread, DestroyingARunningThreadStopsIt) {
    for (bool suspended : {false, true}) {
        SCOPED_TRACE(suspended ? "suspended by itself" : "running");
        std::atomic<int> rounds{0};
        std::atomic<bool> returned{false};
        auto* thread = new ObservedCounter(rounds, returned, suspended);
        thread->Resume();
        while (rounds == 0 || (suspended && !thread->Suspended()))
            std::this_thread::yield();
        delete thread; // terminates, resumes and waits
        EXPECT_TRUE(returned) << "destroyed before its Execute returned";
        const int after = rounds;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(rounds, after);
    }
}

} // namespace
} // namespace qdo
