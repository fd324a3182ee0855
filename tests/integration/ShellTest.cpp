// qdo's shell as a user meets it: on a pseudo-terminal (line editing, history, completion,
// Ctrl-C, Ctrl-D), and reading a script from standard input.
#include "ServerProcess.h"
#include "SharedServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qdo {
namespace {

using test::ServerProcess;
using test::Shared;
using Clock = std::chrono::steady_clock;

// qdo on the shared server, its terminal a pseudo-terminal that the test types into and reads.
// Every wait is bounded; the process is killed at the end if it still runs.
class Terminal {
public:
    // qdo --port PORT ARGUMENTS...; without arguments, its shell.
    explicit Terminal(const std::string& historyFile, std::vector<std::string> arguments = {}) {
        arguments.insert(arguments.begin(),
                         {QDO_TOOL_PROGRAM, "--port", std::to_string(Shared().Port())});
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            setenv("QDO_HISTORY", historyFile.c_str(), 1);
            setenv("TERM", "xterm", 1);
            setenv("LC_ALL", "C", 1); // no locale: typed UTF-8 must come through all the same
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Terminal() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0)
            close(master_);
    }
    bool Started() const { return pid_ > 0 && master_ >= 0; }

    // Types Ctrl-D once the line editor reads the terminal byte by byte: the terminal itself
    // would take a Ctrl-D that comes before, between the prompt and the switch, as the end of
    // an empty line of its own and drop it.
    void TypeEndOfInput() {
        for (int i = 0; i < 1000; ++i) {
            termios mode{};
            if (tcgetattr(master_, &mode) == 0 && (mode.c_lflag & ICANON) == 0)
                break;
            usleep(10000);
        }
        Type("\x04");
    }

