// qdo-server with TLS, seen from raw TLS clients: what a client that the library would never be
// can do to it (stall a handshake, speak plain TCP, show or withhold a certificate), reloading
// its certificate while a session runs, and the options it refuses.
#include "RawSession.h"
#include "RawTls.h"
#include "ServerProcess.h"
#include "TemporaryFolder.h"
#include "TlsTestServer.h"
#include "support/Loopback.h"
#include "support/TlsCertificates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

namespace qdo::test {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Waits up to 10 s for `text` in the server's log.
bool LogShows(const ServerProcess& server, const std::string& text) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (server.Log().find(text) == std::string::npos) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class ServerTls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tls_ = new TlsTestServer({"--handshake-timeout", "2"});
        set_ = &tls_->Set;
        server_ = &tls_->Server;
    }
    static void TearDownTestSuite() { delete tls_; }

    // A session opened by hand over TLS, as the library opens one: the create request's
    // redirect read at the listener's port, the logon at the job's, resuming the first
    // connection's TLS session.
    struct Session {
        std::unique_ptr<RawTls> Job;
        bool Resumed = false;
    };
    static Session Open(const ServerProcess& server, const TlsClientOptions& options) {
        RawTls listener(static_cast<uint16_t>(server.Port()), options);
        EXPECT_TRUE(listener.Connected()) << listener.Failure();
        const auto [port, token] = ParseRedirect(listener.ReadFrame());
        TlsClientOptions resuming = options;
        resuming.Resume = listener.Session();
        Session session{std::make_unique<RawTls>(port, resuming)};
        SSL_SESSION_free(resuming.Resume);
        EXPECT_TRUE(session.Job->Connected()) << session.Job->Failure();
        session.Job->Send(Logon(token));
        EXPECT_EQ(session.Job->ReadFrame().rfind("<OK>:", 0), 0u);
        session.Resumed = session.Job->Resumed();
        return session;
    }
    static TlsClientOptions Trusting() { return {.Authority = set_->Authority.Certificate}; }

    static TlsTestServer* tls_;
    static TTlsTestSet* set_;
    static ServerProcess* server_;
};

TlsTestServer* ServerTls::tls_ = nullptr;
TTlsTestSet* ServerTls::set_ = nullptr;
ServerProcess* ServerTls::server_ = nullptr;

TEST_F(ServerTls, ASessionRunsRequestsInsideTlsAndItsSecondConnectionResumes) {
    Session session = Open(*server_, Trusting());
    EXPECT_TRUE(session.Resumed) << "the job port's handshake was a full one";
    const std::string value(100000, 'v'); // many TLS records each way
    std::string write;
    protocol::request::Write(write, "^tls", value);
    session.Job->Send(write);
    EXPECT_EQ(session.Job->ReadFrame(), "<OK>" + Z);
    session.Job->Send(Request('r', "$length(^tls)_\",\"_$extract(^tls,99999,100000)"));
    EXPECT_EQ(session.Job->ReadReply(), "<GO ON>:9" + Z + "100000,vv<OK>" + Z);
    session.Job->Send(Request('r', "^tls"));
    const std::string reply = session.Job->ReadReply();
    EXPECT_GT(reply.size(), value.size());
    EXPECT_EQ(std::count(reply.begin(), reply.end(), 'v'), 100000);
}

TEST_F(ServerTls, APlainClientHearsATlsAlertAtOnceAndTheLogSaysWhy) {
    RawTls listener(static_cast<uint16_t>(server_->Port()), Trusting());
    const uint16_t jobPort = ParseRedirect(listener.ReadFrame()).first;
    for (const uint16_t port : {static_cast<uint16_t>(server_->Port()), jobPort}) {
        SCOPED_TRACE(port);
        Fd plain = Connect(port);
        SendAll(plain.get(), "lg:0123" + Z);
        // A TLS alert record: "protocol version", fatal.
        EXPECT_EQ(ReadBytes(plain.get(), 7, 2000), std::string("\x15\x03\x03\x00\x02\x02\x46", 7));
        EXPECT_EQ(ReadBytes(plain.get(), 1, 2000), "") << "then the connection closes";
    }
    EXPECT_TRUE(LogShows(*server_, "a plain (not TLS) connection; this server takes TLS only"));
}

