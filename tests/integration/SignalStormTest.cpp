// The library against the reference server while the host process takes a signal every 20 ms
// through a handler installed without SA_RESTART, so that every blocking call it makes (connect,
// send, receive, poll) is cut short with EINTR again and again. A wait with a time-out ends at
// that time-out, neither earlier (an EINTR taken for a failure or a time-out) nor later (each
// EINTR starting the whole wait again); everything else succeeds as without signals.
#include "SharedServer.h"
#include "connect/Database.h"
#include "connect/Json.h"
#include "connect/Qdoconnect.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <pthread.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace qdo {
namespace {

using test::Open;
using test::Shared;
using StormClock = std::chrono::steady_clock;

std::atomic<int> stormSignalsOnTestThread{0};
thread_local bool stormIsTestThread = false;

extern "C" void StormSignalHandler(int) {
    if (stormIsTestThread)
        stormSignalsOnTestThread.fetch_add(1, std::memory_order_relaxed);
}

// While it lives: SIGUSR1 has a handler without SA_RESTART, and a thread sends SIGUSR1 to the
// process every 20 ms, for 6 s at most (so that a wait that each signal starts anew still ends,
// and its test fails on its bound instead of hanging). That thread blocks the signal itself, so
// the kernel hands each one to a thread that takes it: this test's thread, the only other one
// that does.
class SignalStormScope {
public:
    SignalStormScope() {
        stormIsTestThread = true;
        stormSignalsOnTestThread = 0;
        struct sigaction action {};
        action.sa_handler = StormSignalHandler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: interrupted calls fail with EINTR
        sigaction(SIGUSR1, &action, &before_);
        sender_ = std::thread([this] {
            sigset_t blocked;
            sigemptyset(&blocked);
            sigaddset(&blocked, SIGUSR1);
            pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
            const auto end = StormClock::now() + std::chrono::seconds(6);
            while (!stop_.load() && StormClock::now() < end) {
                kill(getpid(), SIGUSR1);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~SignalStormScope() {
        stop_ = true;
        sender_.join();
        sigaction(SIGUSR1, &before_, nullptr);
        stormIsTestThread = false;
    }
    SignalStormScope(const SignalStormScope&) = delete;
    SignalStormScope& operator=(const SignalStormScope&) = delete;

    // The signals this test's thread has taken so far.
    int Taken() const { return stormSignalsOnTestThread.load(); }

private:
    struct sigaction before_ {};
    std::atomic<bool> stop_{false};
    std::thread sender_;
};

long long StormElapsedMs(StormClock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(StormClock::now() - since).count();
}

// A request deadline ends a request that runs on (the server's line waits 5 s) at the deadline,
// with the time-out error, however many signals cut its waits short.
TEST(SignalStorm, ARequestDeadlineEndsASlowRequestOnTime) {
    Shared(); // started before the storm: the server is not what is tested
    SignalStormScope storm;
    auto connect = Open(Shared()); // opened under the signals
    constexpr int deadlineMs = 600;
    connect->SetRequestDeadline(deadlineMs);
    const auto start = StormClock::now();
    try {
        connect->Execute("hang 5");
        ADD_FAILURE() << "the request ended without a time-out";
    } catch (const EMConnectError& e) {
        EXPECT_EQ(e.ErrorCode, ceTimeOut) << e.Message();
    }
    const long long elapsed = StormElapsedMs(start);
    EXPECT_GE(elapsed, deadlineMs);
    EXPECT_LT(elapsed, deadlineMs + 2000);
    EXPECT_FALSE(connect->Active());
    EXPECT_GE(storm.Taken(), 10); // the waits were interrupted, many times
}

// TimeOut bounds each single wait for data; on a live server that is merely slow the reader
// waits again (docs/connection.md). So a short TimeOut and a line that runs longer: the request
// neither fails at an interrupted wait nor at a quiet one, and ends with the line's reply.
TEST(SignalStorm, AShortTimeOutWaitsOnForASlowLineAndItsReply) {
    Shared();
    SignalStormScope storm;
    auto connect = Open(Shared());
    connect->SetTimeOutMilliseconds(150);
    const auto start = StormClock::now();
    EXPECT_EQ(connect->Execute("hang 1 write \"done\""), "done");
    EXPECT_GE(StormElapsedMs(start), 1000);
    EXPECT_TRUE(connect->Active());
    EXPECT_GE(storm.Taken(), 10);
}

// A session step ends after TimeOut: a peer that takes the connection (the listening socket's
// backlog does) and never answers ends the open with the time-out error at TimeOut.
TEST(SignalStorm, ASessionStepThatGetsNoAnswerEndsAtTimeOut) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

    SignalStormScope storm;
    TQdoConnect connect;
    connect.SetServerAddress("127.0.0.1");
    connect.SetServerPort(ntohs(address.sin_port));
    constexpr int timeOutMs = 700;
    connect.SetTimeOutMilliseconds(timeOutMs);
    const auto start = StormClock::now();
    try {
        connect.SetActive(true);
        ADD_FAILURE() << "a session opened on a peer that says nothing";
    } catch (const EMConnectError& e) {
        EXPECT_EQ(e.ErrorCode, ceTimeOut) << e.Message();
    }
    const long long elapsed = StormElapsedMs(start);
    EXPECT_GE(elapsed, timeOutMs);
    EXPECT_LT(elapsed, timeOutMs + 2000);
    EXPECT_FALSE(connect.Active());
    EXPECT_GE(storm.Taken(), 10);
    close(listener);
}

// The usual mixture of requests while the signals come: writes and reads of small and 1 MiB
// values (many sends and receives each), kills, lines with output, group reads of several
// chunks, walks, a batch, a transaction and a JSON round trip. Every one succeeds with its
// right result.
TEST(SignalStorm, ReadsWritesAndWalksAllSucceed) {
    Shared();
    SignalStormScope storm;
    auto connect = Open(Shared());
    TMDatabase db(*connect);
    connect->Kill("^Storm");
    std::string large(1024 * 1024, 'x');
    for (size_t i = 0; i < large.size(); i += 4096)
        large[i] = static_cast<char>(i / 4096);
    connect->Execute("f i=1:1:3000 s ^Storm(\"walk\",i)=$j(i,20)"); // a group read of ~4 chunks

    const auto start = StormClock::now();
    int rounds = 0;
    while (rounds < 5 || StormElapsedMs(start) < 1000) {
        SCOPED_TRACE(rounds);
        const std::string value = "v" + std::to_string(rounds);
        connect->Write("^Storm(\"n\"," + std::to_string(rounds) + ")", value);
        ASSERT_EQ(connect->Read("^Storm(\"n\"," + std::to_string(rounds) + ")"), value);
        ASSERT_EQ(connect->Execute("write $data(^Storm(\"n\"))"), "10");
        connect->Kill("^Storm(\"n\"," + std::to_string(rounds) + ")");
        ASSERT_EQ(connect->Read("$data(^Storm(\"n\"," + std::to_string(rounds) + "))"), "0");

        const std::string walked = connect->GroupRead("^Storm(\"walk\")");
        ASSERT_FALSE(walked.empty());
        size_t nodes = 0;
        for (const TMNode& node : db.Subtree(TMRef("^Storm", {"walk"}))) {
            ++nodes;
            ASSERT_EQ(node.Value.size(), 20u);
        }
        ASSERT_EQ(nodes, 3000u);

        TMOperationBatch batch;
        batch.Set(TMRef("^Storm", {"b", rounds}), value);
        const size_t counted = batch.Increment(TMRef("^Storm", {"count"}));
        const size_t read = batch.Get(TMRef("^Storm", {"b", rounds}));
        const std::vector<std::string> results = db.Run(batch);
        ASSERT_EQ(results[counted], std::to_string(rounds + 1));
        ASSERT_EQ(results[read], value);

        TMTransaction transaction;
        transaction.Increment(TMRef("^Storm", {"tx"}), 2);
        const size_t got = transaction.Get(TMRef("^Storm", {"tx"}));
        ASSERT_EQ(db.Run(transaction).Values[got], std::to_string(2 * (rounds + 1)));
        ++rounds;
    }
    connect->Write("^Storm(\"large\")", large);
    EXPECT_TRUE(connect->Read("^Storm(\"large\")") == large);

    std::istringstream document(R"({"a":[1,2,{"b":"c"}],"d":"e"})");
    EXPECT_EQ(ImportJson(db, TMRef("^Storm", {"json"}), document), 4u);
    std::ostringstream exported;
    ExportJson(db, TMRef("^Storm", {"json"}), exported);
    EXPECT_EQ(exported.str(), R"({"a":[1,2,{"b":"c"}],"d":"e"})");

    EXPECT_GE(storm.Taken(), 20);
    connect->Kill("^Storm");
}

} // namespace
} // namespace qdo
