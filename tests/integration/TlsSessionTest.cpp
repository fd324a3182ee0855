// The library over TLS against qdo-server, as users reach it: sessions through the C++ class,
// the flat interface and the shell; values of every size; a stored session re-attached and a
// group read cancelled, both through new TLS connections; every way a certificate can be wrong,
// and a plain client at a TLS server, failing with a clear error; client certificates; and a
// certificate reloaded while a session runs.
#include "FlatSupport.h"
#include "ServerProcess.h"
#include "TemporaryFolder.h"
#include "TlsTestServer.h"
#include "capi/qdo.h"
#include "classes/Exceptions.h"
#include "classes/NotificationLoop.h"
#include "connect/Qdoconnect.h"
#include "support/TlsCertificates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

namespace qdo::test {
namespace {

class TlsSession : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // A long handshake time-out: a plain client is told sooner (after 3 s of silence).
        tls_ = new TlsTestServer({"--handshake-timeout", "60"});
        set_ = &tls_->Set;
        server_ = &tls_->Server;
    }
    static void TearDownTestSuite() { delete tls_; }

    static TTlsSettings Trusting() {
        TTlsSettings tls;
        tls.Enabled = true;
        tls.Authorities = set_->Authority.Certificate;
        return tls;
    }
    // A connection to `server` over `tls`, aimed at `host` (not opened).
    static std::unique_ptr<TQdoConnect> Connection(const ServerProcess& server,
                                                   const TTlsSettings& tls,
                                                   const std::string& host = "127.0.0.1") {
        auto connect = std::make_unique<TQdoConnect>();
        connect->SetServerAddress(host);
        connect->SetServerPort(server.Port());
        connect->SetNameSpace("USER");
        connect->SetTimeOutMilliseconds(10000);
        connect->SetTls(tls);
        return connect;
    }
    // The message and code of the EMConnectError that opening `connect` raises.
    static std::pair<std::string, TConnectError> OpenFailure(TQdoConnect& connect) {
        try {
            connect.SetActive(true);
        } catch (const EMConnectError& e) {
            EXPECT_FALSE(connect.Active());
            return {e.what(), e.ErrorCode};
        }
        ADD_FAILURE() << "the open succeeded";
        return {};
    }

    static TlsTestServer* tls_;
    static TTlsTestSet* set_;
    static ServerProcess* server_;
};

TlsTestServer* TlsSession::tls_ = nullptr;
TTlsTestSet* TlsSession::set_ = nullptr;
ServerProcess* TlsSession::server_ = nullptr;

TEST_F(TlsSession, ValuesOfEverySizeGoBothWaysThroughTheComponent) {
    auto connect = Connection(*server_, Trusting());
    connect->SetActive(true);
    ASSERT_TRUE(connect->Active());
    for (const size_t size :
         {size_t{0}, size_t{1}, size_t{16383}, size_t{16384}, size_t{100000}, size_t{1048576}}) {
        SCOPED_TRACE(size);
        std::string value(size, '\0');
        for (size_t i = 0; i < size; ++i)
            value[i] = static_cast<char>(i * 7 + size);
        connect->Write("^TlsValue", value);
        EXPECT_EQ(connect->Read("^TlsValue"), value);
    }
    // Output streamed as a terminal's, in many records.
    std::string streamed;
    connect->OnTerminalOutput = [&](TObject*, const std::string& text) { streamed += text; };
    connect->ExecuteTerminal("for i=1:1:2000 write i,!");
    EXPECT_EQ(std::count(streamed.begin(), streamed.end(), '\n'), 2000);
    connect->Kill("^TlsValue");
}

TEST_F(TlsSession, AStoredSessionComesBackAndACancelReachesItsJobOverTls) {
    auto connect = Connection(*server_, Trusting());
    connect->SetStoreSession(true);
    connect->SetActive(true);
    connect->Execute("set local=42");
    ASSERT_TRUE(connect->SessionStore());
    ASSERT_TRUE(connect->SessionOpen());
    EXPECT_EQ(connect->Read("local"), "42");

    // A cancel goes to the listener on a side connection of its own, over TLS too.
    connect->Execute("kill ^TlsBig for i=1:1:1000000 set ^TlsBig(i)=i");
    int chunks = 0;
    connect->OnGroupRead = [&](TObject*, const std::string&, bool&) {
        if (++chunks == 1)
            connect->CancelGroupRead();
    };
    connect->GroupRead("^TlsBig");
    EXPECT_LT(chunks, 50) << "the whole walk is some 500 chunks";
    EXPECT_EQ(connect->Read("^TlsBig(77)"), "77") << "the connection serves the next request";
    connect->Kill("^TlsBig");
}

// Pumps the calling thread's notification loop until `done` holds or 60 s have passed.
bool PumpUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        ProcessMessages(10);
    }
    return true;
}

