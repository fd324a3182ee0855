// The data commands against a scripted peer: exact request bytes, chunk order, parameter
// variants, terminal execution and the cancel request on a side connection.
#include "connect/Qdoconnect.h"
#include "support/Connection.h"

#include <gtest/gtest.h>

namespace qdo {
namespace {

using test::AcceptInline;
using test::Chunk;
using test::Hex;
using test::Nul;
using test::OneArgument;
using test::OpenOn;
using ScriptedPeer = test::MemoryPeer;
using test::ToHex;
using Step = ScriptedPeer::Step;

TEST(DataCommands, RequestBytesAreExact) {
    const struct {
        std::function<void(TQdoConnect&)> call;
        std::string bytes;
    } cases[] = {
        {[](TQdoConnect& c) { c.Read("^X(1)"); }, Hex("72 00 35 00 5E 58 28 31 29")},
        {[](TQdoConnect& c) { c.Read(""); }, Hex("72 00 30 00")},
        {[](TQdoConnect& c) { c.Write("^X(1)", "abc"); },
         Hex("77 00 35 00 5E 58 28 31 29 33 00 61 62 63")},
        {[](TQdoConnect& c) { c.Write("", ""); }, Hex("77 00 30 00 30 00")},
        {[](TQdoConnect& c) { c.Execute("w 1"); }, OneArgument('x', "w 1")},
        {[](TQdoConnect& c) { c.Kill("^X"); }, OneArgument('k', "^X")},
        {[](TQdoConnect& c) { c.Read(std::string("a\0\r\nb", 5)); },
         OneArgument('r', std::string("a\0\r\nb", 5))},
        {[](TQdoConnect& c) { c.Write(std::string("\0", 1), std::string(300, 'v')); },
         "w" + Nul + "1" + Nul + Nul + "300" + Nul + std::string(300, 'v')},
        {[](TQdoConnect& c) { c.GroupRead("^X"); }, Hex("66 6C 3A 34 00 04 01 5E 58")},
        {[](TQdoConnect& c) { c.GroupRead(""); }, Hex("66 6C 3A 32 00 02 01")},
    };
    std::vector<Step> script{AcceptInline()};
    for (const auto& c : cases) {
        script.push_back(ScriptedPeer::Expect(c.bytes));
        script.push_back(ScriptedPeer::Send(test::Ok));
    }
    ScriptedPeer peer(script);
    TQdoConnect connect;
    OpenOn(connect, peer);
    for (const auto& c : cases) {
        c.call(connect);
        EXPECT_EQ(ToHex(connect.OutgoingRequest()), ToHex(c.bytes));
    }
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

TEST(DataCommands, ChunkOrderThroughOnGroupRead) {
    const std::string reply = Chunk("1") + Chunk("2") + Chunk("3") + test::Ok;
    const struct {
        const char* what;
        std::function<std::string(TQdoConnect&)> call;
        std::string request;
        std::vector<std::string> handed;
    } cases[] = {
        {"Execute",
         [](TQdoConnect& c) { return c.Execute("w 1"); },
         OneArgument('x', "w 1"),
         {"1", "2", "3"}},
        {"GroupRead",
         [](TQdoConnect& c) { return c.GroupRead("^X"); },
         Hex("66 6C 3A 34 00 04 01 5E 58"),
         {"1", "2"}},
        {"Read", [](TQdoConnect& c) { return c.Read("^X"); }, OneArgument('r', "^X"), {"1", "2"}},
    };
    // Without a handler the result is every chunk joined.
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedPeer peer(
            {AcceptInline(), ScriptedPeer::Expect(c.request), ScriptedPeer::Send(reply)});
        TQdoConnect connect;
        OpenOn(connect, peer);
        std::vector<std::string> handed;
        EXPECT_EQ(c.call(connect), "123");
        ScriptedPeer again(
            {AcceptInline(), ScriptedPeer::Expect(c.request), ScriptedPeer::Send(reply)});
        TQdoConnect handled;
        OpenOn(handled, again);
        handled.OnGroupRead = [&](TObject*, const std::string& value, bool& more) {
            handed.push_back(value);
            more = handed.size() < 3; // Execute's own last call ignores what is left here
        };
        EXPECT_EQ(c.call(handled), "3");
        EXPECT_EQ(handed, c.handed);
    }
}

TEST(DataCommands, ExecuteHandsOverAnEmptyReplyOnce) {
    ScriptedPeer peer({AcceptInline(), ScriptedPeer::Expect(OneArgument('x', "k ^X")),
                       ScriptedPeer::Send(test::Ok)});
    TQdoConnect connect;
    OpenOn(connect, peer);
    std::vector<std::string> handed;
    connect.OnGroupRead = [&](TObject*, const std::string& value, bool&) {
        handed.push_back(value);
    };
    EXPECT_EQ(connect.Execute("k ^X"), "");
    EXPECT_EQ(handed, std::vector<std::string>{""});
}

TEST(DataCommands, ParameterVariantsUseQueryAndFillQueryResult) {
    ScriptedPeer peer({AcceptInline(), ScriptedPeer::Expect(Hex("72 00 30 00")),
                       ScriptedPeer::Send(Chunk("a\r\nb") + test::Ok),
                       ScriptedPeer::Expect(OneArgument('x', "s x=1\r\nw x\r\n")),
                       ScriptedPeer::Send(Chunk("one\rtwo\n\nthree\r\n") + test::Ok),
                       ScriptedPeer::Expect(OneArgument('k', "^X\r\n")),
                       ScriptedPeer::Send(Chunk("x" + Nul + "y") + test::Ok),
                       ScriptedPeer::Expect(OneArgument('r', "")),
                       ScriptedPeer::Send("<ERROR>" + Nul)});
    TQdoConnect connect;
    OpenOn(connect, peer);
    connect.ReadParam();
    EXPECT_EQ(connect.QueryResult()->Lines(), (std::vector<std::string>{"a", "b"}));

    TStringList query;
    query.Add("s x=1");
    query.Add("w x");
    connect.SetQuery(&query);
    connect.ExecuteParam();
    EXPECT_EQ(connect.QueryResult()->Lines(),
              (std::vector<std::string>{"one", "two", "", "three"}));

    connect.Query()->Clear();
    connect.Query()->Add("^X");
    connect.KillParam();
    EXPECT_EQ(connect.QueryResult()->Lines(), std::vector<std::string>{"x"}); // ends at the NUL

    connect.Query()->Clear();
    EXPECT_THROW(connect.ReadParam(), EMConnectError);
    EXPECT_EQ(connect.QueryResult()->Lines(), std::vector<std::string>{"x"}); // left as it was
}

TEST(DataCommands, AFailedTerminalExecutePutsTheWaitStateBack) {
    ScriptedPeer peer({AcceptInline(), ScriptedPeer::Expect(OneArgument('t', "w x")),
                       ScriptedPeer::Send("out" + Nul + "<ERROR>undefined" + Nul)});
    TQdoConnect connect;
    OpenOn(connect, peer);
    std::vector<std::string> output;
    connect.OnTerminalOutput = [&](TObject*, const std::string& text) { output.push_back(text); };
    EXPECT_THROW(connect.ExecuteTerminal("w x"), EMConnectError);
    EXPECT_EQ(connect.WaitState(), wsCommand);
    EXPECT_EQ(connect.BusyCount(), 0);
    EXPECT_EQ(output, std::vector<std::string>{"out"});
}

TEST(DataCommands, AGroupReadArgumentTooLongForAListFailsBeforeSending) {
    ScriptedPeer peer({AcceptInline()});
    TQdoConnect connect;
    OpenOn(connect, peer);
    try {
        connect.GroupRead(std::string(32765, 'g'));
        ADD_FAILURE() << "no exception";
    } catch (const EListError& e) {
        EXPECT_EQ(e.Message(), "MAX LIST LENGTH (32768) EXCEEDED");
    }
    EXPECT_EQ(connect.BusyCount(), 0);
    EXPECT_EQ(peer.Received(), "");
}

TEST(DataCommands, CancelGroupReadGoesOnASideConnection) {
    ScriptedPeer peer(
        {AcceptInline(), ScriptedPeer::Accept(), ScriptedPeer::Expect("MR:bfl:" + Nul)});
    TQdoConnect connect;
    OpenOn(connect, peer); // Host empty: the side connection goes to ServerAddress:ServerPort
    connect.CancelGroupRead();
    EXPECT_TRUE(connect.Active());
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    EXPECT_EQ(peer.Connections(), 2);
    EXPECT_EQ(connect.BusyCount(), 0);
}

} // namespace
} // namespace qdo

namespace qdo {
namespace {

// Over TCP: the cancel goes on a socket of its own, and the main socket stays as it was.
TEST(DataCommandsOverTcp, CancelGroupReadGoesOnASideConnection) {
    test::ScriptedPeer peer({AcceptInline(), test::ScriptedPeer::Accept(),
                             test::ScriptedPeer::Expect("MR:bfl:" + Nul)});
    TQdoConnect connect;
    OpenOn(connect, peer);
    TTcpClient* main = connect.Socket();
    connect.CancelGroupRead();
    EXPECT_EQ(connect.Socket(), main);
    EXPECT_TRUE(main->Active());
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    EXPECT_EQ(peer.Connections(), 2);
}

} // namespace
} // namespace qdo
