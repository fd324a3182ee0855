// Opening sessions: both handshakes, refusals, logon, storing and re-opening.
#include "connect/Qdoconnect.h"
#include "support/Connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace qdo {
namespace {

using test::AcceptInline;
using test::ClientAddressRequest;
using test::Nul;
using test::OpenOn;
using ScriptedPeer = test::MemoryPeer;
using test::ToHex;

TEST(Session, TheCreateRequestCarriesNamespaceAndCredentials) {
    TMList list;
    const std::string password("p\0w", 3);
    const TVarRec fields[] = {TVarRec("joe"), TVarRec(password), TVarRec("app")};
    const std::string l = list.lb(fields, 2);
    ScriptedPeer peer({ScriptedPeer::Expect("MR:cr:USER:" + std::to_string(l.size()) + Nul + l),
                       ScriptedPeer::Send("<OK>:abc" + Nul)});
    TQdoConnect connect;
    connect.SetNameSpace("USER");
    connect.Authorization()->SetActive(true);
    connect.Authorization()->SetUserName("joe");
    connect.Authorization()->SetPassword(password);
    connect.Authorization()->SetApplication("app");
    OpenOn(connect, peer);
    EXPECT_TRUE(connect.Active());
    EXPECT_EQ(connect.JobToken(), "abc");
    EXPECT_FALSE(connect.ActiveSession()); // no logon on an accepting reply
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    EXPECT_EQ(connect.BusyCount(), 0);
}

// A listener that redirects the client to a job, played by peers of type Peer.
template <typename Peer>
void RedirectAndLogOn() {
    Peer job({ScriptedPeer::Expect("lg:xyz" + Nul), ScriptedPeer::Send("<OK>:S1" + Nul),
              ScriptedPeer::Expect(ClientAddressRequest()), ScriptedPeer::Send(test::Ok)});
    Peer listener(
        {ScriptedPeer::Send("\x01\x02<CONNECT>:" + std::to_string(job.Port()) + ":xyz" + Nul)});
    TQdoConnect connect;
    OpenOn(connect, listener);
    EXPECT_TRUE(connect.Active());
    EXPECT_EQ(job.Connections(), 1); // the link went to the job's port
    EXPECT_EQ(connect.JobToken(), "xyz");
    EXPECT_EQ(ToHex(connect.SessionIdentifier()), ToHex("S1" + Nul));
    EXPECT_TRUE(connect.ActiveSession());
    EXPECT_EQ(connect.GetClientIP(), "127.0.0.1");
    job.WaitForScript();
    EXPECT_TRUE(job.Failures().empty()) << job.Failures()[0];
    EXPECT_EQ(listener.Received(), ""); // the client waited for the listener's first words
    if (TTcpClient* socket = connect.Socket()) {
        EXPECT_EQ(socket->RemotePort(), std::to_string(job.Port()));
    }
}

TEST(Session, ARedirectReconnectsLogsOnAndReportsTheClientAddress) {
    RedirectAndLogOn<ScriptedPeer>();
}

// The same over TCP on loopback: the socket moves to the job's port, and the client address is
// the socket's own.
TEST(SessionOverTcp, ARedirectReconnectsLogsOnAndReportsTheClientAddress) {
    RedirectAndLogOn<test::ScriptedPeer>();
}

TEST(Session, RefusalsSetMErrorAndReportTheirCode) {
    const struct {
        std::string reply;
        TConnectError error;
        std::string mError;
    } cases[] = {
        {"<NO JOB>" + Nul, ceNoJob, "<NO JOB>"},
        {"<NO SESSION>" + Nul, ceNoSession, "<NO SESSION>"},
        {"<CONNECT>" + Nul, ceUnknown, "<CONNECT>"},
        {"<INVALID TYPE>" + Nul, ceInvalidType, "<INVALID TYPE>"},
        {"<OK>" + Nul, ceBadFormat, "Unknown format of received data."},
        {"junk<WHAT>" + Nul, ceBadFormat, "Unknown format of received data."},
    };
    for (TErrorHandler mode : {htException, htEvent}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.mError + (mode == htEvent ? " (event)" : ""));
            ScriptedPeer peer({ScriptedPeer::Send(c.reply)});
            TQdoConnect connect;
            connect.SetErrorHandler(mode);
            std::vector<TConnectError> reported;
            connect.OnConnectError = [&](TObject*, TConnectError e) { reported.push_back(e); };
            if (mode == htException) {
                try {
                    OpenOn(connect, peer);
                    ADD_FAILURE() << "no exception";
                } catch (const EMConnectError& e) {
                    EXPECT_EQ(e.ErrorCode, c.error);
                }
            } else {
                OpenOn(connect, peer);
                EXPECT_EQ(reported, std::vector<TConnectError>{c.error});
            }
            EXPECT_EQ(connect.MError(), c.mError);
            EXPECT_FALSE(connect.Active());
            EXPECT_FALSE(peer.ClientOpen()); // closed in either mode
            EXPECT_EQ(connect.BusyCount(), 0);
        }
    }
}

