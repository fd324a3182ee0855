// The connection over TLS, against a scripted TLS peer on loopback: a whole session, the job's
// link resuming the listener's session, every check that can fail and how it surfaces, peers
// that do not speak TLS, and records cut into single bytes.
#include "classes/NotificationLoop.h"
#include "classes/StoredForm.h"
#include "connect/Qdoconnect.h"
#include "support/Connection.h"
#include "support/TlsCertificates.h"
#include "support/TlsPeer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace qdo {
namespace {

using test::Nul;
using test::OneArgument;
using test::TlsPeer;
using test::TlsServerContext;

class TlsConnection : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new std::filesystem::path(std::filesystem::temp_directory_path() /
                                         ("qdo-tls-connection-" + std::to_string(::getpid())));
        files_ = new test::TTlsTestSet(test::WriteTlsTestSet(dir_->string()));
    }
    static void TearDownTestSuite() {
        std::filesystem::remove_all(*dir_);
        delete files_;
        delete dir_;
    }

    // Settings that trust the test authority.
    static TTlsSettings Trusting() {
        TTlsSettings tls;
        tls.Enabled = true;
        tls.Authorities = files_->Authority.Certificate;
        return tls;
    }

    // A connection aimed at `port` on `host`, with `tls` and a short time-out.
    static void Aim(TQdoConnect& connect, int32_t port, const TTlsSettings& tls,
                    const std::string& host = "127.0.0.1") {
        connect.SetHost(host);
        connect.SetServerPort(port);
        connect.SetTls(tls);
        connect.SetTimeOutMilliseconds(2000);
    }

    // Opens and returns the EMConnectError it raised (a default one, with ceUnknown, when it
    // raised none).
    static EMConnectError OpenFailure(TQdoConnect& connect) {
        try {
            connect.SetActive(true);
        } catch (const EMConnectError& e) {
            return e;
        }
        return EMConnectError("no failure", ceUnknown);
    }

    static std::filesystem::path* dir_;
    static test::TTlsTestSet* files_;
};

std::filesystem::path* TlsConnection::dir_ = nullptr;
test::TTlsTestSet* TlsConnection::files_ = nullptr;

// The steps of a job that logs the client on and answers one read of ^X with `value`.
std::vector<TlsPeer::Step> JobServingOneRead(const std::string& value) {
    return {TlsPeer::Expect("lg:xyz" + Nul),
            TlsPeer::Send("<OK>:S1" + Nul),
            TlsPeer::Expect(test::ClientAddressRequest()),
            TlsPeer::Send(test::Ok),
            TlsPeer::Expect(OneArgument('r', "^X")),
            TlsPeer::Send(test::Chunk(value) + test::Ok)};
}

TEST_F(TlsConnection, ASessionOpensOverTlsAndTheJobsLinkResumesTheListenersSession) {
    // By name (SNI and a DNS name checked) and by address (an IP address checked).
    for (const std::string host : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        TlsServerContext server(files_->Server.Certificate, files_->Server.Key);
        TlsPeer job(server, JobServingOneRead("over TLS"));
        TlsPeer listener(server,
                         {TlsPeer::Send("<CONNECT>:" + std::to_string(job.Port()) + ":xyz" + Nul)});
        TQdoConnect connect;
        Aim(connect, listener.PortNumber(), Trusting(), host);
        connect.SetActive(true);
        ASSERT_TRUE(connect.Active());
        EXPECT_EQ(connect.Read("^X"), "over TLS");
        ASSERT_TRUE(job.WaitForScript());
        EXPECT_TRUE(job.Failures().empty()) << job.Failures()[0];

        const auto first = listener.Handshakes();
        const auto second = job.Handshakes();
        ASSERT_EQ(first.size(), 1u);
        ASSERT_EQ(second.size(), 1u);
        EXPECT_FALSE(first[0].Resumed);
        EXPECT_TRUE(second[0].Resumed); // the ticket of the listener's link
        // The job's link names the host aimed at, not an address the reply might carry.
        const std::string sni = host == "localhost" ? "localhost" : "";
        EXPECT_EQ(first[0].ServerName, sni);
        EXPECT_EQ(second[0].ServerName, sni);
    }
}

