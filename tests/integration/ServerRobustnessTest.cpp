// The server against hostile clients and a hard kill: the listener never dies, a job answers
// bad input with an error or closes, and nothing a client saw acknowledged is lost.
#include "LeakChecked.h"
#include "RawSession.h"
#include "ServerProcess.h"
#include "connect/Qdoconnect.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

namespace qdo {
namespace {

using test::Fd;
using test::LoggedOn;
using test::ReadFrame;
using test::ServerProcess;
using test::Z;

// Whether the peer has closed (a read gives end of file within the time-out).
bool Closed(int fd, int timeoutMs = 5000) {
    pollfd watched{fd, POLLIN, 0};
    if (::poll(&watched, 1, timeoutMs) <= 0)
        return false;
    char byte;
    return ::recv(fd, &byte, 1, 0) == 0;
}

void ExpectServing(const ServerProcess& server) {
    TQdoConnect connect;
    connect.SetServerAddress("127.0.0.1");
    connect.SetServerPort(server.Port());
    connect.SetActive(true);
    EXPECT_EQ(connect.Read("40+2"), "42");
}

TEST(ServerRobustness, MalformedRequestsGetAnErrorAndAClose) {
    ServerProcess server({"--max-request", "100000"});
    const std::string requests[] = {
        "q" + Z,                                 // unknown command
        "r" + Z + "abc" + Z,                     // a length that is no number
        "r" + Z + "99999999" + Z,                // over the request limit
        "w" + Z + "2" + Z + "^X" + "9999999999", // a length of too many digits
        "zz:garbage" + Z,                        // nothing like any request
    };
    for (const auto& request : requests) {
        SCOPED_TRACE(request.substr(0, 12));
        Fd job = LoggedOn(server);
        test::SendAll(job.get(), request);
        const std::string reply = ReadFrame(job.get());
        EXPECT_EQ(reply.rfind("<ERROR>:,UPROTOCOL,:", 0), 0u) << reply;
        EXPECT_TRUE(Closed(job.get()));
    }
    ExpectServing(server);
}

TEST(ServerRobustness, TruncatedRequestsAndVanishingClients) {
    ServerProcess server;
    {
        Fd job = LoggedOn(server);
        test::SendAll(job.get(), "w" + Z + "5" + Z + "^Trun"); // and gone, mid-request
    }
    {
        Fd job = LoggedOn(server);
        test::SendAll(job.get(),
                      "r" + Z + "2" + Z + "^X" + "x" + Z + "1");  // a whole one, then part
        EXPECT_EQ(ReadFrame(job.get()).rfind("<ERROR>:", 0), 0u); // ^X is undefined
    }
    {
        Fd listener = test::Connect(static_cast<uint16_t>(server.Port()));
        test::SendAll(listener.get(), std::string(100000, '\xff')); // the listener ignores it
    }
    ExpectServing(server);
}

TEST(ServerRobustness, AClientThatLeavesDuringARequestEndsItsJob) {
    ServerProcess server;
    // Lines that would run for ever: silent, writing as a terminal stream, waiting for a lock.
    struct TCase {
        char command;
        const char* line;
    };
    std::vector<TCase> cases{{'x', "f  h 0.05"}, {'t', "f  w 1,! h 0.05"}};
    Fd holder;
    // GT.M halted while it waits for an M lock leaves its lock memory to LeakSanitizer.
    if (!test::LeakChecked) {
        cases.push_back({'x', "l +^Held:3600"});
        holder = LoggedOn(server); // holds the lock that this line waits for
        test::SendAll(holder.get(), test::Request('x', "l +^Held"));
        ASSERT_EQ(ReadFrame(holder.get()), "<OK>" + Z);
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Fd job = LoggedOn(server);
        test::SendAll(job.get(), test::Request('r', "$job"));
        const std::string header = ReadFrame(job.get());
        ASSERT_EQ(header.rfind("<GO ON>:", 0), 0u) << header;
        const auto pid =
            static_cast<pid_t>(std::stol(test::ReadBytes(job.get(), std::stoul(header.substr(8)))));
        ASSERT_EQ(ReadFrame(job.get()), "<OK>" + Z);

        test::SendAll(job.get(), test::Request(c.command, c.line));
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the line runs
        ASSERT_TRUE(ServerProcess::Alive(pid));
        job.Reset();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (ServerProcess::Alive(pid) && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_FALSE(ServerProcess::Alive(pid)) << server.Log();
    }
    ExpectServing(server);
    if (holder.get() >= 0) {
        test::SendAll(holder.get(), test::Request('x', "l -^Held"));
        EXPECT_EQ(ReadFrame(holder.get()), "<OK>" + Z);
        holder.Reset();
    }
    // GT.M ended those jobs at a safe point: nothing is left to recover.
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(server.Log().find("stay marked for recovery"), std::string::npos) << server.Log();
}

TEST(ServerRobustness, WrongTokensAndSecondComers) {
    ServerProcess server;
    Fd listener = test::Connect(static_cast<uint16_t>(server.Port()));
    const auto [port, token] = test::ParseRedirect(ReadFrame(listener.get()));
    {
        Fd wrong = test::Connect(port);
        test::SendAll(wrong.get(), "lg:not-the-token" + Z);
        EXPECT_EQ(ReadFrame(wrong.get()), "<INVALID TYPE>" + Z);
        EXPECT_TRUE(Closed(wrong.get()));
    }
    Fd job = test::Connect(port);
    test::SendAll(job.get(), "lg:" + token + Z);
    EXPECT_EQ(ReadFrame(job.get()).rfind("<OK>:", 0), 0u);
    {
        Fd other = test::Connect(port);
        EXPECT_EQ(ReadFrame(other.get()), "<NO SESSION>" + Z);
    }
    test::SendAll(job.get(), "r" + Z + "3" + Z + "1+1");
    EXPECT_EQ(ReadFrame(job.get()), "<GO ON>:1" + Z);
    ExpectServing(server);
}

TEST(ServerRobustness, AHardKillLosesNothingAcknowledged) {
    ServerProcess server;
    constexpr int writers = 3;
    std::atomic<int> acknowledged[writers];
    std::atomic<bool> go{true};
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        acknowledged[w] = 0;
        threads.emplace_back([&, w] {
            try {
                TQdoConnect connect;
                connect.SetServerAddress("127.0.0.1");
                connect.SetServerPort(server.Port());
                connect.SetActive(true);
                connect.Execute("zn \"USER\"");
                for (int i = 1; go; ++i) {
                    connect.Write("^Crash(" + std::to_string(w) + "," + std::to_string(i) + ")",
                                  std::string(100 + i % 500, static_cast<char>('a' + w)));
                    acknowledged[w] = i;
                }
            } catch (const std::exception&) {
                // the server went away
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    server.Stop(SIGKILL);
    go = false;
    for (auto& t : threads)
        t.join();

    ASSERT_TRUE(server.Start()) << server.Log();
    EXPECT_NE(server.Log().find("did not stop cleanly"), std::string::npos);
    TQdoConnect connect;
    connect.SetServerAddress("127.0.0.1");
    connect.SetServerPort(server.Port());
    connect.SetActive(true);
    connect.Execute("zn \"USER\"");
    for (int w = 0; w < writers; ++w) {
        SCOPED_TRACE(w);
        EXPECT_GT(acknowledged[w], 0);
        // Every acknowledged write reads back (checked in M, in one request per writer).
        connect.Execute("set bad=0 for i=1:1:" + std::to_string(acknowledged[w].load()) +
                        " if $get(^Crash(" + std::to_string(w) +
                        ",i))'=$translate($justify(\"\",100+(i#500)),\" \",\"" +
                        std::string(1, static_cast<char>('a' + w)) + "\") set bad=bad+1");
        EXPECT_EQ(connect.Read("bad"), "0");
    }
    connect.SetActive(false);
    EXPECT_EQ(server.Stop(), 0);
    for (const char* nameSpace : {"USER", "%SYS"}) {
        int status = 0;
        const std::string integ =
            server.RunTool({"mupip", "integ", "-region", "DEFAULT"}, status, nameSpace);
        EXPECT_EQ(status, 0) << integ;
        EXPECT_NE(integ.find("No errors detected by integ"), std::string::npos) << integ;
    }
}

} // namespace
} // namespace qdo

namespace qdo {
namespace {

TEST(ServerRobustness, HandshakeAndIdleTimeOutsEndJobs) {
    ServerProcess server({"--handshake-timeout", "1", "--idle-timeout", "1"});
    // A redirected client that never logs on: its job gives up and its port closes.
    Fd listener = test::Connect(static_cast<uint16_t>(server.Port()));
    const std::string redirect = ReadFrame(listener.get());
    const uint16_t port =
        static_cast<uint16_t>(std::stoi(redirect.substr(10, redirect.find(':', 10) - 10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    Fd late = test::Connect(port);
    EXPECT_LT(late.get(), 0) << "the job still listens";

    // An attached client that stays silent past the idle time-out: its job closes the session.
    TQdoConnect connect;
    connect.SetServerAddress("127.0.0.1");
    connect.SetServerPort(server.Port());
    connect.SetActive(true);
    EXPECT_EQ(connect.Read("1"), "1");
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_THROW(connect.Read("1"), Exception);
    EXPECT_FALSE(connect.Active());
    EXPECT_NE(server.Log().find("no logon within 1 s"), std::string::npos);
    EXPECT_NE(server.Log().find("session idle for 1 s"), std::string::npos);
}

} // namespace
} // namespace qdo