TEST(Session, RepliesOfOtherShapesCloseWithoutAReport) {
    for (const std::string& reply :
         {"<FOO>:1" + Nul, "<OK>:1:2" + Nul, "<CONNECT>:1" + Nul, "<CONNECT>:1:2:3" + Nul}) {
        SCOPED_TRACE(reply);
        ScriptedPeer peer({ScriptedPeer::Send(reply)});
        TQdoConnect connect;
        EXPECT_NO_THROW(OpenOn(connect, peer));
        EXPECT_FALSE(connect.Active());
        EXPECT_FALSE(peer.ClientOpen());
        EXPECT_EQ(connect.MError(), "");
    }
}

TEST(Session, ARefusedLogonLeavesTheComponentInactiveInEitherMode) {
    const struct {
        std::string reply;
        TConnectError error;
    } cases[] = {{"<INVALID TYPE>" + Nul, ceInvalidType},
                 {"<NO JOB>" + Nul, ceNoJob},
                 {"<NO SESSION>" + Nul, ceNoSession},
                 {"<CONNECT>:1:t" + Nul, ceBadFormat},
                 {"<NO>:x" + Nul, ceBadFormat}};
    for (TErrorHandler mode : {htException, htEvent}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.reply);
            ScriptedPeer job({ScriptedPeer::Expect("lg:t" + Nul), ScriptedPeer::Send(c.reply)});
            ScriptedPeer listener(
                {ScriptedPeer::Send("<CONNECT>:" + std::to_string(job.Port()) + ":t" + Nul)});
            TQdoConnect connect;
            connect.SetErrorHandler(mode);
            std::vector<TConnectError> reported;
            connect.OnConnectError = [&](TObject*, TConnectError e) { reported.push_back(e); };
            if (mode == htException)
                EXPECT_THROW(OpenOn(connect, listener), EMConnectError);
            else
                OpenOn(connect, listener);
            EXPECT_EQ(reported, mode == htEvent ? std::vector<TConnectError>{c.error}
                                                : std::vector<TConnectError>{});
            EXPECT_FALSE(connect.Active());
            EXPECT_FALSE(connect.ActiveSession());
        }
    }
}

TEST(Session, StoringAndReopeningASession) {
    ScriptedPeer job({ScriptedPeer::Expect("lg:t" + Nul), ScriptedPeer::Send("<OK>:S1" + Nul),
                      ScriptedPeer::Expect(ClientAddressRequest()), ScriptedPeer::Send(test::Ok),
                      ScriptedPeer::Expect("st"), ScriptedPeer::Accept(),
                      ScriptedPeer::Expect("MR:op:S1" + Nul + Nul),
                      ScriptedPeer::Send("<OK>:again" + Nul)});
    ScriptedPeer listener(
        {ScriptedPeer::Send("<CONNECT>:" + std::to_string(job.Port()) + ":t" + Nul)});
    TQdoConnect connect;
    OpenOn(connect, listener);
    ASSERT_TRUE(connect.ActiveSession());

    EXPECT_FALSE(connect.SessionStore()); // StoreSession is off: nothing is sent
    connect.SetStoreSession(true);
    EXPECT_TRUE(connect.SessionStore());
    EXPECT_FALSE(connect.Active());
    EXPECT_TRUE(connect.ActiveSession());
    EXPECT_FALSE(job.ClientOpen());

    // Re-attaching goes to the job's port, where the redirect pointed the link.
    EXPECT_TRUE(connect.SessionOpen());
    EXPECT_TRUE(connect.Active());
    EXPECT_EQ(job.Connections(), 2);
    EXPECT_EQ(connect.JobToken(), "again");
    job.WaitForScript();
    EXPECT_TRUE(job.Failures().empty()) << job.Failures()[0];
    EXPECT_EQ(connect.BusyCount(), 0);
}

