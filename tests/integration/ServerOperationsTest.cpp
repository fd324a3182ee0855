// What an operator relies on: log lines that no client can forge, refusal floods summed up,
// M errors logged without their values, one server per data directory, and a start that
// recovers the databases whenever GT.M may not have closed them, losing nothing acknowledged.
#include "RawSession.h"
#include "ServerProcess.h"
#include "connect/Qdoconnect.h"
#include "encodings/Mlist.h"
#include "protocol/Requests.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace qdo {
namespace {

using test::Fd;
using test::LoggedOn;
using test::ReadFrame;
using test::Redirect;
using test::Request;
using test::ServerProcess;
using test::Z;

std::unique_ptr<TQdoConnect> Connected(const ServerProcess& server) {
    auto connect = std::make_unique<TQdoConnect>();
    connect->SetServerAddress("127.0.0.1");
    connect->SetServerPort(server.Port());
    connect->SetActive(true);
    connect->Execute("zn \"USER\"");
    return connect;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// Waits up to 10 s for `part` to appear in the server's log after `from`.
bool LogShows(const ServerProcess& server, const std::string& part, size_t from = 0) {
    for (int i = 0; i < 1000; ++i) {
        const std::string log = server.Log();
        if (log.size() > from && log.find(part, from) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The jobs: the listener's children (jobs may lead process groups of their own).
std::vector<pid_t> Jobs(pid_t listener) {
    std::ifstream in("/proc/" + std::to_string(listener) + "/task/" + std::to_string(listener) +
                     "/children");
    std::vector<pid_t> pids;
    for (pid_t pid; in >> pid;)
        pids.push_back(pid);
    return pids;
}

bool Gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const size_t close = text.rfind(')');
    return text.empty() || (close != std::string::npos && text.substr(close + 2, 1) == "Z");
}

// SIGKILL of the listener and every job at once, as a crash of the host's processes.
void KillEverything(ServerProcess& server) {
    const std::vector<pid_t> jobs = Jobs(server.Pid());
    ::kill(server.Pid(), SIGKILL);
    for (pid_t job : jobs)
        ::kill(job, SIGKILL);
    server.Stop(SIGKILL);
    for (pid_t job : jobs)
        for (int i = 0; i < 500 && !Gone(job); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void ExpectIntegrityClean(const ServerProcess& server) {
    for (const char* nameSpace : {"USER", "%SYS"}) {
        int status = 0;
        const std::string integ =
            server.RunTool({"mupip", "integ", "-region", "DEFAULT"}, status, nameSpace);
        EXPECT_EQ(status, 0) << integ;
        EXPECT_NE(integ.find("No errors detected by integ"), std::string::npos) << integ;
    }
}

TEST(ServerOperations, ClientTextsCannotForgeLogLinesAndFloodsAreSummedUp) {
    ServerProcess server;
    {
        Fd job = LoggedOn(server);
        const std::string address =
            "1.2.3.4\n2026-12-09T00:00:00Z error [listener 1] forged\x1b[2J\x1b]0;x\x07\xc2\x9b";
        std::string request;
        protocol::request::WithList(request, "si:", TMList().MakeStringList(address));
        test::SendAll(job.get(), request);
        EXPECT_EQ(ReadFrame(job.get()), "<OK>" + Z);
        // An M error whose $ZSTATUS holds data: the subscript.
        const std::string name = "^NoSuchNode(\"topsecret\")";
        test::SendAll(job.get(), Request('r', name));
        EXPECT_NE(ReadFrame(job.get()).find("GVUNDEF"), std::string::npos);
        // Lines on GT.M's standard error, from M code as from GT.M.
        const std::string line = "open \"/dev/stderr\" use \"/dev/stderr\" write \"%GTM-W-TEST, "
                                 "hello\",!,\"next\",$c(27),\"[2J\",! close \"/dev/stderr\"";
        test::SendAll(job.get(), Request('x', line));
        EXPECT_EQ(ReadFrame(job.get()), "<OK>" + Z);
    }
    ASSERT_TRUE(LogShows(server, "session closed"));

    // 200 logons with a wrong token from one host.
    for (int i = 0; i < 200; ++i) {
        const auto [port, token] = Redirect(server);
        Fd wrong = test::Connect(port);
        test::SendAll(wrong.get(), "lg:not-" + token + Z);
        ASSERT_EQ(ReadFrame(wrong.get()), "<INVALID TYPE>" + Z);
    }
    EXPECT_EQ(server.Stop(), 0);

    const std::string log = server.Log();
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_EQ(log.find('\x07'), std::string::npos);
    const std::regex shape(
        R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ (error|warning|info|debug) \[(listener|job|server) \d+\] .*)");
    // Every line is one of the server's own: the forged one is inside the job's line.
    for (const std::string& line : Lines(log))
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
    EXPECT_EQ(Count(log, "forged"), 1u);
    EXPECT_NE(log.find("client reports its address as 1.2.3.4\\n2026-12-09T00:00:00Z error "
                       "[listener 1] forged\\x1B[2J\\x1B]0;x\\x07\\xC2\\x9B\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("] M error in session "), std::string::npos) << log;
    EXPECT_NE(log.find(": $ECODE ,M7,"), std::string::npos) << log;
    EXPECT_NE(log.find("%GTM-E-GVUNDEF\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("topsecret"), std::string::npos) << log;
    EXPECT_NE(log.find("warning [job "), std::string::npos);
    EXPECT_NE(log.find("] %GTM-W-TEST, hello\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] next\\x1B[2J\n"), std::string::npos) << log;

    // Each 10 s window logs its first 5 in full and counts the rest into one line; a slow run
    // may take more than one window for the 200.
    const size_t full = Count(log, "refused a logon from 127.0.0.1:");
    size_t counted = 0;
    size_t summaries = 0;
    const std::regex summary(
        R"(refused (\d+) more connections from 127\.0\.0\.1 \(a wrong logon\))");
    for (const std::string& line : Lines(log)) {
        std::smatch match;
        if (std::regex_search(line, match, summary)) {
            counted += std::stoul(match[1]);
            ++summaries;
        }
    }
    EXPECT_EQ(full + counted, 200u) << log;
    EXPECT_GE(summaries, 1u) << log;
    EXPECT_LE(full, 5 * (summaries + 1)) << log; // the last window may end uncounted
}

TEST(ServerOperations, OneServerPerDirectoryAndAHardKillOfFiftyWritersLosesNothing) {
    ServerProcess server;
    const std::string data = server.DataDirectory();
    EXPECT_THROW(ServerProcess second({}, data), std::runtime_error);
    EXPECT_NE(server.Log().find("not starting a second one"), std::string::npos);
    {
        TQdoConnect connect;
        connect.SetServerAddress("127.0.0.1");
        connect.SetServerPort(server.Port());
        connect.SetActive(true);
        EXPECT_EQ(connect.Read("6*7"), "42"); // the refused second server left it alone
    }

    constexpr int writers = 50;
    std::atomic<int> acknowledged[writers];
    std::atomic<int> started{0};
    std::atomic<bool> go{true};
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        acknowledged[w] = 0;
        threads.emplace_back([&, w] {
            try {
                auto connect = Connected(server);
                ++started;
                for (int i = 1; go; ++i) {
                    connect->Write("^Ops(" + std::to_string(w) + "," + std::to_string(i) + ")",
                                   std::to_string(w * 1000003 + i));
                    acknowledged[w] = i;
                }
            } catch (const std::exception&) {
                // the server went away
            }
        });
    }
    for (int i = 0; i < 3000 && started < writers; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    KillEverything(server);
    go = false;
    for (auto& t : threads)
        t.join();

    const size_t before = server.Log().size();
    ASSERT_TRUE(server.Start()) << server.Log().substr(before);
    EXPECT_NE(server.Log().find("did not stop cleanly", before), std::string::npos);
    auto connect = Connected(server);
    int total = 0;
    for (int w = 0; w < writers; ++w) {
        SCOPED_TRACE(w);
        total += acknowledged[w];
        // Every acknowledged write reads back (checked in M, in one request per writer).
        connect->Execute("set bad=0 for i=1:1:" + std::to_string(acknowledged[w].load()) +
                         " if $get(^Ops(" + std::to_string(w) + ",i))'=(" +
                         std::to_string(w * 1000003) + "+i) set bad=bad+1");
        EXPECT_EQ(connect->Read("bad"), "0");
    }
    EXPECT_GT(total, writers);
    connect.reset();
    EXPECT_EQ(server.Stop(), 0);
    ExpectIntegrityClean(server);
}

TEST(ServerOperations, UncleanJobsMakeTheNextStartRecoverAndADamagedDatabaseIsRefused) {
    ServerProcess server;
    const std::string pidFile = server.DataDirectory() + "/qdo-server.pid";
    auto pidFileText = [&] {
        std::ifstream in(pidFile);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };

    // A job killed by a signal, then a clean stop of the listener.
    auto connect = Connected(server);
    connect->Write("^Kept", "1");
    ::kill(static_cast<pid_t>(std::stol(connect->Read("$job"))), SIGKILL);
    ASSERT_TRUE(LogShows(server, "ended by signal 9"));
    connect.reset();
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_NE(server.Log().find("stay marked for recovery"), std::string::npos);
    EXPECT_NE(pidFileText(), "");
    size_t before = server.Log().size();
    ASSERT_TRUE(server.Start()) << server.Log().substr(before);
    EXPECT_NE(server.Log().find("did not stop cleanly", before), std::string::npos);

    // A job in which GT.M reports an error on its standard error, then ends (HALT).
    connect = Connected(server);
    EXPECT_EQ(connect->Read("^Kept"), "1");
    try {
        connect->Execute("open \"/dev/stderr\" use \"/dev/stderr\" write \"%GTM-E-DBRNDWN, Error "
                         "during global database rundown for region DEFAULT\",! halt");
    } catch (const std::exception&) {
        // HALT ends the job: the client sees its connection close
    }
    ASSERT_TRUE(LogShows(server, "did not close the databases cleanly", before));
    connect.reset();
    EXPECT_EQ(server.Stop(), 0);
    before = server.Log().size();
    ASSERT_TRUE(server.Start()) << server.Log().substr(before);
    EXPECT_NE(server.Log().find("did not stop cleanly", before), std::string::npos);

    // Jobs that end cleanly, and a clean stop: no recovery next time. (The job is let end
    // first: a sanitizer build's job that SIGTERM ends reports leaks at exit, a status not 0.)
    connect = Connected(server);
    EXPECT_EQ(connect->Read("^Kept"), "1");
    const auto job = static_cast<pid_t>(std::stol(connect->Read("$job")));
    connect.reset();
    for (int i = 0; i < 1000 && !Gone(job); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(pidFileText(), "") << server.Log();
    before = server.Log().size();
    ASSERT_TRUE(server.Start()) << server.Log().substr(before);
    EXPECT_EQ(server.Log().find("recover", before), std::string::npos)
        << server.Log().substr(before);

    // A damaged database is not served.
    EXPECT_EQ(server.Stop(), 0);
    int status = 0;
    const std::string damage =
        server.RunTool({"dse", "change", "-block=1", "-level=3"}, status, "USER");
    ASSERT_EQ(status, 0) << damage;
    before = server.Log().size();
    EXPECT_FALSE(server.Start());
    EXPECT_NE(server.Log().find("the database of USER (", before), std::string::npos)
        << server.Log().substr(before);
    EXPECT_NE(server.Log().find("failed its integrity check", before), std::string::npos);
}

} // namespace
} // namespace qdo