TEST_F(ServerTls, StrangersAtAJobPortBeforeItsClientDoNotEndItsSession) {
    RawTls listener(static_cast<uint16_t>(server_->Port()), Trusting());
    const auto [port, token] = ParseRedirect(listener.ReadFrame());
    {
        RawTls stranger(port, Trusting());
        ASSERT_TRUE(stranger.Connected()) << stranger.Failure();
        stranger.Send(Logon(std::string(token.size(), '0')));
        EXPECT_EQ(stranger.ReadFrame(), "<INVALID TYPE>" + Z);
    }
    {
        RawTls leaver(port, Trusting()); // a handshake, then nothing
    }
    RawTls client(port, Trusting());
    ASSERT_TRUE(client.Connected()) << client.Failure();
    client.Send(Logon(token));
    EXPECT_EQ(client.ReadFrame().rfind("<OK>:", 0), 0u);
    EXPECT_TRUE(LogShows(*server_, "refused a logon from 127.0.0.1"));
}

// How many sessions the server has given a job so far (its "job PID on port N for PEER" lines).
size_t JobsGiven(const ServerProcess& server) {
    const std::string log = server.Log();
    size_t count = 0;
    for (size_t at = log.find(" on port "); at != std::string::npos;
         at = log.find(" on port ", at + 1))
        ++count;
    return count;
}

TEST_F(ServerTls, StalledHandshakesCostNoJobAndEndAtTheHandshakeTimeOut) {
    const size_t before = JobsGiven(*server_);
    std::vector<Fd> stalled;
    for (int i = 0; i < 20; ++i) {
        stalled.push_back(Connect(static_cast<uint16_t>(server_->Port())));
        if (i % 2 == 1) // half begin a handshake record and stop in it
            SendAll(stalled.back().get(), std::string("\x16\x03\x01\x02\x00\x01", 6));
    }
    // Meanwhile a real client is served as ever.
    Session session = Open(*server_, Trusting());
    session.Job->Send(Request('r', "$zversion"));
    EXPECT_EQ(session.Job->ReadReply().rfind("<GO ON>", 0), 0u);
    EXPECT_EQ(JobsGiven(*server_), before + 1) << "only the real session has a job";
    // One that says nothing is taken for a plain client waiting for its greeting (here at the
    // handshake time-out, shorter than the usual 3 s), and told; one that began a handshake is
    // closed at the handshake time-out.
    for (size_t i = 0; i < stalled.size(); ++i)
        EXPECT_EQ(ReadBytes(stalled[i].get(), 8, 10000),
                  i % 2 == 1 ? "" : std::string("\x15\x03\x03\x00\x02\x02\x46", 7));
    EXPECT_TRUE(LogShows(*server_, "no TLS handshake within 2 s"));
    EXPECT_TRUE(LogShows(*server_, "said nothing for 2000 ms (a plain client waiting for its "
                                   "greeting?); this server takes TLS only"));
}

TEST_F(ServerTls, WithClientAuthoritiesOnlyAClientWithTheirCertificateGetsIn) {
    ServerProcess server({"--tls-cert", set_->Server.Certificate, "--tls-key", set_->Server.Key,
                          "--tls-client-ca", set_->Authority.Certificate});
    // A client certificate that the other authority signed: "untrusted" serves as one.
    const TlsClientOptions refused[] = {
        Trusting(),
        {.Authority = set_->Authority.Certificate,
         .Certificate = set_->Untrusted.Certificate,
         .Key = set_->Untrusted.Key},
    };
    for (const TlsClientOptions& options : refused) {
        RawTls client(static_cast<uint16_t>(server.Port()), options);
        // TLS 1.3 finishes the client's side first: the refusal comes as it reads.
        EXPECT_TRUE(!client.Connected() || client.ReadFrame().empty());
    }
    EXPECT_TRUE(LogShows(server, "peer did not return a certificate"));
    EXPECT_TRUE(LogShows(server, "certificate verify failed"));
    Session session = Open(server, {.Authority = set_->Authority.Certificate,
                                    .Certificate = set_->Client.Certificate,
                                    .Key = set_->Client.Key});
    EXPECT_TRUE(session.Resumed);
    session.Job->Send(Request('r', "1+1"));
    EXPECT_EQ(session.Job->ReadReply(), "<GO ON>:1" + Z + "2<OK>" + Z);
}

