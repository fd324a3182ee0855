// Whole-system tests of a server that is safe to leave running: credentials (through the C++
// component and the flat interface), their file and its tool, the pace and throttling of
// refusals, the handshake's details, and the rights the server runs with.
#include "RawSession.h"
#include "ServerProcess.h"
#include "SharedServer.h"
#include "TemporaryFolder.h"
#include "capi/qdo.h"
#include "connect/Qdoconnect.h"
#include "encodings/Mlist.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace qdo::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// Runs `qdo-server passwd` with the password on stdin; returns its output, failing the test
// when it fails.
std::string Passwd(const std::string& file, const std::string& user, const std::string& password) {
    std::string output;
    EXPECT_EQ(ServerProcess::RunProgram({"passwd", "--auth", file, user}, output, password + "\n"),
              0)
        << output;
    return output;
}

std::unique_ptr<TQdoConnect> Connection(const ServerProcess& server, const std::string& user,
                                        const std::string& password,
                                        const std::string& nameSpace = "USER") {
    auto connect = std::make_unique<TQdoConnect>();
    connect->SetServerAddress("127.0.0.1");
    connect->SetServerPort(server.Port());
    connect->SetNameSpace(nameSpace);
    TMAuthorization credentials;
    credentials.SetActive(true);
    credentials.SetUserName(user);
    credentials.SetPassword(password);
    credentials.SetApplication("tests");
    connect->SetAuthorization(&credentials);
    return connect;
}

// The error code with which opening fails, or -1 when it opens.
int OpenFailure(TQdoConnect& connect) {
    try {
        connect.SetActive(true);
        return -1;
    } catch (const EMConnectError& e) {
        return e.ErrorCode;
    }
}

QDOString Counted(const std::string& text) {
    QDOString counted{};
    counted.Length = static_cast<uint16_t>(text.size());
    std::memcpy(counted.Data, text.data(), text.size());
    return counted;
}

std::string CreateRequest(const std::string& nameSpace, const std::string& user,
                          const std::string& password) {
    TMList list;
    std::string request;
    protocol::request::WithList(request, "MR:cr:" + nameSpace + ":",
                                list.MakeStringList(user) + list.MakeStringList(password) +
                                    list.MakeStringList("raw"));
    return request;
}

// One server that requires credentials for the tests of this suite, with alice and bob.
class CredentialsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new TemporaryFolder();
        file_ = folder_->Path() + "/auth";
        Passwd(file_, "alice", "wonderland");
        Passwd(file_, "bob", "builder");
        server_ = new ServerProcess(
            {"--auth", file_, "--handshake-timeout", "2", "--max-auth-failures", "1000"});
    }
    static void TearDownTestSuite() {
        delete server_;
        delete folder_;
    }
    static TemporaryFolder* folder_;
    static std::string file_;
    static ServerProcess* server_;
};
TemporaryFolder* CredentialsTest::folder_ = nullptr;
std::string CredentialsTest::file_;
ServerProcess* CredentialsTest::server_ = nullptr;

TEST_F(CredentialsTest, AcceptedCredentialsStartTheSessionInTheirNamespace) {
    auto connect = Connection(*server_, "alice", "wonderland", "USER");
    connect->SetActive(true);
    EXPECT_EQ(fs::path(connect->Read("$ZGBLDIR")).filename(), "USER.gld");
    connect->Write("^Security(\"cpp\")", "yes");
    EXPECT_EQ(connect->Read("^Security(\"cpp\")"), "yes");

    QDOHandle flat = QDOCreateConnect("127.0.0.1", server_->Port(), "USER");
    const QDOString user = Counted("bob"), password = Counted("builder");
    ASSERT_EQ(QDOSetCredentials(flat, &user, &password, nullptr), 1);
    ASSERT_EQ(QDOConnectOpen(flat), 1);
    static QDOString expression, out;
    expression = Counted("^Security(\"cpp\")_$ZGBLDIR");
    ASSERT_EQ(QDORead(flat, &expression, &out), 1);
    const std::string read(out.Data, out.Length);
    EXPECT_EQ(read.substr(0, 3), "yes");
    EXPECT_EQ(read.substr(read.size() - 8), "USER.gld");
    QDODestroyConnect(flat);
    EXPECT_NE(server_->Log().find("(user bob) in USER"), std::string::npos);
}