TEST(Session, ReconnectingDoesNotRepeatTheLastRequest) {
    const std::string read = test::OneArgument('r', "^X");
    ScriptedPeer peer({AcceptInline("one"), ScriptedPeer::Expect(read),
                       ScriptedPeer::Send(test::Ok), ScriptedPeer::Accept(), AcceptInline("two")});
    TQdoConnect connect;
    OpenOn(connect, peer);
    connect.Read("^X");
    connect.SetActive(false);
    connect.SetActive(true);
    EXPECT_EQ(connect.JobToken(), "two");
    peer.WaitForScript();
    connect.SetActive(false);
    EXPECT_EQ(peer.Received(), read); // and nothing on the second connection
    EXPECT_TRUE(peer.Failures().empty());
}

// Opens a connection with a TimeOut of 500 ms on `port` and expects ceTimeOut within it.
void ExpectOpeningToTimeOut(TQdoConnect& connect, int32_t port) {
    connect.SetTimeOutMilliseconds(500);
    connect.SetServerAddress("127.0.0.1");
    connect.SetServerPort(port);
    const auto start = std::chrono::steady_clock::now();
    try {
        connect.SetActive(true);
        ADD_FAILURE() << "no time-out";
    } catch (const EMConnectError& e) {
        EXPECT_EQ(e.ErrorCode, ceTimeOut) << e.Message();
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(450));
    EXPECT_LT(took, std::chrono::milliseconds(1400));
    EXPECT_FALSE(connect.Active());
    EXPECT_EQ(connect.BusyCount(), 0);
}

TEST(SessionOverTcp, AServerThatNeverAnswersTheConnectionTimesOut) {
    test::UnansweredPort nobody;
    TQdoConnect connect;
    ExpectOpeningToTimeOut(connect, nobody.Port());
}

TEST(Session, EveryStepOfOpeningASessionEndsWithinTheTimeOut) {
    const std::string trickle(40, 't');
    std::vector<size_t> everyByte;
    for (size_t i = 1; i < trickle.size(); ++i)
        everyByte.push_back(i);
    const struct {
        const char* what;
        std::function<std::vector<ScriptedPeer::Step>(const ScriptedPeer* job)> listener;
        std::vector<ScriptedPeer::Step> job;
    } cases[] = {
        {"a listener that says nothing",
         [](const ScriptedPeer*) {
             return std::vector<ScriptedPeer::Step>{ScriptedPeer::Pause(900)};
         },
         {}},
        {"a listener that trickles a reply that never ends",
         [&](const ScriptedPeer*) {
             return std::vector<ScriptedPeer::Step>{
                 ScriptedPeer::Send("<OK>:" + trickle, everyByte, 40)};
         },
         {}},
        {"a job that never answers the logon",
         [](const ScriptedPeer* job) {
             return std::vector<ScriptedPeer::Step>{test::Redirect(*job, "t")};
         },
         {ScriptedPeer::Expect("lg:t" + Nul), ScriptedPeer::Pause(900)}},
        {"a job that never answers the client-address request",
         [](const ScriptedPeer* job) {
             return std::vector<ScriptedPeer::Step>{test::Redirect(*job, "t")};
         },
         {ScriptedPeer::Expect("lg:t" + Nul), ScriptedPeer::Send("<OK>:S" + Nul),
          ScriptedPeer::Pause(900)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedPeer job(c.job);
        ScriptedPeer listener(c.listener(&job));
        TQdoConnect connect;
        test::UseMemoryLink(connect);
        ExpectOpeningToTimeOut(connect, listener.PortNumber());
    }
}

TEST(Session, APeerOfAnotherProtocolIsRefusedAtOnce) {
    for (TErrorHandler mode : {htException, htEvent}) {
        SCOPED_TRACE(mode);
        ScriptedPeer banner(
            {ScriptedPeer::Send("SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n"), ScriptedPeer::Pause(900)});
        TQdoConnect connect; // the default TimeOut of ten seconds is not waited for
        connect.SetErrorHandler(mode);
        std::vector<TConnectError> reported;
        connect.OnConnectError = [&](TObject*, TConnectError error) { reported.push_back(error); };
        const auto start = std::chrono::steady_clock::now();
        if (mode == htException) {
            try {
                OpenOn(connect, banner);
                ADD_FAILURE() << "accepted";
            } catch (const EMConnectError& e) {
                EXPECT_EQ(e.ErrorCode, ceBadFormat);
            }
        } else {
            OpenOn(connect, banner);
            EXPECT_EQ(reported, std::vector<TConnectError>{ceBadFormat});
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
        EXPECT_EQ(connect.MError(), "Unknown format of received data.");
        EXPECT_FALSE(connect.Active());
        EXPECT_FALSE(banner.ClientOpen());
    }
}

} // namespace
} // namespace qdo