TEST_F(ServerTls, SighupReloadsTheCertificateWhileASessionRunsAndABadOneIsRefused) {
    TemporaryFolder live;
    const TTestAuthority authority;
    const TlsClientOptions trusting{.Authority = authority.WriteTo(live.Path(), "ca").Certificate};
    const TPemFiles served = authority.Issue(live.Path(), "server", {});
    const TPemFiles renewed = authority.Issue(live.Path(), "renewed", {});
    ServerProcess server({"--tls-cert", served.Certificate, "--tls-key", served.Key});
    const auto serialNow = [&] {
        return RawTls(static_cast<uint16_t>(server.Port()), trusting).ServerSerial();
    };
    const std::string first = serialNow();
    Session running = Open(server, trusting);

    fs::copy_file(renewed.Certificate, served.Certificate, fs::copy_options::overwrite_existing);
    fs::copy_file(renewed.Key, served.Key, fs::copy_options::overwrite_existing);
    ASSERT_EQ(::kill(server.Pid(), SIGHUP), 0);
    ASSERT_TRUE(LogShows(server, "TLS certificate reloaded from " + served.Certificate));
    const std::string second = serialNow();
    EXPECT_NE(second, first);
    EXPECT_FALSE(second.empty());
    // The session that ran goes on; a new one gets the new certificate at its job's port too.
    running.Job->Send(Request('r', "2+2"));
    EXPECT_EQ(running.Job->ReadReply(), "<GO ON>:1" + Z + "4<OK>" + Z);
    Session next = Open(server, trusting);
    EXPECT_EQ(next.Job->ServerSerial(), second);

    // A key that does not match: the old certificate stays.
    fs::copy_file(set_->Client.Key, served.Key, fs::copy_options::overwrite_existing);
    ASSERT_EQ(::kill(server.Pid(), SIGHUP), 0);
    ASSERT_TRUE(LogShows(server, "TLS certificate not reloaded, the old one stays"));
    EXPECT_EQ(serialNow(), second);
}

TEST(ServerTlsOptions, RefusedCombinations) {
    TemporaryFolder folder;
    const TTlsTestSet set = WriteTlsTestSet(folder.Path());
    const std::string users = folder.Path() + "/users";
    std::string output;
    ASSERT_EQ(ServerProcess::RunProgram({"passwd", "--auth", users, "bob"}, output, "pw\n"), 0)
        << output;
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } refused[] = {
        {{"--listen", "0.0.0.0:0", "--auth", users}, "without TLS would send passwords in clear"},
        {{"--tls-cert", set.Server.Certificate}, "TLS needs both --tls-cert FILE and --tls-key"},
        {{"--tls-client-ca", set.Authority.Certificate}, "--tls-client-ca needs --tls-cert"},
        {{"--tls-cert", set.Server.Certificate, "--tls-key", set.Server.Key, "--inline"},
         "--inline cannot serve TLS"},
        {{"--tls-cert", folder.Path() + "/none.crt", "--tls-key", set.Server.Key},
         "--tls-cert: cannot read " + folder.Path() + "/none.crt"},
        {{"--tls-cert", set.Server.Certificate, "--tls-key", set.Client.Key},
         "--tls-key: " + set.Client.Key},
        {{"--tls-cert", users, "--tls-key", set.Server.Key}, "--tls-cert: " + users},
    };
    for (const auto& c : refused) {
        std::vector<std::string> arguments{"run", "--data", folder.Path() + "/none",
                                           "--allow-root"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        EXPECT_EQ(ServerProcess::RunProgram(arguments, output), 1) << c.message;
        EXPECT_NE(output.find(c.message), std::string::npos) << output;
    }
}

} // namespace
} // namespace qdo::test