// What the job pushes (events, another session's client call) comes through TLS too, while the
// client is idle and several records at once: none waits in TLS unannounced.
TEST_F(TlsSession, EventsAndCallbacksReachAnIdleClientThroughTls) {
    auto client = Connection(*server_, Trusting());
    auto other = Connection(*server_, Trusting());
    client->SetActive(true);
    other->SetActive(true);
    std::vector<int> seen;
    client->OnServerEvent = [&](TObject*, const std::string&, const std::string& params) {
        seen.push_back(std::stoi(params));
    };
    client->SubscribeEvent("TlsCount", false); // no acknowledgements: they come back to back
    other->Execute("for i=1:1:2000 do SendMsg(\"TlsCount\",i)");
    ASSERT_TRUE(PumpUntil([&] { return seen.size() >= 2000; }));
    for (int i = 0; i < 2000; ++i)
        ASSERT_EQ(seen[static_cast<size_t>(i)], i + 1);

    client->OnCallback = [](TObject*, const std::string& command, std::string& answer) {
        answer = "answer to " + command;
    };
    EXPECT_EQ(client->Read("$$Callback(\"inside\")"), "answer to inside");
    std::string session = client->SessionIdentifier();
    if (!session.empty() && session.back() == '\0')
        session.pop_back();
    std::string answered;
    std::thread asker(
        [&] { answered = other->Read("$$ClientCall(\"" + session + "\",\"ping\")"); });
    EXPECT_TRUE(PumpUntil([&] { return !answered.empty(); }));
    asker.join();
    EXPECT_EQ(answered, "answer to ping");
}

// One server whose certificate is replaced (SIGHUP) by every wrong one in turn, while a session
// opened with the right one runs on: each new open fails with the check and the name, the
// running session is served throughout.
TEST_F(TlsSession, EveryWrongCertificateFailsTheOpenWhileTheRunningSessionGoesOn) {
    TemporaryFolder live;
    const TPemFiles served{live.Path() + "/server.crt", live.Path() + "/server.key"};
    std::filesystem::copy_file(set_->Server.Certificate, served.Certificate);
    std::filesystem::copy_file(set_->Server.Key, served.Key);
    ServerProcess server({"--tls-cert", served.Certificate, "--tls-key", served.Key});
    auto running = Connection(server, Trusting());
    running->SetActive(true);
    int reloads = 0;
    const auto serve = [&](const TPemFiles& files) {
        const auto options = std::filesystem::copy_options::overwrite_existing;
        std::filesystem::copy_file(files.Certificate, served.Certificate, options);
        std::filesystem::copy_file(files.Key, served.Key, options);
        ASSERT_EQ(::kill(server.Pid(), SIGHUP), 0);
        ++reloads;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        const auto count = [&] {
            const std::string log = server.Log();
            int n = 0;
            for (size_t at = log.find("TLS certificate reloaded"); at != std::string::npos;
                 at = log.find("TLS certificate reloaded", at + 1))
                ++n;
            return n;
        };
        while (count() < reloads && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(count(), reloads);
    };
    const struct {
        const char* what;
        TPemFiles served;
        std::string host;       // the host aimed at
        std::string serverName; // the name to verify, when not the host
        std::string message;
    } cases[] = {
        {"expired", set_->Expired, "127.0.0.1", "localhost",
         "TLS: the certificate of server name 'localhost' failed verification: certificate has "
         "expired"},
        {"another name", set_->WrongName, "localhost", "",
         "TLS: the certificate of server name 'localhost' failed verification: hostname "
         "mismatch"},
        {"another authority", set_->Untrusted, "127.0.0.1", "",
         "TLS: the certificate of server name '127.0.0.1' failed verification: unable to get "
         "local issuer certificate"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        serve(c.served);
        TTlsSettings tls = Trusting();
        tls.ServerName = c.serverName;
        auto connect = Connection(server, tls, c.host);
        const auto [message, code] = OpenFailure(*connect);
        EXPECT_EQ(code, ceTls);
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(running->Read("1+1"), "2");
    }
    // The right certificate again, but an authority that is not trusted: the system's store by
    // default.
    serve(set_->Server);
    auto connect = Connection(server, [] {
        TTlsSettings tls;
        tls.Enabled = true;
        return tls;
    }());
    const auto [message, code] = OpenFailure(*connect);
    EXPECT_EQ(code, ceTls);
    EXPECT_NE(message.find("unable to get local issuer certificate"), std::string::npos) << message;
    auto trusting = Connection(server, Trusting());
    trusting->SetActive(true);
    EXPECT_EQ(trusting->Read("2+2"), "4");
}

TEST_F(TlsSession, APlainClientAtATlsServerIsToldToTurnTlsOn) {
    auto plain = Connection(*server_, TTlsSettings{});
    const auto started = std::chrono::steady_clock::now();
    const auto [plainMessage, plainCode] = OpenFailure(*plain);
    EXPECT_EQ(plainCode, ceTls);
    EXPECT_EQ(plainMessage,
              "TLS: the server takes TLS connections only; turn TLS on to connect to it");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30))
        << "told after the server's 3 s of silence, not at its handshake time-out of 60 s";
}