TEST_F(CredentialsTest, EveryRefusalIsNoJobAtTheSamePace) {
    // Unknown user and wrong password must not be told apart by the time the answer takes.
    const auto timeRefusal = [&](const std::string& user, const std::string& password,
                                 const std::string& nameSpace = "USER") {
        auto connect = Connection(*server_, user, password, nameSpace);
        const auto start = Clock::now();
        EXPECT_EQ(OpenFailure(*connect), ceNoJob) << user << "/" << password << "@" << nameSpace;
        EXPECT_FALSE(connect->Active());
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    std::vector<double> unknownUser, wrongPassword;
    for (int i = 0; i < 3; ++i) {
        unknownUser.push_back(timeRefusal("mallory", "wonderland"));
        wrongPassword.push_back(timeRefusal("alice", "Wonderland"));
    }
    std::sort(unknownUser.begin(), unknownUser.end());
    std::sort(wrongPassword.begin(), wrongPassword.end());
    EXPECT_NEAR(unknownUser[1], wrongPassword[1], 0.1 * wrongPassword[1]);
    const double noNamespace = timeRefusal("alice", "wonderland", "NOSUCH");
    EXPECT_NEAR(noNamespace, wrongPassword[1], 0.1 * wrongPassword[1]);

    QDOHandle flat = QDOCreateConnect("127.0.0.1", server_->Port(), "USER");
    const QDOString user = Counted("alice"), password = Counted("");
    ASSERT_EQ(QDOSetCredentials(flat, &user, &password, nullptr), 1);
    EXPECT_EQ(QDOConnectOpen(flat), 0);
    EXPECT_EQ(QDOGetLastErrorCode(flat), QDO_ERROR_NO_JOB);
    QDODestroyConnect(flat);

    const std::string log = server_->Log();
    EXPECT_NE(log.find("wrong user name or password (user mallory)"), std::string::npos);
    EXPECT_NE(log.find("no namespace NOSUCH (user alice)"), std::string::npos);
    EXPECT_EQ(log.find("Wonderland"), std::string::npos) << "a password in the log";
}

TEST_F(CredentialsTest, AClientWithoutCredentialsHearsNoJobAtTheHandshakeTimeOut) {
    TQdoConnect anonymous;
    anonymous.SetServerAddress("127.0.0.1");
    anonymous.SetServerPort(server_->Port());
    const auto start = Clock::now();
    EXPECT_EQ(OpenFailure(anonymous), ceNoJob);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1900));
}

TEST_F(CredentialsTest, ALogonWithItsFirstRequestIsServedAndASilentCallerDelaysNothing) {
    const test::Fd greeted = test::Connect(static_cast<uint16_t>(server_->Port()));
    test::SendAll(greeted.get(), CreateRequest("USER", "alice", "wonderland"));
    const auto [jobPort, token] = test::ParseRedirect(test::ReadFrame(greeted.get()));
    ASSERT_NE(jobPort, 0);

    const test::Fd silent = test::Connect(jobPort); // connects first and never speaks
    const test::Fd client = test::Connect(jobPort);
    const auto start = Clock::now();
    test::SendAll(client.get(), test::Logon(token) + test::Request('r', "1+41"));
    std::string replies;
    for (int frame = 0; frame < 3; ++frame)
        replies += test::ReadFrame(client.get());
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500)) << "waited for the silent one";
    EXPECT_EQ(replies.rfind("<OK>:", 0), 0u) << replies;
    EXPECT_NE(replies.find("<GO ON>:2"), std::string::npos) << replies;
    EXPECT_NE(replies.find("42<OK>"), std::string::npos) << replies;
}

TEST(ServerAnonymousCreate, AnAnonymousServerStartsTheJobInTheNamespaceOfTheCreateRequest) {
    auto connect = Connection(Shared(), "anyone", "anything", "user");
    connect->SetActive(true);
    EXPECT_EQ(fs::path(connect->Read("$ZGBLDIR")).filename(), "USER.gld");
    auto nowhere = Connection(Shared(), "anyone", "anything", "NOSUCH");
    EXPECT_NE(OpenFailure(*nowhere), -1) << "a session in a namespace that does not exist";
    EXPECT_FALSE(nowhere->Active());
    // A client's mistake, not a job that ended uncleanly: no recovery at the next start.
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (Shared().Log().find("refused a session in namespace NOSUCH") == std::string::npos &&
           Clock::now() < end)
        usleep(20000);
    usleep(200000); // the listener reaps the job
    EXPECT_NE(Shared().Log().find("refused a session in namespace NOSUCH"), std::string::npos);
    EXPECT_EQ(Shared().Log().find("next start recovers"), std::string::npos) << Shared().Log();
}

