// Failover against two independent qdo-servers, A and B, as a user would: a connection with the
// list "A,B" opens on A; when A stops, the request in flight fails, and the next one runs on B in
// a new session (with OnBeginConnect and OnEndConnect), through the C++ component and through
// the flat interface; a list of servers that are all down fails naming each; and with
// PreferSecondary, servers that are no secondary (not replicated, they answer the role question
// with "", or with an M error where the server lacks the role function) leave the first one
// serving.
#include "FlatSupport.h"
#include "ServerProcess.h"
#include "capi/qdo.h"
#include "connect/Qdoconnect.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <memory>

namespace qdo {
namespace {

using test::ServerProcess;

std::string At(int32_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

class FailoverOnServers : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        a_ = new ServerProcess();
        b_ = new ServerProcess();
    }
    static void TearDownTestSuite() {
        delete a_;
        delete b_;
    }
    // A runs (again, on a port of its own, after a test stopped it).
    static void StartA() {
        if (!ServerProcess::Alive(a_->Pid())) {
            ASSERT_TRUE(a_->Start()) << a_->Log();
        }
    }
    static std::string Servers() { return At(a_->Port()) + "," + At(b_->Port()); }

    static ServerProcess* a_;
    static ServerProcess* b_;
};
ServerProcess* FailoverOnServers::a_ = nullptr;
ServerProcess* FailoverOnServers::b_ = nullptr;

TEST_F(FailoverOnServers, WithPreferSecondaryAndNoSecondaryTheFirstServerServes) {
    StartA();
    TQdoConnect connect;
    connect.SetServers(Servers());
    connect.SetPreferSecondary(true);
    connect.SetActive(true);
    EXPECT_EQ(connect.CurrentServer(), At(a_->Port()));
    EXPECT_EQ(connect.Read("1+1"), "2");
}

TEST_F(FailoverOnServers, WhenTheServerStopsTheNextRequestFailsAndTheOneAfterRunsOnTheNextServer) {
    StartA();
    TQdoConnect connect;
    connect.SetServers(Servers());
    connect.SetServerTryTimeOut(5000);
    int begins = 0;
    std::vector<bool> ends;
    connect.OnBeginConnect = [&](TObject*) { ++begins; };
    // A new session is a new job: it is put in the namespace again.
    connect.OnEndConnect = [&](TObject*, bool connected) {
        ends.push_back(connected);
        if (connected)
            connect.Execute("zn \"USER\"");
    };
    connect.SetActive(true);
    ASSERT_EQ(connect.CurrentServer(), At(a_->Port()));
    connect.Write("^Failover", "on A");
    EXPECT_EQ(connect.Read("^Failover"), "on A");

    EXPECT_EQ(a_->Stop(), 0);
    try {
        connect.Read("^Failover");
        ADD_FAILURE() << "read from a stopped server";
    } catch (const Exception& e) {
        EXPECT_NE(std::string(e.what()), "");
    }
    EXPECT_FALSE(connect.Active());
    EXPECT_EQ(connect.CurrentServer(), "");

    EXPECT_EQ(connect.Read("$data(^Failover)"), "0"); // B is another database
    EXPECT_EQ(connect.CurrentServer(), At(b_->Port()));
    connect.Write("^Failover", "on B");
    EXPECT_EQ(connect.Read("^Failover"), "on B");
    EXPECT_EQ(begins, 2);
    EXPECT_EQ(ends, (std::vector<bool>{true, true}));
    connect.Kill("^Failover");
}

TEST_F(FailoverOnServers, TheFlatInterfaceFailsOverTheSameWay) {
    StartA();
    QDOHandle handle = QDOCreateConnect("127.0.0.1", a_->Port(), "USER");
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(QDOSetServers(handle, Servers().c_str()), 1) << test::LastErrorOf(handle);
    ASSERT_EQ(QDOConnectOpen(handle), 1) << test::LastErrorOf(handle);
    const auto current = [handle] {
        QDOString out;
        EXPECT_EQ(QDOGetCurrentServer(handle, &out), 1);
        return std::string(out.Data, out.Length);
    };
    EXPECT_EQ(current(), At(a_->Port()));
    EXPECT_EQ(test::ReadOn(handle, "1+2"), "3");

    EXPECT_EQ(a_->Stop(), 0);
    char* value = nullptr;
    size_t length = 0;
    EXPECT_EQ(QDOReadValue(handle, "1", 1, &value, &length), 0);
    EXPECT_NE(test::LastErrorOf(handle), "");
    EXPECT_EQ(current(), "");

    EXPECT_EQ(test::ReadOn(handle, "2+2"), "4");
    EXPECT_EQ(current(), At(b_->Port()));
    QDODestroyConnect(handle);
}

TEST_F(FailoverOnServers, AListOfServersThatAreAllDownFailsNamingEach) {
    if (ServerProcess::Alive(a_->Pid()))
        a_->Stop();
    const int32_t stopped = a_->Port();
    int32_t closed = 0;
    {
        test::Listener gone;
        closed = gone.Port();
    }
    TQdoConnect connect;
    connect.SetServers(At(stopped) + "," + At(closed));
    try {
        connect.SetActive(true);
        ADD_FAILURE() << "opened";
    } catch (const EMConnectError& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.rfind("No server of 2 answered: ", 0), 0u) << message;
        for (int32_t port : {stopped, closed})
            EXPECT_NE(message.find(At(port) + " (Windows socket error. Code 10061: Connection "
                                              "refused"),
                      std::string::npos)
                << message;
        EXPECT_EQ(e.ErrorCode, ceSocketNotConnected);
    }
    EXPECT_FALSE(connect.Active());
}

} // namespace
} // namespace qdo