TEST_F(TlsSession, AServerThatAsksForClientCertificatesTakesOnlyTrustedOnes) {
    ServerProcess server({"--tls-cert", set_->Server.Certificate, "--tls-key", set_->Server.Key,
                          "--tls-client-ca", set_->Authority.Certificate});
    auto without = Connection(server, Trusting());
    const auto [message, code] = OpenFailure(*without);
    EXPECT_EQ(code, ceTls);
    EXPECT_NE(message.find("the server requires a client certificate"), std::string::npos)
        << message;

    TTlsSettings untrusted = Trusting();
    untrusted.CertificateFile = set_->Untrusted.Certificate;
    untrusted.KeyFile = set_->Untrusted.Key;
    auto stranger = Connection(server, untrusted);
    EXPECT_EQ(OpenFailure(*stranger).second, ceTls);

    TTlsSettings trusted = Trusting();
    trusted.CertificateFile = set_->Client.Certificate;
    trusted.KeyFile = set_->Client.Key;
    auto client = Connection(server, trusted);
    client->SetActive(true);
    EXPECT_EQ(client->Read("$zversion").substr(0, 4), "GT.M");
}

TEST_F(TlsSession, CredentialsTravelInsideTlsToAServerOnEveryInterface) {
    TemporaryFolder folder;
    const std::string users = folder.Path() + "/users";
    std::string output;
    ASSERT_EQ(ServerProcess::RunProgram({"passwd", "--auth", users, "alice"}, output, "secret\n"),
              0)
        << output;
    // Beyond loopback, --auth needs TLS: with it the server starts.
    ServerProcess server({"--listen", "0.0.0.0:0", "--auth", users, "--tls-cert",
                          set_->Server.Certificate, "--tls-key", set_->Server.Key});
    const auto withPassword = [&](const std::string& password) {
        auto connect = Connection(server, Trusting());
        TMAuthorization credentials;
        credentials.SetActive(true);
        credentials.SetUserName("alice");
        credentials.SetPassword(password);
        connect->SetAuthorization(&credentials);
        return connect;
    };
    auto alice = withPassword("secret");
    alice->SetActive(true);
    EXPECT_EQ(alice->Read("1+2"), "3");
    auto stranger = withPassword("guess");
    EXPECT_EQ(OpenFailure(*stranger).second, ceNoJob);
}

TEST_F(TlsSession, TheFlatInterfaceOpensOverTlsAndReportsTheTlsCode) {
    QDOHandle handle = QDOCreateConnect("127.0.0.1", server_->Port(), "USER");
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(QDOSetTls(handle, 1), 1);
    ASSERT_EQ(QDOSetTlsServerName(handle, "localhost"), 1);
    // The system's store first: the test authority is not in it.
    EXPECT_EQ(QDOConnectOpen(handle), 0);
    EXPECT_EQ(QDOGetLastErrorCode(handle), QDO_ERROR_TLS);
    EXPECT_NE(LastErrorOf(handle).find("server name 'localhost'"), std::string::npos);
    ASSERT_EQ(QDOSetTlsAuthorities(handle, set_->Authority.Certificate.c_str()), 1);
    ASSERT_EQ(QDOConnectOpen(handle), 1) << LastErrorOf(handle);
    EXPECT_EQ(ReadOn(handle, "$length($justify(1,70000))"), "70000");
    QDOConnectClose(handle);
    QDODestroyConnect(handle);
}

TEST_F(TlsSession, TheShellSpeaksTlsWithItsOptions) {
    const std::string port = std::to_string(server_->Port());
    std::string out;
    const std::vector<std::string> base{QDO_TOOL_PROGRAM, "--port", port};
    const auto qdo = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), base.begin(), base.end());
        return ServerProcess::Run(arguments, out);
    };
    EXPECT_EQ(qdo({"--tls-ca", set_->Authority.Certificate, "set", "^TlsShell", "over tls"}), 0)
        << out;
    EXPECT_EQ(qdo({"--tls-ca", set_->Authority.Certificate, "get", "^TlsShell"}), 0) << out;
    EXPECT_EQ(out, "over tls\n");
    EXPECT_EQ(qdo({"--tls", "get", "^TlsShell"}), 3) << out; // the system's store
    EXPECT_NE(out.find("unable to get local issuer certificate"), std::string::npos) << out;
    EXPECT_EQ(qdo({"--tls-no-verify", "get", "^TlsShell"}), 0) << out;
    EXPECT_NE(out.find("TLS verification is off"), std::string::npos) << out;
    EXPECT_EQ(qdo({"--tls-ca", set_->Authority.Certificate, "kill", "^TlsShell"}), 0) << out;
}

} // namespace
} // namespace qdo::test