    void Type(const std::string& keys) {
        ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    // Reads until `text` has appeared since the last Expect; true when it did within 10 s. What
    // came up to its end is in Seen(), and is not looked at again.
    bool Expect(const std::string& text) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (true) {
            const size_t found = pending_.find(text);
            if (found != std::string::npos) {
                seen_ = pending_.substr(0, found + text.size());
                pending_.erase(0, found + text.size());
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                break;
            pollfd watched{master_, POLLIN, 0};
            if (poll(&watched, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char block[4096];
            const ssize_t n = read(master_, block, sizeof block);
            if (n <= 0)
                break; // the program ended
            pending_.append(block, static_cast<size_t>(n));
        }
        seen_ = pending_;
        ADD_FAILURE() << "never saw \"" << text << "\"; got:\n" << pending_;
        return false;
    }
    const std::string& Seen() const { return seen_; }

    // The exit status, waiting at most 10 s for it; -1 when it did not end.
    int Wait() {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            // Drained, so that the program never blocks on a full terminal; once it has closed
            // its side, reads fail at once, hence the pause.
            char block[4096];
            pollfd watched{master_, POLLIN, 0};
            ssize_t n;
            if (poll(&watched, 1, 10) > 0 && (n = read(master_, block, sizeof block)) > 0)
                pending_.append(block, static_cast<size_t>(n));
            else
                usleep(10000);
        }
        const auto read = [&](const char* name) {
            std::stringstream text;
            text << std::ifstream("/proc/" + std::to_string(pid_) + "/" + name).rdbuf();
            return text.str();
        };
        ADD_FAILURE() << "the program did not end: " << read("stat") << read("syscall")
                      << read("stack") << "and wrote:\n"
                      << pending_;
        return -1;
    }

private:
    pid_t pid_ = -1;
    int master_ = -1;
    bool exited_ = false;
    std::string pending_;
    std::string seen_;
};

const std::string prompt = "qdo> ";
const std::string upArrow = "\x1b[A";
const char ctrlC = '\x03';

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qdo-shell-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::string History() const { return folder_ + "/history"; }

    std::string folder_;
};

TEST_F(ShellTest, RunsCommandsRecallsThemCompletesThemAndEndsAtCtrlD) {
    {
        Terminal shell(History());
        ASSERT_TRUE(shell.Started());
        ASSERT_TRUE(shell.Expect(prompt));
        // A reference with a space and quotes in a subscript, and a value of several words.
        shell.Type("set ^ShellT(\"a b\") one \"two\" three\r");
        ASSERT_TRUE(shell.Expect(prompt));
        shell.Type("get ^ShellT(\"a b\")\r");
        ASSERT_TRUE(shell.Expect(prompt));
        EXPECT_NE(shell.Seen().find("\r\none \"two\" three\r\n"), std::string::npos)
            << shell.Seen();

        // The previous line again: up-arrow, then Enter.
        shell.Type("x write ^ShellT(\"a b\")=\"one \"\"two\"\" three\"\r");
        ASSERT_TRUE(shell.Expect(prompt));
        EXPECT_NE(shell.Seen().find("\r\n1"), std::string::npos) << shell.Seen();
        shell.Type("x set ^ShellT(\"n\")=$get(^ShellT(\"n\"))+1\r");
        ASSERT_TRUE(shell.Expect(prompt));
        shell.Type(upArrow + "\r");
        ASSERT_TRUE(shell.Expect(prompt));
        shell.Type("get ^ShellT(\"n\")\r");
        ASSERT_TRUE(shell.Expect(prompt));
        EXPECT_NE(shell.Seen().find("\r\n2\r\n"), std::string::npos) << shell.Seen();

        // wa and Tab complete to walk.
        shell.Type("wa\t");
        ASSERT_TRUE(shell.Expect("lk"));
        shell.Type("^ShellT\r");
        ASSERT_TRUE(shell.Expect(prompt));
        EXPECT_NE(shell.Seen().find("^ShellT(\"a b\") = one \"two\" three\r\n"
                                    "^ShellT(\"n\") = 2\r\n"),
                  std::string::npos)
            << shell.Seen();

        // Tab completes the file name of tx (and of batch, export and import).
        std::ofstream(folder_ + "/tx-operations.txt") << "incr ^ShellT(\"n\") 10\n";
        shell.Type("tx " + folder_ + "/tx-op\t");
        ASSERT_TRUE(shell.Expect("erations.txt"));
        shell.Type("\r");
        ASSERT_TRUE(shell.Expect(prompt));
        EXPECT_NE(shell.Seen().find("\r\n12\r\n"), std::string::npos) << shell.Seen();
        shell.Type("x set ^ShellT(\"n\")=2\r");
        ASSERT_TRUE(shell.Expect(prompt));

        // Text beyond ASCII is taken as typed, byte for byte.
        shell.Type("set ^ShellT(\"u\") caf\xc3\xa9 \xe2\x82\xac\r");
        ASSERT_TRUE(shell.Expect(prompt));
        shell.Type(
            "x write $zlength(^ShellT(\"u\")),\" \",^ShellT(\"u\")=(\"caf\"_$zchar(195,169)_\" "
            "\"_$zchar(226,130,172))\r");
        ASSERT_TRUE(shell.Expect(prompt));
        EXPECT_NE(shell.Seen().find("\r\n9 1"), std::string::npos) << shell.Seen();
        shell.Type("kill ^ShellT(\"u\")\r");
        ASSERT_TRUE(shell.Expect(prompt));

        // An error says why and the shell goes on; Ctrl-C drops a half-typed line.
        shell.Type("get ^ShellTNone\r");
        ASSERT_TRUE(shell.Expect(prompt));
        EXPECT_NE(shell.Seen().find("GVUNDEF"), std::string::npos) << shell.Seen();
        shell.Type(std::string("kill ^ShellT") + ctrlC);
        ASSERT_TRUE(shell.Expect(prompt));
        shell.Type("get ^ShellT(\"n\")\r");
        ASSERT_TRUE(shell.Expect(prompt));
        EXPECT_NE(shell.Seen().find("\r\n2\r\n"), std::string::npos) << shell.Seen();

        shell.TypeEndOfInput();
        EXPECT_EQ(shell.Wait(), 0);
    }
    // The history outlives the run: the next shell recalls the last line of this one.
    Terminal again(History());
    ASSERT_TRUE(again.Started());
    ASSERT_TRUE(again.Expect(prompt));
    again.Type(upArrow + "\r");
    ASSERT_TRUE(again.Expect(prompt));
    EXPECT_NE(again.Seen().find("\r\n2\r\n"), std::string::npos) << again.Seen();
    again.Type("kill ^ShellT\r");
    ASSERT_TRUE(again.Expect(prompt));
    again.Type("quit\r");
    EXPECT_EQ(again.Wait(), 0);
    EXPECT_EQ(std::filesystem::status(History()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(ShellTest, CtrlCStopsALongLineOrAListenAndTheShellGoesOn) {
    std::string out;
    ASSERT_EQ(ServerProcess::Run({QDO_TOOL_PROGRAM, "--port", std::to_string(Shared().Port()),
                                  "set", "^ShellC", "known"},
                                 out),
              0)
        << out;
    Terminal shell(History());
    ASSERT_TRUE(shell.Started());
    ASSERT_TRUE(shell.Expect(prompt));

    // A line that would write for 1000 s: Ctrl-C once it writes, and the next command works on
    // the new session.
    shell.Type("t f i=1:1:100000 w i,! h 0.01\r");
    ASSERT_TRUE(shell.Expect("\r\n5\r\n"));
    shell.Type(std::string(1, ctrlC));
    ASSERT_TRUE(shell.Expect(prompt));
    EXPECT_NE(shell.Seen().find("interrupted"), std::string::npos) << shell.Seen();
    shell.Type("get ^ShellC\r");
    ASSERT_TRUE(shell.Expect(prompt));
    EXPECT_NE(shell.Seen().find("\r\nknown\r\n"), std::string::npos) << shell.Seen();

    // Listen hears an event, Ctrl-C ends it, and it unsubscribed: a send reaches nobody.
    shell.Type("listen ShellEv\r");
    ASSERT_TRUE(shell.Expect("Ctrl-C stops"));
    ASSERT_EQ(ServerProcess::Run({QDO_TOOL_PROGRAM, "--port", std::to_string(Shared().Port()),
                                  "send", "ShellEv", "tick 1"},
                                 out),
              0);
    EXPECT_EQ(out, "1\n");
    ASSERT_TRUE(shell.Expect("ShellEv tick 1\r\n"));
    shell.Type(std::string(1, ctrlC));
    ASSERT_TRUE(shell.Expect(prompt));
    shell.Type("send ShellEv tick 2\r");
    ASSERT_TRUE(shell.Expect(prompt));
    EXPECT_NE(shell.Seen().find("\r\n0\r\n"), std::string::npos) << shell.Seen();
    // The session is the same one: a local variable set before the listen is still there.
    shell.Type("x set here=1\r");
    ASSERT_TRUE(shell.Expect(prompt));
    shell.Type("listen ShellEv\r");
    ASSERT_TRUE(shell.Expect("Ctrl-C stops"));
    shell.Type(std::string(1, ctrlC));
    ASSERT_TRUE(shell.Expect(prompt));
    shell.Type("x write here\r");
    ASSERT_TRUE(shell.Expect(prompt));
    EXPECT_NE(shell.Seen().find("\r\n1"), std::string::npos) << shell.Seen();

    shell.Type("kill ^ShellC\r");
    ASSERT_TRUE(shell.Expect(prompt));
    shell.TypeEndOfInput();
    EXPECT_EQ(shell.Wait(), 0);
}

TEST_F(ShellTest, CtrlCEndsAOneShotListenWhichUnsubscribesAndSucceeds) {
    Terminal listen(History(), {"listen", "ShellOneShot"});
    ASSERT_TRUE(listen.Started());
    ASSERT_TRUE(listen.Expect("Ctrl-C stops"));
    std::string out;
    const std::vector<std::string> send{
        QDO_TOOL_PROGRAM, "--port", std::to_string(Shared().Port()), "send", "ShellOneShot", "-"};
    ASSERT_EQ(ServerProcess::Run(send, out, "pa\x1bram\n"), 0);
    EXPECT_EQ(out, "1\n");
    // Shown safely: no escape byte reaches the terminal.
    ASSERT_TRUE(listen.Expect("ShellOneShot "));
    ASSERT_TRUE(listen.Expect("\r\n"));
    EXPECT_EQ(listen.Seen(), "\"pa\"_$C(27)_\"ram\"_$C(10)\r\n");
    listen.Type(std::string(1, ctrlC));
    EXPECT_EQ(listen.Wait(), 0);
    ASSERT_EQ(ServerProcess::Run(send, out), 0);
    EXPECT_EQ(out, "0\n");
}

TEST(Shell, ReadsAScriptFromStandardInputAndEndsWithTheStatusOfTheLastFailure) {
    // An M line that writes the session's locks with their levels, one a line.
    const std::string showLocks = "x n z,i zshow \"L\":z f i=1:1 q:'$d(z(\"L\",i))  "
                                  "w:z(\"L\",i)[\"LOCK \" z(\"L\",i),!\n";
    const std::vector<std::string> qdo{QDO_TOOL_PROGRAM, "--port", std::to_string(Shared().Port())};
    const struct {
        std::string script;
        int status;
        std::string output; // stdout and stderr; exactly for a status of 0, else a part
    } cases[] = {
        {"set ^ShellS(\"x y\",1) a \"quoted\" value\n"
         "  get ^ShellS(\"x y\",1)  \n"
         "\n"
         "x write $length(^ShellS(\"x y\",1)),!\n"
         "set ^ShellS(2) -\n" // the text "-": standard input holds the script
         "walk ^ShellS\n"
         "send ShellScriptNobody some params\n"
         "kill ^ShellS\n",
         0, "a \"quoted\" value\n16\n^ShellS(2) = -\n^ShellS(\"x y\",1) = a \"quoted\" value\n0\n"},
        {"get ^ShellSNone\nx write 1\n", 1, "GVUNDEF"}, // goes on after the error
        {"frobnicate\n", 2, "there is no command frobnicate"},
        {"get ^ShellS(\"open\n", 2, "not closed"},
        {"walk\nquit\nget ^ShellSNone\n", 2, "REF is required"}, // nothing runs after quit
        {"help\n", 0, ""},                                       // checked below
        // A lock taken in the shell lasts until unlocked, across lines; a second lock of the
        // same session is incremental, and unlock without a reference releases every level.
        {"lock ^ShellL(\"a b\")\nlock ^ShellL(\"a b\") 0.5\n" + showLocks +
             "unlock ^ShellL(\"a b\")\n" + showLocks + "unlock\n" + showLocks + "x w \"end\",!\n",
         0, "LOCK ^ShellL(\"a b\") LEVEL=2\nLOCK ^ShellL(\"a b\") LEVEL=1\nend\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        std::string out;
        EXPECT_EQ(ServerProcess::Run(qdo, out, c.script), c.status) << out;
        if (c.status == 0 && !c.output.empty())
            EXPECT_EQ(out, c.output);
        else
            EXPECT_NE(out.find(c.output), std::string::npos) << out;
    }
    std::string out;
    std::vector<std::string> raw = qdo;
    raw.push_back("--raw"); // the display flags of the command line hold for every line
    ASSERT_EQ(ServerProcess::Run(raw, out, "set ^ShellS v\nget ^ShellS\nkill ^ShellS\n"), 0);
    EXPECT_EQ(out, "v");
    // A session that ends under the shell (HALT ends the server's job) is opened anew for the
    // next command, without what the old one held.
    EXPECT_EQ(
        ServerProcess::Run(qdo, out, "x set here=1\nx halt\nx write \"[\",$data(here),\"]\"\n"), 3)
        << out;
    EXPECT_NE(out.find("this is a new one"), std::string::npos) << out;
    EXPECT_NE(out.find("[0]"), std::string::npos) << out;
    ServerProcess::Run(qdo, out, "x write 1\nfrobnicate\n");
    EXPECT_NE(out.find("1"), std::string::npos) << out;
    ASSERT_EQ(ServerProcess::Run(qdo, out, "help\nhelp listen\n"), 0);
    for (const char* word :
         {"get",     "set",       "kill", "walk",   "x",      "t",     "blob", "listen", "send",
          "--count", "--timeout", "quit", "data",   "order",  "query", "incr", "lock",   "unlock",
          "call",    "ls",        "tree", "export", "import", "tx",    "batch"})
        EXPECT_NE(out.find(word), std::string::npos) << word;
}

} // namespace
} // namespace qdo