TEST(ServerCredentialsTool, PasswdAddsChangesAndRemovesUsersAndKeepsNoClearText) {
    TemporaryFolder folder;
    const std::string file = folder.Path() + "/auth";
    EXPECT_NE(Passwd(file, "alice", "first secret").find("added user alice"), std::string::npos);
    Passwd(file, "bob", "bob's secret");
    const std::string firstText = ReadFile(file);
    EXPECT_EQ(firstText.find("secret"), std::string::npos) << firstText;
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    EXPECT_NE(Passwd(file, "alice", "second secret").find("changed the password of alice"),
              std::string::npos);
    std::string output;
    EXPECT_EQ(ServerProcess::RunProgram({"passwd", "--auth", file, "bob", "--remove"}, output), 0);
    EXPECT_NE(output.find("removed user bob"), std::string::npos) << output;
    const std::string text = ReadFile(file);
    EXPECT_EQ(text.find("bob:"), std::string::npos);
    EXPECT_NE(text.find("alice:$argon2id$"), std::string::npos);
    EXPECT_NE(text, firstText);

    const struct {
        std::vector<std::string> arguments;
        std::string input;
        std::string message;
    } refused[] = {
        {{"passwd", "--auth", file, "bob", "--remove"}, "", "no user bob"},
        {{"passwd", "--auth", file, "carol"}, "\n", "an empty password is not allowed"},
        {{"passwd", "--auth", file, "carol"}, "", "no password on standard input"},
        {{"passwd", "--auth", file, "ca:rol"}, "x\n", "a user name is"},
        {{"passwd", "carol"}, "x\n", "passwd needs --auth FILE"},
    };
    for (const auto& c : refused) {
        EXPECT_EQ(ServerProcess::RunProgram(c.arguments, output, c.input), 1) << c.message;
        EXPECT_NE(output.find(c.message), std::string::npos) << output;
    }

    // The server takes the file, and only with safe modes.
    ::chmod(file.c_str(), 0620);
    EXPECT_EQ(ServerProcess::RunProgram({"run", "--data", folder.Path(), "--auth", file}, output),
              1);
    EXPECT_NE(output.find("writable by others than its owner"), std::string::npos) << output;
}

TEST(ServerCredentialsThrottle, AHostThatFailsTooOftenIsRefusedEvenWithTheRightPassword) {
    TemporaryFolder folder;
    const std::string file = folder.Path() + "/auth";
    Passwd(file, "alice", "wonderland");
    ServerProcess server({"--auth", file, "--max-auth-failures", "3"});
    for (int i = 0; i < 3; ++i) {
        auto wrong = Connection(server, "alice", "guess" + std::to_string(i));
        EXPECT_EQ(OpenFailure(*wrong), ceNoJob);
    }
    auto right = Connection(server, "alice", "wonderland");
    EXPECT_EQ(OpenFailure(*right), ceNoJob);
    EXPECT_NE(server.Log().find("too many failed logons from this host"), std::string::npos);
}

// The modes of everything under `path` that are not as they should be.
std::string WrongModes(const std::string& path) {
    std::string wrong;
    const auto check = [&](const fs::path& p, bool directory) {
        struct stat info {};
        if (::lstat(p.c_str(), &info) != 0 || S_ISLNK(info.st_mode))
            return;
        if ((info.st_mode & 077) != 0 || (directory && (info.st_mode & 0700) != 0700))
            wrong += p.string() + " " + std::to_string(info.st_mode & 0777) + "\n";
    };
    check(path, true);
    for (const auto& entry : fs::recursive_directory_iterator(path))
        check(entry.path(), entry.is_directory());
    return wrong;
}

