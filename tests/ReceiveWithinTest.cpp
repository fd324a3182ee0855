// ReceiveBufWithin, the bounded receive that a connection's reply loop is built on: a silent
// peer ends the wait at its time-out (0, timedOut, no error reported) in either block mode, a
// later call with another time-out waits that one, and a closed peer is no time-out.
#include "sockets/Sockets2.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>

namespace qdo {
namespace {

using Clock = std::chrono::steady_clock;
using test::Fd;
using test::Listener;

long Milliseconds(Clock::duration d) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// A client connected to a peer that accepted it and says nothing until told.
struct SilentPeer {
    SilentPeer() {
        client.SetRemoteHost("127.0.0.1");
        client.SetRemotePort(listener.PortText());
        client.OnError = [this](TObject*, int32_t code) { errors.push_back(code); };
        client.SetActive(true);
        peer = listener.Accept();
    }
    Listener listener;
    TTcpClient client;
    Fd peer;
    std::vector<int32_t> errors;
};

// A wait that returns early is the fault these tests look for; one that never returns is caught
// by the test's time-out. The upper bound only tells a wait of its time-out from one of another.
constexpr long slack = 5000;

TEST(ReceiveWithin, ASilentPeerEndsTheWaitAtItsTimeOut) {
    const struct {
        const char* what;
        TSocketBlockMode mode;
        std::vector<int32_t> timeOuts; // one call each, in order
    } cases[] = {
        {"blocking", bmBlocking, {200}},
        {"non-blocking: it waits all the same", bmNonBlocking, {200}},
        {"a longer time-out after a shorter one", bmBlocking, {100, 400}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SilentPeer silent;
        silent.client.SetBlockMode(c.mode);
        for (int32_t timeOut : c.timeOuts) {
            SCOPED_TRACE(timeOut);
            char buffer[16];
            bool timedOut = false;
            const auto start = Clock::now();
            EXPECT_EQ(silent.client.ReceiveBufWithin(buffer, sizeof buffer, timeOut, timedOut), 0);
            const long took = Milliseconds(Clock::now() - start);
            EXPECT_TRUE(timedOut);
            EXPECT_GE(took, timeOut - 10); // the system's clock ticks may round a little down
            EXPECT_LT(took, timeOut + slack);
        }
        EXPECT_TRUE(silent.errors.empty());
        EXPECT_TRUE(silent.client.Active());
        EXPECT_EQ(silent.client.BytesReceived(), 0u);
    }
}

// The host's own signals interrupt the wait (a socket with a receive time-out is never
// restarted by the system): the wait goes on for what is left of its time-out, so that a signal
// every 20 ms, more often than the time-out, cannot stretch it for ever. Before that was so, each
// signal started the whole time-out again and the wait lasted as long as the signals did.
std::atomic<int> hostSignals{0};

TEST(ReceiveWithin, TheHostsSignalsDoNotStretchTheWait) {
    for (const int flags : {0, SA_RESTART}) {
        SCOPED_TRACE(flags == 0 ? "a handler without SA_RESTART" : "with SA_RESTART");
        struct sigaction action {};
        action.sa_handler = [](int) { hostSignals.fetch_add(1); };
        action.sa_flags = flags;
        sigemptyset(&action.sa_mask);
        struct sigaction before {};
        ASSERT_EQ(sigaction(SIGUSR1, &action, &before), 0);
        hostSignals = 0;

        SilentPeer silent;
        std::atomic<bool> waiting{true};
        const pthread_t waiter = pthread_self();
        std::thread host([&] {
            // Signals for at most twice the slack: a wait that starts again at each one outlasts
            // the slack and fails below instead of hanging.
            const auto stop = Clock::now() + std::chrono::milliseconds(2 * slack);
            while (waiting && Clock::now() < stop) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                pthread_kill(waiter, SIGUSR1);
            }
        });
        char buffer[16];
        bool timedOut = false;
        const auto start = Clock::now();
        EXPECT_EQ(silent.client.ReceiveBufWithin(buffer, sizeof buffer, 300, timedOut), 0);
        const long took = Milliseconds(Clock::now() - start);
        waiting = false;
        host.join();
        sigaction(SIGUSR1, &before, nullptr);
        EXPECT_TRUE(timedOut);
        EXPECT_GE(took, 290);
        EXPECT_LT(took, 300 + slack);
        EXPECT_GT(hostSignals.load(), 3) << "the signals did not reach the wait";
        EXPECT_TRUE(silent.errors.empty());
    }
}

TEST(ReceiveWithin, BytesEndTheWaitAndAreCounted) {
    SilentPeer silent;
    char buffer[16];
    bool timedOut = true;
    // A time-out first, then a wait without limit: the limit of the first must not stay.
    EXPECT_EQ(silent.client.ReceiveBufWithin(buffer, sizeof buffer, 50, timedOut), 0);
    EXPECT_TRUE(timedOut);
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        test::SendAll(silent.peer.get(), "late");
    });
    EXPECT_EQ(silent.client.ReceiveBufWithin(buffer, sizeof buffer, -1, timedOut), 4);
    later.join();
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(std::string(buffer, 4), "late");
    EXPECT_EQ(silent.client.BytesReceived(), 4u);
    EXPECT_TRUE(silent.errors.empty());
}

TEST(ReceiveWithin, AClosedPeerIsNoTimeOut) {
    SilentPeer silent;
    silent.peer.Reset();
    char buffer[16];
    bool timedOut = true;
    const auto start = Clock::now();
    EXPECT_EQ(silent.client.ReceiveBufWithin(buffer, sizeof buffer, 3000, timedOut), 0);
    EXPECT_FALSE(timedOut);
    EXPECT_LT(Milliseconds(Clock::now() - start), 2500) << "waited for the time-out";
    EXPECT_TRUE(silent.errors.empty());
}

} // namespace
} // namespace qdo
