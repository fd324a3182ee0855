// A terminal stream that ends in a failure while its output is still coming: the peer closes or
// resets in the middle of it, a handler fails and the peer then goes, or the request's deadline
// runs out. The connection must leave the terminal state, so that once it is opened again the
// next request reads its reply as a reply and not as terminal output.
#include "connect/Qdoconnect.h"
#include "support/Connection.h"

#include <gtest/gtest.h>

#include <functional>

namespace qdo {
namespace {

using test::AcceptInline;
using test::Chunk;
using test::OneArgument;
using test::OpenOn;
using test::ScriptedPeer;
using Step = ScriptedPeer::Step;

TEST(TerminalStreamEnd, AStreamCutOffLeavesTheConnectionReadingRepliesAgain) {
    const std::string terminal = OneArgument('t', "f  w 1");
    const struct {
        const char* what;
        std::vector<Step> end;                 // after the first output, no NUL sent
        std::function<void(TQdoConnect&)> arm; // before the request
        std::vector<std::string> output;       // what reached OnTerminalOutput
    } cases[] = {
        {"the peer closes", {ScriptedPeer::Close()}, [](TQdoConnect&) {}, {"1111"}},
        {"the peer resets", {ScriptedPeer::Reset()}, [](TQdoConnect&) {}, {"1111"}},
        {"the handler fails, then the peer closes",
         {ScriptedPeer::Send("2222"), ScriptedPeer::Close()},
         [](TQdoConnect& c) {
             c.OnTerminalOutput = [](TObject*, const std::string&) {
                 throw Exception("display failed");
             };
         },
         {}},
        {"the request deadline runs out",
         {ScriptedPeer::Pause(1500), ScriptedPeer::Close()},
         [](TQdoConnect& c) { c.SetRequestDeadline(300); },
         {"1111"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Step> script{AcceptInline(), ScriptedPeer::Expect(terminal),
                                 ScriptedPeer::Send("1111")};
        script.insert(script.end(), c.end.begin(), c.end.end());
        // The client comes back: a new session on a new connection, and a read on it.
        script.push_back(ScriptedPeer::Accept());
        script.push_back(AcceptInline("again"));
        script.push_back(ScriptedPeer::Expect(OneArgument('r', "^Y")));
        script.push_back(ScriptedPeer::Send(Chunk("own") + test::Ok));
        ScriptedPeer peer(script);

        TQdoConnect connect;
        OpenOn(connect, peer);
        std::vector<std::string> output;
        connect.OnTerminalOutput = [&](TObject*, const std::string& text) {
            output.push_back(text);
        };
        c.arm(connect);
        EXPECT_THROW(connect.ExecuteTerminal("f  w 1"), Exception);
        EXPECT_EQ(output, c.output);
        EXPECT_EQ(connect.WaitState(), wsCommand);
        EXPECT_FALSE(connect.Active());
        EXPECT_EQ(connect.BusyCount(), 0);

        connect.OnTerminalOutput = [&](TObject*, const std::string& text) {
            output.push_back("late: " + text);
        };
        connect.SetRequestDeadline(0);
        connect.SetActive(true);
        ASSERT_TRUE(connect.Active());
        EXPECT_EQ(connect.JobToken(), "again");
        EXPECT_EQ(connect.Read("^Y"), "own");
        EXPECT_EQ(output, c.output); // nothing more was taken for terminal output
        ASSERT_TRUE(peer.WaitForScript());
        EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    }
}

} // namespace
} // namespace qdo