TEST(ServerPrivileges, DataDirectoriesAreTheOwnersOnlyWhateverTheUmask) {
    TemporaryFolder folder;
    const std::string data = folder.Path() + "/data";
    const mode_t previous = umask(0);
    std::string output;
    const int status = ServerProcess::RunProgram({"init", "--data", data}, output);
    umask(previous);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(WrongModes(data), "");
    {
        // What a serving server adds (routines, run directory, tables) is its owner's only too.
        const mode_t before = umask(0);
        ServerProcess server({}, data);
        umask(before);
        auto connect = std::make_unique<TQdoConnect>();
        connect->SetServerAddress("127.0.0.1");
        connect->SetServerPort(server.Port());
        connect->SetActive(true);
        connect->Write("^Mode", "1");
        EXPECT_EQ(WrongModes(data), "");
    }
}

TEST(ServerPrivileges, RefusalsBeforeServing) {
    TemporaryFolder folder;
    std::string output;
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } refused[] = {
        {{"--listen", "0.0.0.0:0"}, "add --insecure-anonymous"},
        {{"--listen", "[::1]:0"}, "IPv4 only"},
        {{"--listen", "::1:0"}, "IPv4 only"},
    };
    for (const auto& c : refused) {
        std::vector<std::string> arguments{"run", "--data", folder.Path() + "/none",
                                           "--allow-root"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        EXPECT_EQ(ServerProcess::RunProgram(arguments, output), 1) << c.message;
        EXPECT_NE(output.find(c.message), std::string::npos) << output;
    }
    if (geteuid() == 0) {
        EXPECT_EQ(ServerProcess::RunProgram({"run", "--data", folder.Path()}, output), 1);
        EXPECT_NE(output.find("does not run as root"), std::string::npos) << output;
    }
}

TEST(ServerPrivileges, AnAnonymousServerOnAllInterfacesWarnsAndRestrictsAndLocalhostIsLoopback) {
    ServerProcess everywhere({"--listen", "0.0.0.0:0", "--insecure-anonymous"});
    EXPECT_EQ(everywhere.Host(), "0.0.0.0");
    EXPECT_NE(everywhere.Log().find("anyone who can reach the port can run any M code as user"),
              std::string::npos)
        << everywhere.Log();
    // Strangers' code starts no processes there.
    TQdoConnect stranger;
    stranger.SetServerAddress("127.0.0.1");
    stranger.SetServerPort(everywhere.Port());
    stranger.SetActive(true);
    try {
        stranger.Execute("zsystem \"true\"");
        ADD_FAILURE() << "a shell command ran";
    } catch (const EMServerError& e) {
        EXPECT_NE(std::string(e.what()).find("--restrict"), std::string::npos) << e.what();
    }
    EXPECT_EQ(stranger.Read("1+1"), "2");

    ServerProcess local({"--listen", "localhost:0"});
    EXPECT_EQ(local.Host(), "127.0.0.1");
}

TEST(ServerPrivileges, RootBecomesTheServiceUserAfterBinding) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can change users";
    TemporaryFolder folder;
    ::chmod(folder.Path().c_str(), 0711);
    const std::string data = folder.Path() + "/data";
    std::string output;
    ASSERT_EQ(ServerProcess::RunProgram({"init", "--data", data}, output), 0) << output;
    EXPECT_EQ(ServerProcess::RunProgram({"run", "--data", data, "--user", "nobody"}, output), 1);
    EXPECT_NE(output.find("does not belong to nobody"), std::string::npos) << output;

    for (const auto& entry : fs::recursive_directory_iterator(data))
        ::lchown(entry.path().c_str(), 65534, 65534);
    ::chown(data.c_str(), 65534, 65534);
    ServerProcess server({"--user", "nobody"}, data);
    TQdoConnect connect;
    connect.SetServerAddress("127.0.0.1");
    connect.SetServerPort(server.Port());
    connect.SetActive(true);
    const std::string job = connect.Read("$JOB");
    const std::string status = ReadFile("/proc/" + job + "/status");
    EXPECT_NE(status.find("Uid:\t65534\t65534\t65534\t65534"), std::string::npos) << status;
    const std::string listener = ReadFile("/proc/" + std::to_string(server.Pid()) + "/status");
    EXPECT_NE(listener.find("Uid:\t65534\t65534\t65534\t65534"), std::string::npos);
}

} // namespace
} // namespace qdo::test
