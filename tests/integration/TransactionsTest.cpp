// Transactions in clients' command lines against GT.M: a TSTART ... TCOMMIT in one Execute
// commits, restarts from its TSTART when GT.M or the line asks, and rolls back on an error; one
// that a request's code leaves open, a dropped connection and a stopped server apply nothing;
// and concurrent transfers between accounts keep their total. docs/transactions.md explains
// each.
#include "LeakChecked.h"
#include "RawSession.h"
#include "ServerProcess.h"
#include "SharedServer.h"
#include "connect/Qdoconnect.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qdo {
namespace {

using test::Fd;
using test::Open;
using test::ServerProcess;
using test::Shared;
using test::Z;

// The $ECODE of the error that `line` ends with ("" when it ends without one).
std::string ErrorOf(TQdoConnect& connect, const std::string& line) {
    try {
        connect.Execute(line);
    } catch (const EMServerError& e) {
        return e.ECode + " " + e.ServerText;
    }
    return {};
}

TEST(Transactions, OneLineTransactionsCommitInEveryForm) {
    auto connect = Open(Shared());
    const char* lines[] = {
        "TS ():SERIAL s ^TxA=^TxA-1,^TxB=^TxB+1 TC",
        "TS *:SERIAL s ^TxA=^TxA-1,^TxB=^TxB+1 TC",
        "TS (x,y):SERIAL s x=^TxA-1,y=^TxB+1,^TxA=x,^TxB=y TC",
        "TS () s ^TxA=^TxA-1,^TxB=^TxB+1 TC",
        "tstart ():(serial:transactionid=\"batch\") set ^TxA=^TxA-1,^TxB=^TxB+1 tcommit",
        // nested: the inner commit only counts with the outer one
        "TS ():SERIAL s ^TxA=^TxA-1 TS () s ^TxB=^TxB+1 TC  TC",
    };
    for (const char* line : lines) {
        SCOPED_TRACE(line);
        connect->Execute("s ^TxA=100,^TxB=0");
        EXPECT_EQ(connect->Execute(line), "");
        EXPECT_EQ(connect->Execute("w ^TxA,\" \",^TxB,\" \",$TLEVEL"), "99 1 0");
    }
}

// A line that restarts its transaction `restarts` times runs again from its TSTART each time:
// its updates are undone, the local variables the TSTART names (all of them for *) get back
// their values, others keep what the try left; $TRESTART counts the tries. GT.M allows four.
TEST(Transactions, ExplicitRestartsRunAgainFromTstart) {
    auto connect = Open(Shared());
    const struct {
        const char* start;
        int restarts;
        const char* result; // $TRESTART at TCOMMIT, "/", kept, "/", tries
    } cases[] = {
        {"TS (kept):SERIAL", 0, "0/1/1"}, {"TS (kept):SERIAL", 1, "1/1/2"},
        {"TS (kept):SERIAL", 3, "3/1/4"}, {"TS (kept):SERIAL", 4, "4/1/5"},
        {"TS *:SERIAL", 2, "2/1/1"},      {"TS ():SERIAL", 2, "2/3/3"},
    };
    for (const auto& c : cases) {
        const std::string line = std::string("k kept,tries ") + c.start +
                                 " s kept=$g(kept)+1,tries=$g(tries)+1,^TxR=^TxR+1 "
                                 "TRESTART:$TRESTART<" +
                                 std::to_string(c.restarts) +
                                 "  s r=$TRESTART TC  w r,\"/\",kept,\"/\",tries";
        SCOPED_TRACE(line);
        connect->Execute("s ^TxR=0");
        EXPECT_EQ(connect->Execute(line), c.result);
        EXPECT_EQ(connect->Read("^TxR"), "1"); // once, whatever the tries
    }
    // A fifth restart is refused: the line ends with an error, and nothing of it is applied.
    connect->Execute("s ^TxR=0");
    EXPECT_NE(
        ErrorOf(*connect, "TS ():SERIAL s ^TxR=^TxR+1 TRESTART:$TRESTART<5  TC").find("TRESTMAX"),
        std::string::npos);
    EXPECT_EQ(connect->Execute("w ^TxR,\" \",$TLEVEL,\" \",$TRESTART"), "0 0 0");
}

// The line docs/transactions.md recommends: values set beforehand as locals, results left in a
// local that the TSTART names, so that a restart starts them afresh, and $TRESTART with them.
TEST(Transactions, TheRecommendedLineKeepsOnlyTheCommittedTrysResults) {
    auto connect = Open(Shared());
    connect->Execute("k ^TxS s ^TxS(7)=10");
    const std::string value = "a \"quoted\", long; value\n" + std::string(20000, 'v');
    connect->Write("%qdotv(1)", value);
    connect->Write("%qdotv(2)", "3");
    // The first try leaves a result that the second does not: it must not survive.
    EXPECT_EQ(connect->Execute("k %qdotr TS (%qdotr):SERIAL s:'$TRESTART %qdotr(9)=\"stale\" "
                               "s %qdotr(1)=^TxS(7),^TxS(7)=^TxS(7)-%qdotv(2),^TxS(8)=%qdotv(1) "
                               "TRESTART:'$TRESTART  s %qdotr=$TRESTART TC"),
              "");
    EXPECT_EQ(connect->Read("%qdotr"), "1");
    EXPECT_EQ(connect->Read("%qdotr(1)"), "10");
    EXPECT_EQ(connect->Read("$d(%qdotr(9))"), "0");
    EXPECT_EQ(connect->Read("^TxS(7)"), "7");
    EXPECT_EQ(connect->Read("^TxS(8)"), value);
}

// Another job's updates of what a transaction read make GT.M restart it from its TSTART, inside
// the server's call-in as anywhere; the last try holds the database, so it commits.
TEST(Transactions, AnUpdateByAnotherJobRestartsTheTransaction) {
    auto reader = Open(Shared());
    auto writer = Open(Shared());
    reader->Execute("s ^TxC=0,^TxGo=0,^TxStop=0");
    // The writer counts up ^TxC until told to stop (within 20 s at most).
    std::string counted;
    std::thread counting([&] {
        counted = writer->Execute("s ^TxGo=1 f n=1:1:2000 s x=$i(^TxC) h 0.01 i ^TxStop w n q");
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (reader->Read("^TxGo") != "1" && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // Each try reads ^TxC, waits while the writer changes it, and writes it back plus 1000.
    const std::string tries = reader->Execute(
        "k n TS ():SERIAL s n=$g(n)+1,x=^TxC h 0.1 s ^TxC=x+1000,r=$TRESTART TC  w r,\"/\",n");
    reader->Execute("s ^TxStop=1");
    counting.join();
    const size_t slash = tries.find('/');
    ASSERT_NE(slash, std::string::npos) << tries;
    const int restarts = std::stoi(tries.substr(0, slash));
    EXPECT_GE(restarts, 1) << tries;
    EXPECT_LE(restarts, 4) << tries;
    EXPECT_EQ(std::stoi(tries.substr(slash + 1)), restarts + 1) << tries; // a run per try
    // The committed try added its 1000 to what the writer had counted by then; the writer's
    // increments all count.
    EXPECT_EQ(reader->Read("^TxC"), std::to_string(std::stoi(counted) + 1000));
}

// An error inside a transaction ends the request with that error, the transaction rolled back:
// nothing of it is applied, and the next request finds no transaction open.
TEST(Transactions, AnErrorInsideATransactionRollsItBack) {
    auto connect = Open(Shared());
    const struct {
        const char* line;
        const char* error; // a part of the error's $ECODE or text
    } cases[] = {
        {"TS ():SERIAL s ^TxE=2 s x=1/0 TC", "DIVZERO"},
        {"TS ():SERIAL s ^TxE=2,x=nosuchlocal TC", "UNDEF"},
        {"TS ():SERIAL s ^TxE=2 s $ecode=\",Umine,\" TC", ",Umine,"},
        {"TS ():SERIAL s ^TxE=2 TS () s ^TxE(1)=2 s x=1/0 TC  TC", "DIVZERO"},
        {"TS ():SERIAL s ^TxE=2 d nolabel TC", "LABELMISSING"},
        // an error that no trap takes: the line empties $ETRAP
        {"s $etrap=\"\" TS ():SERIAL s ^TxE=2 s x=1/0 TC", "DIVZERO"},
        // after a restart
        {"TS ():SERIAL s ^TxE=2 TRESTART:'$TRESTART  s x=1/0 TC", "DIVZERO"},
        // over the time this process allows a transaction (its $ZMAXTPTIME, in seconds)
        {"s $zmaxtptime=1 TS ():SERIAL s ^TxE=2 h 3 TC", "TPTIMEOUT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        connect->Execute("k ^TxE s ^TxE=1");
        EXPECT_NE(ErrorOf(*connect, c.line).find(c.error), std::string::npos);
        EXPECT_EQ(connect->Execute("w ^TxE,\" \",$d(^TxE(1)),\" \",$TLEVEL"), "1 0 0");
    }
    connect->Execute("s $zmaxtptime=0");
}

// GT.M keeps no transaction past the code that started it, so none can stay open from one
// request to the next: one left open is rolled back and the request answered ,UQDOTPOPEN,.
// Code that leaves the server's entry early gets ,UQDOUNWOUND, (GT.M has discarded its
// transaction by then), never a success.
TEST(Transactions, ATransactionLeftOpenIsRolledBackAndNamed) {
    auto connect = Open(Shared());
    const struct {
        const char* line;
        const char* error;
    } cases[] = {
        {"TS ():SERIAL s ^TxO=2", ",UQDOTPOPEN, %QDO-E-TPOPEN, a transaction was left open at "
                                  "the end of a request; it was rolled back"},
        {"TS ():SERIAL s ^TxO=2 q", ",UQDOTPOPEN,"},
        {"x \"TS ():SERIAL s ^TxO=2\"  s ^TxO=3", ",UQDOTPOPEN,"},
        {"TS ():SERIAL s ^TxO=2 TS () s ^TxO=3 TC", ",UQDOTPOPEN,"},
        {"s $etrap=\"\" TS ():SERIAL s ^TxO=2", ",UQDOTPOPEN,"},
        {"TS ():SERIAL s ^TxO=2 zgoto 0", ",UQDOUNWOUND, %QDO-E-UNWOUND"},
        {"s $etrap=\"s $ecode=\"\"\"\" q\" TS ():SERIAL s ^TxO=2 s x=1/0", ",UQDOUNWOUND,"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        connect->Execute("s ^TxO=1");
        const std::string error = ErrorOf(*connect, c.line);
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        EXPECT_EQ(connect->Execute("w ^TxO,\" \",$TLEVEL"), "1 0");
    }
    // A routine that quits inside its transaction is named with where it quit.
    const std::string folder = ::testing::TempDir() + "/qdo-tx-" + std::to_string(::getpid());
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/qdotxr.m") << "qdotxr ;\nopen TS ():SERIAL s ^TxO=2 q\n";
    connect->Execute("s $zroutines=\"" + folder + " \"_$zroutines");
    EXPECT_EQ(ErrorOf(*connect, "d open^qdotxr"),
              ",UQDOTPOPEN, %QDO-E-TPOPEN, a transaction was left open when the code that "
              "started it quit (at open^qdotxr); it was rolled back");
    EXPECT_EQ(connect->Execute("w ^TxO,\" \",$TLEVEL"), "1 0");
    std::filesystem::remove_all(folder);
}

// A read whose expression leaves the server's entry early has no value: not the stale contents
// of the job's value buffer (here a 100,000-byte value read just before).
TEST(Transactions, AReadThatLeavesItsEntryEarlyHasNoStaleValue) {
    auto connect = Open(Shared());
    const std::string folder = ::testing::TempDir() + "/qdo-zg-" + std::to_string(::getpid());
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/qdozg.m") << "qdozg ;\nbase() zgoto 0\nentry() zgoto 2\n";
    connect->Execute("s $zroutines=\"" + folder + " \"_$zroutines");
    ASSERT_EQ(connect->Read("$j(1,100000)").size(), 100000u);
    try {
        const std::string value = connect->Read("$$base^qdozg()");
        ADD_FAILURE() << "a value of " << value.size() << " bytes";
    } catch (const EMServerError& e) {
        EXPECT_EQ(e.ECode, ",UQDOUNWOUND,");
    }
    ASSERT_EQ(connect->Read("$j(1,100000)").size(), 100000u);
    // Back in the entry, which ends as usual: the value is empty.
    const std::string value = connect->Read("$$entry^qdozg()");
    EXPECT_EQ(value.size(), 0u) << value.substr(0, 40);
    EXPECT_EQ(connect->Read("40+2"), "42");
    std::filesystem::remove_all(folder);
}

// The job behind a raw session: its process id, read with "r $job".
pid_t JobOf(int fd) {
    test::SendAll(fd, test::Request('r', "$job"));
    const std::string header = test::ReadFrame(fd);
    EXPECT_EQ(header.rfind("<GO ON>:", 0), 0u) << header;
    if (header.rfind("<GO ON>:", 0) != 0)
        return -1;
    const auto pid =
        static_cast<pid_t>(std::stol(test::ReadBytes(fd, std::stoul(header.substr(8)))));
    EXPECT_EQ(test::ReadFrame(fd), "<OK>" + Z);
    return pid;
}

// Starts `line` as a terminal request on a raw session and returns once it has written "in"
// (streamed as it is written), i.e. once it is inside its transaction.
void StartInside(int fd, const std::string& line) {
    test::SendAll(fd, test::Request('t', line));
    std::string seen;
    while (seen.find("in") == std::string::npos) {
        const std::string more = test::ReadBytes(fd, 1, 10000);
        ASSERT_FALSE(more.empty()) << "the line wrote " << seen;
        seen += more;
    }
}

bool EndsWithin(pid_t pid, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (ServerProcess::Alive(pid) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return !ServerProcess::Alive(pid);
}

// Long transactions, one in its last try (where GT.M holds the database's critical section).
const char* const longTransactions[] = {
    "TS ():SERIAL s ^TxD=2,^TxD(1)=2 w \"in\" h 60 TC",
    "TS ():SERIAL s ^TxD=2,^TxD(1)=2 TRESTART:$TRESTART<3  w \"in\" h 60 TC",
};

TEST(Transactions, ADroppedConnectionAppliesNothing) {
    auto connect = Open(Shared(), "%SYS");
    for (const char* line : longTransactions) {
        SCOPED_TRACE(line);
        connect->Execute("k ^TxD s ^TxD=1");
        Fd job = test::LoggedOn(Shared());
        const pid_t pid = JobOf(job.get());
        StartInside(job.get(), line);
        job.Reset();
        EXPECT_TRUE(EndsWithin(pid, std::chrono::seconds(10)));
        EXPECT_EQ(connect->Execute("w ^TxD,\" \",$d(^TxD(1))"), "1 0");
        connect->Execute("s ^TxD(2)=1"); // the database takes updates
        EXPECT_EQ(connect->Read("^TxD(2)"), "1");
    }
}

TEST(Transactions, AServerStoppedDuringATransactionAppliesNothing) {
    ServerProcess server;
    for (const char* line : longTransactions) {
        SCOPED_TRACE(line);
        {
            auto connect = Open(server, "%SYS");
            connect->Execute("k ^TxD s ^TxD=1");
        }
        Fd job = test::LoggedOn(server);
        StartInside(job.get(), line);
        EXPECT_EQ(server.Stop(), 0);
        EXPECT_EQ(server.Forced(), 0);
        // GT.M closed the databases as it ended the job: nothing is left to recover (unless
        // LeakSanitizer failed the job's end, see LeakChecked.h).
        if (!test::LeakChecked) {
            EXPECT_EQ(server.Log().find("stay marked for recovery"), std::string::npos)
                << server.Log();
        }
        ASSERT_TRUE(server.Start());
        auto connect = Open(server, "%SYS");
        EXPECT_EQ(connect->Execute("w ^TxD,\" \",$d(^TxD(1))"), "1 0");
    }
    if (!test::LeakChecked) {
        EXPECT_EQ(server.Log().find("recovering"), std::string::npos) << server.Log();
    }
}

// Clients in threads move amounts between accounts, each transfer a one-line transaction that
// also counts itself. Whatever restarts the conflicts cause, each transfer is applied exactly
// once: every account ends where the transfers the clients saw committed put it.
TEST(Transactions, ConcurrentTransfersKeepEveryBalance) {
    constexpr int clients = 4;
    constexpr int transfers = 10000 / clients;
    constexpr int accounts = 10;
    constexpr int opening = 100000;
    auto setup = Open(Shared());
    setup->Execute("k ^TxBank f i=0:1:" + std::to_string(accounts - 1) +
                   " s ^TxBank(i)=" + std::to_string(opening));
    setup->Execute("s ^TxBank=0");
    std::vector<std::vector<long>> moved(clients, std::vector<long>(accounts, 0));
    std::vector<int> restarts(clients, 0);
    std::vector<int> failures(clients, 0);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            auto connect = Open(Shared());
            for (int i = 0; i < transfers; ++i) {
                const int from = (i * 7 + c * 3) % accounts;
                const int to = (from + 1 + i % (accounts - 1)) % accounts;
                const int amount = 1 + (i * 31 + c) % 97;
                const std::string f = std::to_string(from), t = std::to_string(to);
                const std::string a = std::to_string(amount);
                try {
                    const std::string r = connect->Execute(
                        "TS ():SERIAL s ^TxBank(" + f + ")=^TxBank(" + f + ")-" + a + ",^TxBank(" +
                        t + ")=^TxBank(" + t + ")+" + a + ",^TxBank=^TxBank+1,r=$TRESTART TC  w r");
                    restarts[c] += std::stoi(r);
                    moved[c][from] -= amount;
                    moved[c][to] += amount;
                } catch (const EMConnectError&) {
                    ++failures[c];
                }
            }
        });
    for (auto& thread : threads)
        thread.join();
    int restarted = 0;
    for (int c = 0; c < clients; ++c) {
        EXPECT_EQ(failures[c], 0) << "client " << c;
        restarted += restarts[c];
    }
    EXPECT_EQ(setup->Read("^TxBank"), std::to_string(clients * transfers));
    long total = 0;
    for (int account = 0; account < accounts; ++account) {
        long expected = opening;
        for (int c = 0; c < clients; ++c)
            expected += moved[c][account];
        const long balance = std::stol(setup->Read("^TxBank(" + std::to_string(account) + ")"));
        EXPECT_EQ(balance, expected) << "account " << account;
        total += balance;
    }
    EXPECT_EQ(total, static_cast<long>(accounts) * opening);
    // Four clients updating one counter in every transfer conflict; GT.M restarted some.
    EXPECT_GT(restarted, 0);
    RecordProperty("restarts", restarted);
}

} // namespace
} // namespace qdo
