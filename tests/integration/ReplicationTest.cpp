// Replicated servers on GT.M's replication, on loopback: instance A the primary and B its
// secondary, each a qdo-server on a data directory of its own, taken through what an operator
// and a client do: writes that reach the secondary, a write the secondary refuses, the
// primary's loss, the promotion of the secondary, and the old primary's return as a secondary;
// and clients with a list of servers, that read on a secondary or follow the promotion.
#include "ServerProcess.h"
#include "SharedServer.h"
#include "TemporaryFolder.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace qdo;
using namespace qdo::test;
namespace fs = std::filesystem;

namespace {

// A port of 127.0.0.1 that nothing listens on now.
std::string FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return std::to_string(ntohs(address.sin_port));
}

// Whether `done` comes true within `seconds`, asked every 50 ms.
bool Within(int seconds, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// "127.0.0.1:PORT" of a server, as a list of servers names it.
std::string At(const ServerProcess& server) {
    return "127.0.0.1:" + std::to_string(server.Port());
}

// The value of NAME in a $$status^qdorepl() text ("role=primary;instance=A;...").
std::string Field(const std::string& status, const std::string& name) {
    std::stringstream fields(status);
    for (std::string field; std::getline(fields, field, ';');)
        if (field.rfind(name + "=", 0) == 0)
            return field.substr(name.size() + 1);
    return "(no " + name + " in '" + status + "')";
}

class Replication : public ::testing::Test {
protected:
    // A fresh data directory made a replication instance named `name`, with the one namespace
    // USER (every namespace is an instance with servers of its own; one keeps the test short).
    std::string Instance(const std::string& name) {
        const std::string data = folder_.Path() + "/" + name + "/data";
        fs::create_directories(folder_.Path() + "/" + name);
        std::string output;
        EXPECT_EQ(
            ServerProcess::RunProgram(
                {"init", "--data", data, "--replication", name, "--namespace", "USER"}, output),
            0)
            << output;
        return data;
    }

    static std::unique_ptr<ServerProcess> Primary(const std::string& data,
                                                  const std::string& secondaryPort) {
        return std::make_unique<ServerProcess>(
            std::vector<std::string>{"--primary", "--replicate-to", "B=127.0.0.1:" + secondaryPort},
            data);
    }
    static std::unique_ptr<ServerProcess> Secondary(const std::string& data,
                                                    const std::string& port) {
        return std::make_unique<ServerProcess>(std::vector<std::string>{"--secondary", port}, data);
    }

    static std::string Status(ServerProcess& server) {
        return Open(server)->Read("$$status^qdorepl()");
    }

    // Whether the secondary has applied every transaction the primary has committed.
    static bool CaughtUp(ServerProcess& primary, ServerProcess& secondary) {
        return Field(Status(secondary), "applied") == Field(Status(primary), "seqno");
    }

    static void ExpectIntact(ServerProcess& server) {
        int status = -1;
        const std::string output = server.RunTool({"mupip", "integ", "-region", "DEFAULT"}, status);
        EXPECT_EQ(status, 0) << output;
        EXPECT_NE(output.find("No errors detected by integ."), std::string::npos) << output;
    }

    TemporaryFolder folder_;
};

TEST_F(Replication, WritesReachTheSecondaryWhichRefusesItsOwnAndClientsFollowAPromotion) {
    const std::string portB = FreePort();
    auto b = Secondary(Instance("B"), portB);
    auto a = Primary(Instance("A"), portB);

    auto onA = Open(*a);
    // 10,000 transactions of 100 bytes each, one sequence number each.
    onA->Execute("for i=1:1:10000 set ^R(i)=$justify(i,100)");
    ASSERT_TRUE(Within(60, [&] { return CaughtUp(*a, *b); }))
        << "A: " << Status(*a) << "\nB: " << Status(*b);

    auto onB = Open(*b);
    EXPECT_EQ(onB->Read("$order(^R(\"\"),-1)"), "10000");
    EXPECT_EQ(onB->Read("^R(1)"), std::string(99, ' ') + "1");
    EXPECT_EQ(onB->Read("^R(10000)"), std::string(95, ' ') + "10000");

    // Each says what it is, and the secondary names its primary.
    EXPECT_EQ(onA->Read("$$role^qdorepl()"), "primary");
    EXPECT_EQ(onB->Read("$$role^qdorepl()"), "secondary");
    const std::string statusA = Status(*a);
    EXPECT_EQ(Field(statusA, "instance"), "A");
    EXPECT_EQ(Field(statusA, "secondaries"), "B");
    EXPECT_EQ(Field(statusA, "seqno"), "10000");
    EXPECT_EQ(Field(statusA, "backlog"), "0");
    const std::string statusB = Status(*b);
    EXPECT_EQ(Field(statusB, "instance"), "B");
    EXPECT_EQ(Field(statusB, "primary"), "A");
    EXPECT_EQ(Field(statusB, "received"), "10000");

    // A write on the secondary is refused, saying where writes go; the session goes on.
    for (const char* line : {"set ^R(1)=0", "kill ^R", "set x=$increment(^R(0))"}) {
        try {
            onB->Execute(line);
            ADD_FAILURE() << line << " was taken on the secondary";
        } catch (const EMServerError& e) {
            EXPECT_NE(e.ServerText.find("SCNDDBNOUPD"), std::string::npos) << e.ServerText;
            EXPECT_NE(e.ServerText.find("read-only secondary of instance A"), std::string::npos)
                << e.ServerText;
        }
    }
    EXPECT_EQ(onB->Read("$data(^R)"), "10");
    // Locals are the session's own: a secondary's session can compute with them.
    EXPECT_EQ(onB->Read("$$role^qdorepl()_$length(^R(5))"), "secondary100");

    // The log shows the state of each namespace's replication.
    EXPECT_NE(a->Log().find("replication: primary"), std::string::npos) << a->Log();
    EXPECT_NE(b->Log().find("replication: secondary"), std::string::npos) << b->Log();

    // A read-only client that prefers a secondary is served by B, though A comes first.
    TQdoConnect reader;
    reader.SetServers(At(*a) + "," + At(*b));
    reader.SetPreferSecondary(true);
    reader.SetActive(true);
    EXPECT_EQ(reader.CurrentServer(), At(*b));
    reader.Execute("zn \"USER\"");
    EXPECT_EQ(reader.Read("^R(7)"), std::string(99, ' ') + "7");

    // A client that knows both servers writes on A, the primary, until A is lost; its request
    // then fails, and its next one opens a session on B, once B is promoted, by itself.
    TQdoConnect writer;
    writer.SetServers(At(*a) + "," + At(*b));
    writer.SetServerTryTimeOut(5000);
    writer.OnEndConnect = [&](TObject*, bool connected) {
        if (connected)
            writer.Execute("zn \"USER\""); // each session is a new job
    };
    writer.SetActive(true);
    ASSERT_EQ(writer.CurrentServer(), At(*a));
    for (int i = 1; i <= 100; ++i)
        writer.Write("^W(" + std::to_string(i) + ")", std::to_string(i));
    ASSERT_TRUE(Within(30, [&] { return CaughtUp(*a, *b); })) << Status(*b);
    onA.reset();
    a->Stop();
    std::string output;
    ASSERT_EQ(ServerProcess::RunProgram({"promote", "--data", b->DataDirectory()}, output), 0)
        << output;
    EXPECT_THROW(writer.Read("^W(1)"), Exception);
    EXPECT_EQ(writer.Read("$order(^W(\"\"),-1)"), "100");
    EXPECT_EQ(writer.CurrentServer(), At(*b));
    writer.Write("^W(101)", "on B");
    EXPECT_EQ(onB->Read("$get(^W(101))"), "on B");
}

TEST_F(Replication, TheSecondaryIsPromotedAndTheOldPrimaryRejoinsAsItsSecondary) {
    const std::string portA = FreePort();
    const std::string portB = FreePort();
    const std::string dataA = Instance("A");
    const std::string dataB = Instance("B");
    auto b = Secondary(dataB, portB);
    auto a = Primary(dataA, portB);
    Open(*a)->Execute("set ^F(\"before\")=1");
    ASSERT_TRUE(Within(30, [&] { return CaughtUp(*a, *b); })) << Status(*b);

    // The secondary goes down, and the primary takes a write that B never gets; then the
    // primary goes down too.
    const auto stop = [](std::unique_ptr<ServerProcess>& server) {
        server->Stop();
        EXPECT_EQ(server->Log().find("still runs"), std::string::npos) << server->Log();
        server.reset();
    };
    stop(b);
    Open(*a)->Execute("set ^F(\"lost\")=1");
    stop(a);

    // B comes back and is promoted, to send to A once A is back.
    b = Secondary(dataB, portB);
    std::string output;
    ASSERT_EQ(ServerProcess::RunProgram(
                  {"promote", "--data", dataB, "--replicate-to", "A=127.0.0.1:" + portA}, output),
              0)
        << output;
    auto onB = Open(*b);
    EXPECT_EQ(onB->Read("$$role^qdorepl()"), "primary");
    EXPECT_EQ(onB->Read("$get(^F(\"before\"))_\"/\"_$get(^F(\"lost\"))"), "1/");
    onB->Execute("set ^F(\"after\")=1");

    // A rejoins as B's secondary: it rolls back the write B never had, and takes B's.
    a = Secondary(dataA, portA);
    // While it rolls back, a session's read may meet GT.M's DBROLLEDBACK error: asked again.
    ASSERT_TRUE(Within(60,
                       [&] {
                           try {
                               return Open(*a)->Read("$get(^F(\"after\"))") == "1";
                           } catch (const EMServerError& e) {
                               EXPECT_NE(e.ServerText.find("DBROLLEDBACK"), std::string::npos)
                                   << e.ServerText;
                               return false;
                           }
                       }))
        << Status(*a) << "\n"
        << a->Log();
    auto onA = Open(*a);
    EXPECT_EQ(onA->Read("$data(^F(\"lost\"))"), "0");
    EXPECT_EQ(onA->Read("$$role^qdorepl()"), "secondary");
    EXPECT_EQ(Field(Status(*a), "primary"), "B");
    // What was rolled back is kept in the lost-transactions file beside the journal.
    std::string lost;
    for (const auto& entry : fs::directory_iterator(dataA))
        if (entry.path().filename().string().find(".lost") != std::string::npos) {
            std::ifstream in(entry.path());
            lost += std::string(std::istreambuf_iterator<char>(in), {});
        }
    EXPECT_NE(lost.find("^F(\"lost\")=\"1\""), std::string::npos) << lost;

    // A promotion needs a running secondary.
    EXPECT_NE(ServerProcess::RunProgram({"promote", "--data", dataB}, output), 0);
    EXPECT_NE(output.find("no running receiver"), std::string::npos) << output;

    onA.reset();
    onB.reset();
    a->Stop();
    b->Stop();
    ExpectIntact(*a);
    ExpectIntact(*b);
}

TEST_F(Replication, ARunThatDoesNotFitTheDirectoryIsRefused) {
    const std::string replicated = Instance("A");
    std::string output;
    const std::string plain = folder_.Path() + "/plain/data";
    fs::create_directories(folder_.Path() + "/plain");
    ASSERT_EQ(ServerProcess::RunProgram({"init", "--data", plain, "--namespace", "USER"}, output),
              0)
        << output;
    const struct {
        std::vector<std::string> Arguments;
        std::string Says;
    } cases[] = {
        {{"run", "--data", replicated}, "run it with --primary or --secondary"},
        {{"run", "--data", plain, "--primary"}, "is no replication instance"},
        {{"run", "--data", plain, "--replicate-to", "B=127.0.0.1:1"}, "add --primary"},
        {{"run", "--data", replicated, "--primary", "--replicate-to", "B=127.0.0.1"},
         "NAME=HOST:PORT"},
        {{"run", "--data", replicated, "--primary", "--replicate-to", "9B=h:1"},
         "no instance name"},
        {{"init", "--data", folder_.Path() + "/x", "--replication", "toolonginstancename"},
         "instance name"},
        {{"promote", "--data", plain}, "is no replication instance"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = c.Arguments;
        if (arguments[0] == "run" && geteuid() == 0)
            arguments.push_back("--allow-root");
        EXPECT_NE(ServerProcess::RunProgram(arguments, output), 0) << c.Says;
        EXPECT_NE(output.find(c.Says), std::string::npos) << output;
    }
}

} // namespace
