// The bounds of a job against a client that misbehaves: no processes of its own under
// --restrict, no memory past --max-job-memory, no request that trickles in, no reply that waits
// for ever, no silence for ever; and no job (nor what it started) outliving its listener.
#include "RawSession.h"
#include "ServerProcess.h"
#include "SharedServer.h"
#include "classes/NotificationLoop.h"
#include "connect/Qdoconnect.h"
#include "server/Sanitized.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace qdo {
namespace {

using Clock = std::chrono::steady_clock;
using test::Fd;
using test::LoggedOn;
using test::Open;
using test::ReadFrame;
using test::Request;
using test::ServerProcess;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Waits up to `seconds` for `done`.
bool WaitFor(const std::function<bool()>& done, double seconds) {
    const auto start = Clock::now();
    while (!done()) {
        if (SecondsSince(start) > seconds)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool LogSays(const ServerProcess& server, const std::string& text) {
    return server.Log().find(text) != std::string::npos;
}

// Whether the peer has closed: a read gives end of file (or a reset) within the time-out.
bool Closed(int fd, int timeoutMs) {
    char block[4096];
    const auto start = Clock::now();
    while (SecondsSince(start) * 1000 < timeoutMs) {
        pollfd watched{fd, POLLIN, 0};
        if (::poll(&watched, 1, 50) <= 0)
            continue;
        if (::recv(fd, block, sizeof block, 0) <= 0)
            return true;
    }
    return false;
}

TEST(ServerBounds, ARestrictedJobStartsNoProcessAndServesOn) {
    ServerProcess server({"--restrict"});
    auto connect = Open(server);
    const char* lines[] = {
        "zsystem \"id\"",
        "open \"p\":(command=\"id\")::\"pipe\" use \"p\" read x use $principal close \"p\"",
        "job nop^qdosrv",
        "set x=\"zsystem \"\"id\"\"\" xecute x", // indirection is caught the same
    };
    for (const std::string line : lines) {
        SCOPED_TRACE(line);
        if (server::SanitizedBuild && line.rfind("job", 0) == 0)
            continue; // a sanitizer's runtime needs pipes, which a restricted job refuses else
        try {
            connect->Execute(line);
            ADD_FAILURE() << "no error";
        } catch (const EMServerError& e) {
            EXPECT_NE(e.ServerText.find("%QDO-E-RESTRICTED"), std::string::npos) << e.ServerText;
            EXPECT_NE(e.ServerText.find("--restrict"), std::string::npos) << e.ServerText;
        }
        EXPECT_EQ(connect->Read("1+1"), "2"); // the same job serves on
    }

    // The server's own work: reads and writes, a group read, BLOBs, events, namespaces.
    connect->Execute("kill ^Bounds for i=1:1:3000 set ^Bounds(i)=$justify(i,20)");
    EXPECT_EQ(connect->Read("^Bounds(2999)"), std::string(16, ' ') + "2999");
    size_t chunks = 0;
    connect->OnGroupRead = [&](TObject*, const std::string&, bool&) { ++chunks; };
    connect->GroupRead("^Bounds");
    EXPECT_GT(chunks, 0u);
    connect->OnGroupRead = nullptr;
    const int32_t blob = connect->CreateBLOB("restricted");
    connect->Execute("do AddBLOBBlock(" + std::to_string(blob) + ",\"abc\")");
    EXPECT_EQ(connect->Read("^BLOB(" + std::to_string(blob) + ",1)"), "abc");
    EXPECT_EQ(connect->DeleteBLOB(blob), blob);

    auto sender = Open(server);
    std::string event;
    connect->OnServerEvent = [&](TObject*, const std::string& name, const std::string& params) {
        event = name + "|" + params;
    };
    connect->SubscribeEvent("Bounds", true);
    EXPECT_EQ(sender->Read("$$SendMsg(\"Bounds\",\"restricted\")"), "1");
    const auto start = Clock::now();
    while (event.empty() && SecondsSince(start) < 20)
        ProcessMessages(10);
    EXPECT_EQ(event, "Bounds|restricted");

    connect->Execute("zn \"%SYS\"");
    EXPECT_EQ(connect->Read("$data(^Bounds)"), "0");
    connect->Execute("zn \"USER\"");
    EXPECT_EQ(connect->Read("$data(^Bounds)"), "10");
}

TEST(ServerBounds, MemoryPastTheLimitIsAnErrorOrEndsOnlyThatJob) {
    ServerProcess server({"--max-job-memory", "64"});
    auto connect = Open(server);
    // Strings: GT.M's string pool limit, an M error after which the job goes on.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        try {
            connect->Execute("for i=1:1 set a(i)=$justify(i,1000)");
            ADD_FAILURE() << "no error";
        } catch (const EMServerError& e) {
            EXPECT_NE(e.ServerText.find("STPCRIT"), std::string::npos) << e.ServerText;
            EXPECT_NE(e.ServerText.find("at most 64 MiB"), std::string::npos) << e.ServerText;
        }
        EXPECT_GT(std::stoi(connect->Read("i")), 1000);
        connect->Kill("a");
        EXPECT_EQ(connect->Read("$data(a)"), "0");
    }
    if (server::SanitizedBuild)
        return; // the private memory limit is not set where a sanitizer's shadow memory counts

    // Numbers are not in the string pool: the limit of the job's private memory ends the job.
    auto greedy = Open(server);
    const std::string job = greedy->Read("$job");
    EXPECT_THROW(greedy->Execute("for i=1:1:10000000 set b(i)=i"), Exception);
    // It is logged as a job that ended uncleanly: the next start recovers the databases.
    EXPECT_TRUE(WaitFor(
        [&] {
            return LogSays(server, "job " + job + " ") && LogSays(server, "next start recovers");
        },
        10))
        << server.Log();
    // GT.M's dump of the job (its local variables), when it manages to write one short of
    // memory, stays in the data directory, private to the server's user.
    const std::string dump = "GTM_FATAL_ERROR.ZSHOW_DMP_" + job + "_1.txt";
    EXPECT_FALSE(std::filesystem::exists(dump));
    const std::string kept = server.DataDirectory() + "/" + dump;
    if (std::filesystem::exists(kept)) {
        EXPECT_EQ(std::filesystem::status(kept).permissions() &
                      (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
                  std::filesystem::perms::none);
    }
    EXPECT_EQ(connect->Read("2+2"), "4");
    EXPECT_EQ(Open(server)->Read("3+3"), "6");
}

TEST(ServerBounds, SlowSendersNonReadersAndSilentClientsAreCutOff) {
    ServerProcess server({"--request-timeout", "1", "--send-timeout", "1", "--idle-timeout", "2"});
    // A silent client: cut off after its idle time-out (while the cases below run).
    Fd silent = LoggedOn(server);
    const auto silentSince = Clock::now();

    // A request that trickles in: cut off a second after its first byte.
    {
        Fd job = LoggedOn(server);
        const std::string request = Request('r', std::string(30, '1'));
        const auto start = Clock::now();
        std::string reply;
        for (char byte : request) {
            test::SendAll(job.get(), std::string(1, byte));
            pollfd watched{job.get(), POLLIN, 0};
            if (::poll(&watched, 1, 250) > 0) {
                reply = ReadFrame(job.get());
                break;
            }
        }
        EXPECT_NE(reply.find("must arrive whole within 1 s"), std::string::npos) << reply;
        EXPECT_TRUE(Closed(job.get(), 2000));
        EXPECT_LT(SecondsSince(start), 4.0);
        EXPECT_TRUE(LogSays(server, "did not arrive whole within 1 s"));
    }

    // A client that sends requests of big replies and never reads: cut off once its job has
    // made no progress sending for a second.
    {
        Fd job = LoggedOn(server);
        std::string requests;
        for (int i = 0; i < 60; ++i)
            requests += Request('r', "$justify(" + std::to_string(i) + ",1000000)");
        test::SendAll(job.get(), requests);
        EXPECT_TRUE(WaitFor([&] { return LogSays(server, "reply for 1 s; cut off"); }, 15))
            << server.Log();
    }

    EXPECT_TRUE(Closed(silent.get(), 6000));
    EXPECT_GT(SecondsSince(silentSince), 1.5);
    EXPECT_TRUE(LogSays(server, "session idle for 2 s"));
    EXPECT_EQ(Open(server)->Read("1+1"), "2");
}

// Whether each of `jobs` has started GT.M and linked the server's routines (its routine search
// path maps GT.M's utility library): a spare then says it is ready at once.
bool Started(const std::vector<pid_t>& jobs) {
    for (pid_t job : jobs) {
        std::ifstream maps("/proc/" + std::to_string(job) + "/maps");
        std::stringstream text;
        text << maps.rdbuf();
        if (text.str().find("libgtmutil.so") == std::string::npos)
            return false;
    }
    return true;
}

TEST(ServerBounds, SessionsGoToJobsStartedAheadAndKilledSparesAreReplaced) {
    ServerProcess server;
    ASSERT_TRUE(WaitFor([&] { return server.Jobs().size() == 2 && Started(server.Jobs()); }, 10))
        << server.Log();
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // their ready bytes
    const std::vector<pid_t> spares = server.Jobs();
    auto first = Open(server);
    const auto job = static_cast<pid_t>(std::stol(first->Read("$job")));
    EXPECT_NE(std::find(spares.begin(), spares.end(), job), spares.end());
    // Topped up: two spares again beside the session's job.
    EXPECT_TRUE(WaitFor([&] { return server.Jobs().size() == 3; }, 10));

    // Killed spares are replaced; sessions open all the same.
    std::vector<pid_t> killed;
    for (pid_t pid : server.Jobs())
        if (pid != job && ::kill(pid, SIGKILL) == 0)
            killed.push_back(pid);
    // Once the listener has seen each end: a session handed to a spare in the instant between its
    // death and the listener's notice is lost with it (its client sees the connection close).
    for (pid_t pid : killed)
        EXPECT_TRUE(WaitFor(
            [&] {
                return server.Log().find(" " + std::to_string(pid) + " ended") != std::string::npos;
            },
            10))
            << server.Log();
    auto second = Open(server);
    EXPECT_EQ(second->Read("1+1"), "2");
    EXPECT_TRUE(WaitFor([&] { return server.Jobs().size() == 4; }, 10));
    first.reset();
    second.reset();
    // A spare has opened no database: killing it leaves nothing to recover.
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(server.Log().find("stay marked for recovery"), std::string::npos) << server.Log();

    // Without spares, each job starts with its session and ends with it.
    ServerProcess withoutSpares({"--spare-jobs", "0"});
    EXPECT_TRUE(withoutSpares.Jobs().empty());
    EXPECT_EQ(Open(withoutSpares)->Read("1+1"), "2");
    EXPECT_TRUE(WaitFor([&] { return withoutSpares.Jobs().empty(); }, 10));
}

TEST(ServerBounds, JobsAndWhatTheyStartedEndWithAKilledListener) {
    ServerProcess server;
    auto connect = Open(server);
    // Unrestricted, M code starts processes: a shell that leaves a sleep behind.
    const std::string started =
        connect->Execute("zsystem \"sleep 1000 >/dev/null 2>&1 & echo $!\"");
    EXPECT_EQ(connect->Read("$zsystem"), "0");
    const pid_t sleeper = static_cast<pid_t>(std::stol(started));
    ASSERT_TRUE(ServerProcess::Alive(sleeper));
    // The session's job, and the spare jobs that wait for sessions to come: all end.
    const std::vector<pid_t> jobs = server.Jobs();
    ASSERT_GE(jobs.size(), 1u);

    ::kill(server.Pid(), SIGKILL); // the listener alone
    for (pid_t job : jobs)
        EXPECT_TRUE(WaitFor([&] { return !ServerProcess::Alive(job); }, 10)) << job;
    EXPECT_TRUE(WaitFor([&] { return !ServerProcess::Alive(sleeper); }, 10));
    if (ServerProcess::Alive(sleeper))
        ::kill(sleeper, SIGKILL);
}

} // namespace
} // namespace qdo
