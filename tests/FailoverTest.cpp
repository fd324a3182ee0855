// Failover over a list of servers, against scripted peers on loopback: the order of the tries
// and each try's time limit, the one error that names every server when all fail, the new
// session that the request after a lost connection opens, the re-attach of a stored session,
// the preference for a secondary, and the settings themselves.
#include "classes/StoredForm.h"
#include "connect/Qdoconnect.h"
#include "support/Connection.h"
#include "support/Loopback.h"
#include "support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <memory>

namespace qdo {
namespace {

using test::AcceptInline;
using test::Chunk;
using test::Nul;
using test::Ok;
using test::OneArgument;
using Peer = test::ScriptedPeer;

// A loopback port that refuses connections: one whose listener has closed.
int32_t RefusingPort() {
    test::Listener listener;
    return listener.Port();
}

std::string At(int32_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

const std::string RoleQuestion = OneArgument('r', "$$role^qdorepl()");

// A connection with a server list, each try limited to `tryMs`, that counts its open events.
struct FailoverClient {
    explicit FailoverClient(const std::string& servers, int32_t tryMs = 300) {
        connect.SetServers(servers);
        connect.SetServerTryTimeOut(tryMs);
        connect.OnBeginConnect = [this](TObject*) { ++begins; };
        connect.OnEndConnect = [this](TObject*, bool connected) { ends.push_back(connected); };
    }
    TQdoConnect connect;
    int begins = 0;
    std::vector<bool> ends;
};

TEST(Failover, AnOpenTriesTheServersInOrderPastARefusalAndASilentServer) {
    const int32_t refusing = RefusingPort();
    test::Listener silent; // takes the connection, never says a word
    Peer answering({AcceptInline("c")});
    FailoverClient client(At(refusing) + "," + At(silent.Port()) + "," +
                          At(answering.PortNumber()));
    client.connect.SetActive(true);
    EXPECT_TRUE(client.connect.Active());
    EXPECT_EQ(client.connect.CurrentServer(), At(answering.PortNumber()));
    EXPECT_EQ(client.connect.JobToken(), "c");
    EXPECT_GE(silent.Accept(0).get(), 0); // it was tried, in its turn
    EXPECT_EQ(client.begins, 1);
    EXPECT_EQ(client.ends, std::vector<bool>{true});
    EXPECT_EQ(client.connect.BusyCount(), 0);
}

TEST(Failover, WhenEveryServerFailsOneErrorNamesEachWithItsReason) {
    const int32_t refusing = RefusingPort();
    test::Listener silent;
    const std::string refused = At(refusing) + " (Windows socket error. Code 10061: ";
    const std::string quiet =
        At(silent.Port()) + " (Time-out. The server did not open a session within 200 ms)";
    const struct {
        std::string servers;
        TErrorHandler mode;
        TConnectError code; // the last failure's
    } cases[] = {
        {At(refusing) + "," + At(silent.Port()), htException, ceTimeOut},
        {At(silent.Port()) + "," + At(refusing), htException, ceSocketNotConnected},
        {At(silent.Port()) + "," + At(refusing), htEvent, ceSocketNotConnected},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.servers);
        FailoverClient client(c.servers, 200);
        client.connect.SetErrorHandler(c.mode);
        int reported = 0;
        client.connect.OnConnectError = [&](TObject*, TConnectError) { ++reported; };
        try {
            client.connect.SetActive(true);
            ADD_FAILURE() << "opened";
        } catch (const EMConnectError& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind("No server of 2 answered: ", 0), 0u) << message;
            EXPECT_NE(message.find(refused), std::string::npos) << message;
            EXPECT_NE(message.find(quiet), std::string::npos) << message;
            EXPECT_EQ(e.ErrorCode, c.code);
        }
        EXPECT_EQ(reported, 0); // one error, raised, under either handler
        EXPECT_FALSE(client.connect.Active());
        EXPECT_EQ(client.connect.CurrentServer(), "");
        EXPECT_EQ(client.ends, std::vector<bool>{false});
        EXPECT_EQ(client.connect.BusyCount(), 0);
        while (silent.Accept(0).get() >= 0) {
        }
    }
}

TEST(Failover, ALostConnectionFailsItsRequestAndTheNextOpensANewSessionOverTheList) {
    auto first = std::make_unique<Peer>(std::vector<Peer::Step>{
        AcceptInline("a"), Peer::Expect(OneArgument('r', "^X")), Peer::Close()});
    Peer second(
        {AcceptInline("b"), Peer::Expect(OneArgument('r', "^Y")), Peer::Send(Chunk("2") + Ok)});
    const std::string firstServer = At(first->PortNumber());
    FailoverClient client(firstServer + "," + At(second.PortNumber()));
    client.connect.SetActive(true);
    EXPECT_EQ(client.connect.CurrentServer(), firstServer);

    EXPECT_THROW(client.connect.Read("^X"), EMConnectionLost);
    EXPECT_FALSE(client.connect.Active());
    EXPECT_EQ(second.Connections(), 0); // nothing happens until the next request
    ASSERT_TRUE(first->WaitForScript());
    first.reset(); // the server is gone: its port refuses

    EXPECT_EQ(client.connect.Read("^Y"), "2");
    EXPECT_EQ(client.connect.CurrentServer(), At(second.PortNumber()));
    EXPECT_EQ(client.connect.JobToken(), "b");
    EXPECT_EQ(client.begins, 2);
    EXPECT_EQ(client.ends, (std::vector<bool>{true, true}));
    second.WaitForScript();
    EXPECT_TRUE(second.Failures().empty()) << second.Failures()[0];
    EXPECT_EQ(second.Received(), OneArgument('r', "^Y")); // the lost request was not sent again

    // A close on purpose is not a loss: the next request finds no connection.
    client.connect.SetActive(false);
    try {
        client.connect.Read("^Z");
        ADD_FAILURE() << "read";
    } catch (const EMConnectError& e) {
        EXPECT_EQ(e.ErrorCode, ceNotConnected);
    }
    EXPECT_EQ(second.Connections(), 1);
}

TEST(Failover, ABlobSequenceAfterALossStartsOnANewSessionButNeverMovesHalfWay) {
    auto first = std::make_unique<Peer>(std::vector<Peer::Step>{
        AcceptInline("a"), Peer::Expect(OneArgument('r', "^X")), Peer::Close()});
    // The new session's server takes the sequence's first bytes, then goes away too.
    Peer second({AcceptInline("b"), Peer::Receive(1), Peer::Close()});
    FailoverClient client(At(first->PortNumber()) + "," + At(second.PortNumber()));
    client.connect.SetActive(true);
    EXPECT_THROW(client.connect.Read("^X"), EMConnectionLost);
    ASSERT_TRUE(first->WaitForScript());
    first.reset();

    // The lock's step fails with the loss; the unlock that follows finds no connection rather
    // than a third session.
    try {
        client.connect.DeleteBLOB(7);
        ADD_FAILURE() << "deleted";
    } catch (const EMConnectError& e) {
        EXPECT_EQ(e.ErrorCode, ceNotConnected);
    }
    EXPECT_EQ(second.Connections(), 1);
    EXPECT_EQ(second.Received().substr(0, 1), "x");
    EXPECT_EQ(client.begins, 2);
    EXPECT_EQ(client.connect.BusyCount(), 0);
}

TEST(Failover, WithoutAListALostConnectionStaysLost) {
    Peer peer({AcceptInline("a"), Peer::Expect(OneArgument('r', "^X")), Peer::Close()});
    TQdoConnect connect;
    test::OpenOn(connect, peer);
    EXPECT_EQ(connect.CurrentServer(), At(peer.PortNumber()));
    EXPECT_THROW(connect.Read("^X"), EMConnectionLost);
    try {
        connect.Read("^X");
        ADD_FAILURE() << "read";
    } catch (const EMConnectError& e) {
        EXPECT_EQ(e.ErrorCode, ceNotConnected);
    }
    EXPECT_EQ(peer.Connections(), 1);
    EXPECT_EQ(connect.CurrentServer(), "");
}

TEST(Failover, AStoredSessionReattachesToItsJobOrOpensANewSessionWhenTheJobIsUnreachable) {
    for (const bool jobStays : {true, false}) {
        SCOPED_TRACE(jobStays ? "the job is there" : "the job is gone");
        std::vector<Peer::Step> jobSteps = test::LogonSteps("t", "S1");
        jobSteps.push_back(Peer::Expect("st"));
        if (jobStays) {
            jobSteps.push_back(Peer::Accept());
            jobSteps.push_back(Peer::Expect("MR:op:S1" + Nul + Nul));
            jobSteps.push_back(Peer::Send("<OK>:again" + Nul));
        }
        auto job = std::make_unique<Peer>(jobSteps);
        Peer listener({test::Redirect(*job, "t"), Peer::Accept(), AcceptInline("fresh")});
        FailoverClient client(At(RefusingPort()) + "," + At(listener.PortNumber()));
        client.connect.SetStoreSession(true);
        client.connect.SetActive(true);
        ASSERT_TRUE(client.connect.ActiveSession());
        ASSERT_TRUE(client.connect.SessionStore());
        if (!jobStays) {
            ASSERT_TRUE(job->WaitForScript());
            job.reset();
        }
        EXPECT_EQ(client.connect.SessionOpen(), jobStays);
        EXPECT_TRUE(client.connect.Active());
        EXPECT_EQ(client.connect.JobToken(), jobStays ? "again" : "fresh");
        EXPECT_EQ(listener.Connections(), jobStays ? 1 : 2);
        EXPECT_EQ(client.begins, jobStays ? 1 : 2);
        if (job) {
            job->WaitForScript();
            EXPECT_TRUE(job->Failures().empty()) << job->Failures()[0];
        }
    }
}

TEST(Failover, PreferSecondaryKeepsTheFirstSecondaryAndClosesTheOthersOpenedOnTheWay) {
    Peer primary(
        {AcceptInline("a"), Peer::Expect(RoleQuestion), Peer::Send(Chunk("primary") + Ok)});
    Peer withoutRole({AcceptInline("b"), Peer::Expect(RoleQuestion),
                      Peer::Send("<ERROR>:,Z150373340,:150373340,LABELMISSING" + Nul)});
    Peer secondary(
        {AcceptInline("c"), Peer::Expect(RoleQuestion), Peer::Send(Chunk("secondary") + Ok)});
    Peer notAsked({});
    FailoverClient client(At(primary.PortNumber()) + "," + At(RefusingPort()) + "," +
                          At(withoutRole.PortNumber()) + "," + At(secondary.PortNumber()) + "," +
                          At(notAsked.PortNumber()));
    client.connect.SetPreferSecondary(true);
    client.connect.SetActive(true);
    EXPECT_EQ(client.connect.CurrentServer(), At(secondary.PortNumber()));
    EXPECT_EQ(client.connect.JobToken(), "c");
    EXPECT_TRUE(primary.WaitForClientClose());
    EXPECT_TRUE(withoutRole.WaitForClientClose());
    EXPECT_EQ(notAsked.Connections(), 0);
    EXPECT_EQ(client.begins, 1);
    for (Peer* peer : {&primary, &withoutRole, &secondary})
        EXPECT_TRUE(peer->Failures().empty()) << peer->Failures()[0];
}

TEST(Failover, WithNoSecondaryTheFirstServerThatOpenedServes) {
    // The first opened is closed while the others are asked, then opened again.
    Peer primary({AcceptInline("a1"), Peer::Expect(RoleQuestion), Peer::Send(Chunk("primary") + Ok),
                  Peer::Accept(), AcceptInline("a2")});
    Peer unreplicated({AcceptInline("b"), Peer::Expect(RoleQuestion), Peer::Send(Ok)});
    FailoverClient client(At(RefusingPort()) + "," + At(primary.PortNumber()) + "," +
                          At(unreplicated.PortNumber()));
    client.connect.SetPreferSecondary(true);
    client.connect.SetActive(true);
    EXPECT_EQ(client.connect.CurrentServer(), At(primary.PortNumber()));
    EXPECT_EQ(client.connect.JobToken(), "a2");
    EXPECT_EQ(primary.Connections(), 2);
    EXPECT_TRUE(unreplicated.WaitForClientClose());

    // The last server of the list, and the first to open: kept open, not opened twice.
    Peer alone({AcceptInline("z"), Peer::Expect(RoleQuestion),
                Peer::Send("<ERROR>:,Z150373340,:150373340,LABELMISSING" + Nul)});
    FailoverClient single(At(RefusingPort()) + "," + At(alone.PortNumber()));
    single.connect.SetPreferSecondary(true);
    single.connect.SetActive(true);
    EXPECT_EQ(single.connect.CurrentServer(), At(alone.PortNumber()));
    EXPECT_EQ(alone.Connections(), 1);
}

TEST(Failover, TheSettingsAreRefusedWhileActiveAndStoredInTheForm) {
    Peer peer({AcceptInline("a")});
    TQdoConnect connect;
    connect.SetServers(At(peer.PortNumber()));
    connect.SetActive(true);
    for (const auto& change : std::vector<std::function<void()>>{
             [&] { connect.SetServers("b:2"); }, [&] { connect.SetPreferSecondary(true); }}) {
        try {
            change();
            ADD_FAILURE() << "changed";
        } catch (const EMConnectError& e) {
            EXPECT_EQ(e.ErrorCode, ceCannotChangeProperty);
        }
    }
    EXPECT_EQ(connect.Servers(), At(peer.PortNumber()));
    EXPECT_FALSE(connect.PreferSecondary());
    connect.SetActive(false);

    // A malformed list leaves the old one; a time-out out of range is ignored.
    EXPECT_THROW(connect.SetServers("a:1,b"), EMConnectError);
    EXPECT_EQ(connect.Servers(), At(peer.PortNumber()));
    connect.SetServerTryTimeOut(250);
    for (int32_t ignored : {-1, 6000001})
        connect.SetServerTryTimeOut(ignored);
    EXPECT_EQ(connect.ServerTryTimeOut(), 250);

    connect.SetServers(" a:1 , [::1]:2 ");
    connect.SetPreferSecondary(true);
    TQdoConnect copy;
    ReadComponentForm(WriteComponentForm(connect), copy);
    EXPECT_EQ(copy.Servers(), "a:1,[::1]:2");
    EXPECT_EQ(copy.ServerTryTimeOut(), 250);
    EXPECT_TRUE(copy.PreferSecondary());

    // Left at their defaults they are not written: the form of a connection without failover
    // is as it always was.
    TQdoConnect plain;
    const std::string form = WriteComponentForm(plain);
    for (const std::string name : {"Servers", "ServerTryTimeOut", "PreferSecondary"})
        EXPECT_EQ(form.find(name), std::string::npos) << form;
}

} // namespace
} // namespace qdo