TEST_F(TlsConnection, AFailedCheckNamesTheCheckAndTheName) {
    const struct {
        const char* what;
        test::TPemFiles served;
        std::string serverName;
        std::string message;
    } cases[] = {
        {"another authority", files_->Untrusted, "",
         "TLS: the certificate of server name 'localhost' failed verification: unable to get "
         "local issuer certificate"},
        {"expired", files_->Expired, "",
         "TLS: the certificate of server name 'localhost' failed verification: certificate has "
         "expired"},
        {"another name", files_->WrongName, "",
         "TLS: the certificate of server name 'localhost' failed verification: hostname "
         "mismatch"},
        {"a server name set", files_->Server, "db.example.org",
         "TLS: the certificate of server name 'db.example.org' failed verification: hostname "
         "mismatch"},
        {"an address set", files_->Server, "10.1.2.3",
         "TLS: the certificate of server name '10.1.2.3' failed verification: IP address "
         "mismatch"},
    };
    for (TErrorHandler mode : {htException, htEvent}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (mode == htEvent ? " (htEvent)" : ""));
            TlsServerContext server(c.served.Certificate, c.served.Key);
            TlsPeer peer(server, {TlsPeer::Send("<OK>:job" + Nul)});
            TQdoConnect connect;
            connect.SetErrorHandler(mode); // TLS failures raise whatever the mode
            TTlsSettings tls = Trusting();
            tls.ServerName = c.serverName;
            Aim(connect, peer.PortNumber(), tls, "localhost");
            const EMConnectError failure = OpenFailure(connect);
            EXPECT_EQ(failure.ErrorCode, ceTls);
            EXPECT_EQ(failure.Message(), c.message);
            EXPECT_FALSE(connect.Active());
            EXPECT_FALSE(connect.Socket()->Active());
            EXPECT_EQ(peer.Received(), ""); // nothing of the protocol went out
        }
    }
}

TEST_F(TlsConnection, WithoutVerificationAnUntrustedServerIsTakenAndEachOpenWarns) {
    TlsServerContext server(files_->Untrusted.Certificate, files_->Untrusted.Key);
    TlsPeer peer(server, {TlsPeer::Send("<OK>:job" + Nul)});
    TQdoConnect connect;
    TTlsSettings tls;
    tls.Enabled = true;
    tls.Verify = false;
    Aim(connect, peer.PortNumber(), tls);
    ::testing::internal::CaptureStderr();
    connect.SetActive(true);
    const std::string warnings = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(connect.Active());
    EXPECT_EQ(connect.JobToken(), "job");
    EXPECT_EQ(warnings,
              "TLS verification is off for 127.0.0.1:" + std::to_string(peer.Port()) + "\n");
}

TEST_F(TlsConnection, AServerThatRequiresAClientCertificateGetsOneOrRefuses) {
    for (const bool withCertificate : {true, false}) {
        SCOPED_TRACE(withCertificate ? "with a certificate" : "without");
        TlsServerContext server(files_->Server.Certificate, files_->Server.Key,
                                files_->Authority.Certificate);
        TlsPeer peer(server, {TlsPeer::Send("<OK>:job" + Nul)});
        TQdoConnect connect;
        TTlsSettings tls = Trusting();
        if (withCertificate) {
            tls.CertificateFile = files_->Client.Certificate;
            tls.KeyFile = files_->Client.Key;
        }
        Aim(connect, peer.PortNumber(), tls);
        const EMConnectError failure = OpenFailure(connect);
        if (withCertificate) {
            EXPECT_EQ(failure.ErrorCode, ceUnknown) << failure.Message();
            EXPECT_TRUE(connect.Active());
            continue;
        }
        // TLS 1.3 ends the client's handshake before the server checks it: the refusal comes
        // with the first reply.
        EXPECT_EQ(failure.ErrorCode, ceTls);
        EXPECT_NE(failure.Message().find("the server requires a client certificate"),
                  std::string::npos)
            << failure.Message();
        EXPECT_FALSE(connect.Active());
    }
}

TEST_F(TlsConnection, APeerThatDoesNotSpeakTlsFailsTheOpenAtOnce) {
    const struct {
        const char* what;
        std::vector<test::ScriptedPeer::Step> script;
        std::string why;
    } cases[] = {
        {"a plain server speaking first",
         {test::ScriptedPeer::Send("<OK>:job" + Nul)},
         "the server's answer is not TLS (is it a TLS server?)"},
        {"a plain server that hangs up",
         {test::ScriptedPeer::Close()},
         "the server closed the connection (is it a TLS server?)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::ScriptedPeer peer(c.script);
        TQdoConnect connect;
        Aim(connect, peer.PortNumber(), Trusting());
        const EMConnectError failure = OpenFailure(connect);
        EXPECT_EQ(failure.ErrorCode, ceTls);
        EXPECT_EQ(failure.Message(), "TLS handshake with 127.0.0.1:" + std::to_string(peer.Port()) +
                                         " failed: " + c.why);
        EXPECT_FALSE(connect.Active());
    }
}

TEST_F(TlsConnection, AHandshakeNobodyAnswersEndsAtTheTimeOut) {
    test::ScriptedPeer silent({test::ScriptedPeer::Pause(400)});
    TQdoConnect connect;
    Aim(connect, silent.PortNumber(), Trusting());
    connect.SetTimeOutMilliseconds(200);
    const EMConnectError failure = OpenFailure(connect);
    EXPECT_EQ(failure.ErrorCode, ceTimeOut);
    EXPECT_EQ(failure.Message(),
              "Time-out. The TLS handshake with 127.0.0.1:" + std::to_string(silent.Port()) +
                  " did not end within 200 ms (is it a TLS server?); the "
                  "connection was closed.");
    EXPECT_FALSE(connect.Active());
}

TEST_F(TlsConnection, FilesThatCannotBeUsedAreNamed) {
    const std::string missing = (*dir_ / "missing.pem").string();
    const struct {
        const char* what;
        std::string authorities, certificate, key;
        std::string message;
    } cases[] = {
        {"no authorities file", missing, "", "",
         "TLS: cannot use the trusted authorities '" + missing + "': no such file or directory"},
        {"authorities that are a key", files_->Server.Key, "", "",
         "TLS: cannot use the trusted authorities '" + files_->Server.Key + "': "},
        {"no certificate file", files_->Authority.Certificate, missing, files_->Client.Key,
         "TLS: cannot use the client certificate '" + missing + "': no such file or directory"},
        {"no key file", files_->Authority.Certificate, files_->Client.Certificate, missing,
         "TLS: cannot use the client key '" + missing + "': no such file or directory"},
        {"a key of another certificate", files_->Authority.Certificate, files_->Client.Certificate,
         files_->Server.Key, "TLS: cannot use the client key '" + files_->Server.Key + "': "},
        {"a certificate without a key", files_->Authority.Certificate, files_->Client.Certificate,
         "", "TLS: a client certificate needs both a certificate file and a key file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::ScriptedPeer peer({});
        TQdoConnect connect;
        TTlsSettings tls;
        tls.Enabled = true;
        tls.Authorities = c.authorities;
        tls.CertificateFile = c.certificate;
        tls.KeyFile = c.key;
        Aim(connect, peer.PortNumber(), tls);
        const EMConnectError failure = OpenFailure(connect);
        EXPECT_EQ(failure.ErrorCode, ceTls);
        EXPECT_EQ(failure.Message().substr(0, c.message.size()), c.message) << failure.Message();
        EXPECT_FALSE(connect.Active());
    }
}

TEST_F(TlsConnection, RecordsCutIntoSingleBytesMakeTheSameSession) {
    TlsServerContext server(files_->Server.Certificate, files_->Server.Key);
    const std::string value(1000, 'v');
    TlsPeer job(server, JobServingOneRead(value), true);
    TlsPeer listener(
        server, {TlsPeer::Send("<CONNECT>:" + std::to_string(job.Port()) + ":xyz" + Nul)}, true);
    TQdoConnect connect;
    Aim(connect, listener.PortNumber(), Trusting());
    connect.SetActive(true);
    ASSERT_TRUE(connect.Active());
    EXPECT_EQ(connect.Read("^X"), value);
    ASSERT_TRUE(job.WaitForScript());
    EXPECT_TRUE(job.Failures().empty()) << job.Failures()[0];
}

TEST_F(TlsConnection, AnEventInARecordBehindTheReplyReachesTheIdlePath) {
    TMList list;
    list.SetList(1, "soon");
    list.SetList(2, "after");
    const std::string event =
        "<ONMSGCALLBACK>7:" + std::to_string(list.AllList().size()) + Nul + list.AllList();
    TlsServerContext server(files_->Server.Certificate, files_->Server.Key);
    // The reply and the event in two records of one send: TLS reads both from the socket, and
    // the event's record then waits inside TLS, where no read notification announces it.
    TlsPeer peer(server, {TlsPeer::Send("<OK>:job" + Nul), TlsPeer::Expect(OneArgument('r', "^X")),
                          TlsPeer::SendRecords({test::Chunk("v") + test::Ok, event}),
                          TlsPeer::Expect("<CALLBACK>7:0" + Nul)});
    TQdoConnect connect;
    std::vector<std::string> events;
    connect.OnServerEvent = [&](TObject*, const std::string& name, const std::string& params) {
        events.push_back(name + "|" + params);
    };
    Aim(connect, peer.PortNumber(), Trusting());
    connect.SetActive(true);
    EXPECT_EQ(connect.Read("^X"), "v");
    for (int pumped = 0; events.empty() && pumped < 100; ++pumped)
        ProcessMessages(50);
    EXPECT_EQ(events, std::vector<std::string>{"soon|after"});
    ASSERT_TRUE(peer.WaitForScript());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

TEST_F(TlsConnection, ACancelGoesOverTlsOnASideLinkToTheListener) {
    TlsServerContext server(files_->Server.Certificate, files_->Server.Key);
    TlsPeer job(server, {TlsPeer::Expect("lg:xyz" + Nul), TlsPeer::Send("<OK>:S1" + Nul),
                         TlsPeer::Expect(test::ClientAddressRequest()), TlsPeer::Send(test::Ok)});
    TlsPeer listener(server,
                     {TlsPeer::Send("<CONNECT>:" + std::to_string(job.Port()) + ":xyz" + Nul),
                      TlsPeer::Accept(), TlsPeer::Expect("MR:bfl:S1" + Nul + Nul)});
    TQdoConnect connect;
    Aim(connect, listener.PortNumber(), Trusting(), "localhost");
    connect.SetActive(true);
    ASSERT_TRUE(connect.Active());
    connect.CancelGroupRead();
    ASSERT_TRUE(listener.WaitForScript());
    EXPECT_TRUE(listener.Failures().empty()) << listener.Failures()[0];
    const auto handshakes = listener.Handshakes();
    ASSERT_EQ(handshakes.size(), 2u);
    EXPECT_TRUE(handshakes[1].Ok);
    EXPECT_EQ(handshakes[1].ServerName, "localhost");
}

TEST_F(TlsConnection, SettingsAreStoredAndRefusedWhileActive) {
    TQdoConnect written;
    TTlsSettings tls;
    tls.Enabled = true;
    tls.Authorities = "/etc/qdo/ca.pem";
    tls.ServerName = "db.example.org";
    tls.CertificateFile = "client.crt";
    tls.KeyFile = "client.key";
    tls.Verify = false;
    written.SetTls(tls);
    TQdoConnect read;
    ReadComponentForm(WriteComponentForm(written), read);
    EXPECT_EQ(read.Tls(), tls);
    // A form without TLS reads back as plain TCP.
    TQdoConnect plain;
    EXPECT_EQ(WriteComponentForm(plain).find("Tls."), std::string::npos);

    TlsServerContext server(files_->Server.Certificate, files_->Server.Key);
    TlsPeer peer(server, {TlsPeer::Send("<OK>:job" + Nul)});
    TQdoConnect connect;
    Aim(connect, peer.PortNumber(), Trusting());
    connect.SetActive(true);
    ASSERT_TRUE(connect.Active());
    try {
        connect.SetTls({});
        ADD_FAILURE() << "no exception";
    } catch (const EMConnectError& e) {
        EXPECT_EQ(e.ErrorCode, ceCannotChangeProperty);
    }
    EXPECT_TRUE(connect.Tls().Enabled);
}

} // namespace
} // namespace qdo
