// The request/reply loop against a scripted peer: chunks, callbacks, server messages, terminal
// output, server errors, and connections that can deliver no more.
#include "connect/Qdoconnect.h"
#include "support/Connection.h"

#include <gtest/gtest.h>

namespace qdo {
namespace {

using test::AcceptInline;
using test::Chunk;
using test::Nul;
using test::OneArgument;
using test::OpenOn;
using ScriptedPeer = test::MemoryPeer;
using test::ToHex;
using Step = ScriptedPeer::Step;

const std::string readX = OneArgument('r', "^X");

// A peer that accepts the client, expects one read of ^X and answers with `replies`.
std::vector<Step> ReadScript(std::vector<Step> replies) {
    std::vector<Step> script{AcceptInline(), ScriptedPeer::Expect(readX)};
    script.insert(script.end(), replies.begin(), replies.end());
    return script;
}

TEST(RequestLoop, ChunksAreHandedOverOneBehindAndTheLastIsTheResult) {
    ScriptedPeer peer(ReadScript(
        {ScriptedPeer::Send(Chunk("A") + Chunk("B") + Chunk("C") + test::Ok, {4, 12, 13, 25})}));
    TQdoConnect connect;
    OpenOn(connect, peer);
    std::vector<std::string> handed;
    connect.OnGroupRead = [&](TObject* sender, const std::string& value, bool& more) {
        EXPECT_EQ(sender, &connect);
        EXPECT_TRUE(more);
        handed.push_back(value);
    };
    EXPECT_EQ(connect.Read("^X"), "C");
    EXPECT_EQ(handed, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(connect.BusyCount(), 0);
    EXPECT_TRUE(peer.ClientNotifying());
    EXPECT_TRUE(peer.Failures().empty());
}

TEST(RequestLoop, ClearingContinueEndsTheLoopAtTheCurrentReply) {
    ScriptedPeer peer(
        ReadScript({ScriptedPeer::Send(Chunk("A") + Chunk("B") + Chunk("C") + test::Ok)}));
    TQdoConnect connect;
    OpenOn(connect, peer);
    connect.OnGroupRead = [&](TObject*, const std::string& value, bool& more) {
        more = value != "A";
    };
    EXPECT_EQ(ToHex(connect.Read("^X")), ToHex(Chunk("B")));
}

TEST(RequestLoop, AReplyWithoutChunksIsEmpty) {
    ScriptedPeer peer(
        ReadScript({ScriptedPeer::Send(Nul + test::Ok, {1})})); // a lone NUL is skipped
    TQdoConnect connect;
    OpenOn(connect, peer);
    EXPECT_EQ(connect.Read("^X"), "");
}

TEST(RequestLoop, PayloadsHoldAnyBytes) {
    const std::string payload = "a" + Nul + "<OK>" + Nul + "\xff";
    ScriptedPeer peer(ReadScript({ScriptedPeer::Send(Chunk(payload) + test::Ok, {3, 11, 14})}));
    TQdoConnect connect;
    OpenOn(connect, peer);
    EXPECT_EQ(ToHex(connect.Read("^X")), ToHex(payload));
}

TEST(RequestLoop, CallbacksAreAnsweredWithTheHandlersResult) {
    for (bool withHandler : {true, false}) {
        SCOPED_TRACE(withHandler);
        const std::string answer =
            withHandler ? "c" + Nul + "5" + Nul + "12345" : "c" + Nul + "0" + Nul;
        ScriptedPeer peer(
            ReadScript({ScriptedPeer::Send("<CALLBACK>7:3" + Nul + "abc"),
                        ScriptedPeer::Expect(answer), ScriptedPeer::Send(Chunk("r") + test::Ok)}));
        TQdoConnect connect;
        OpenOn(connect, peer);
        std::vector<std::string> commands;
        if (withHandler)
            connect.OnCallback = [&](TObject*, const std::string& command, std::string& result) {
                commands.push_back(command);
                result = "12345";
            };
        EXPECT_EQ(connect.Read("^X"), "r");
        EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
        EXPECT_EQ(commands,
                  withHandler ? std::vector<std::string>{"abc"} : std::vector<std::string>{});
    }
}

TEST(RequestLoop, ServerMessagesAreDeliveredAndAcknowledged) {
    TMList list;
    list.SetList(1, "name");
    list.SetList(2, "params");
    const std::string message = list.AllList();
    for (int identifier : {3, 0}) {
        SCOPED_TRACE(identifier);
        std::vector<Step> replies{
            ScriptedPeer::Send("<ONMSGCALLBACK>" + std::to_string(identifier) + ":" +
                               std::to_string(message.size()) + Nul + message)};
        if (identifier > 0)
            replies.push_back(ScriptedPeer::Expect("<CALLBACK>3:0" + Nul));
        replies.push_back(ScriptedPeer::Send(test::Ok));
        ScriptedPeer peer(ReadScript(replies));
        TQdoConnect connect;
        OpenOn(connect, peer);
        std::vector<std::string> events;
        connect.OnServerEvent = [&](TObject*, const std::string& name, const std::string& params) {
            events.push_back(name + "|" + params);
            EXPECT_EQ(connect.BusyCount(), 1);
        };
        EXPECT_EQ(connect.Read("^X"), "");
        EXPECT_EQ(events, std::vector<std::string>{"name|params"});
        peer.WaitForScript();
        EXPECT_TRUE(peer.Failures().empty());
        connect.SetActive(false);
        EXPECT_EQ(peer.Received(), readX + (identifier > 0 ? "<CALLBACK>3:0" + Nul : ""));
    }
}

TEST(RequestLoop, AServerMessageWithoutANumericIdentifierFails) {
    // The rest of the reply is read and dropped: the next request gets its own reply.
    ScriptedPeer peer(ReadScript({ScriptedPeer::Send("<ONMSGCALLBACK>x:2" + Nul + "\x02\x01"),
                                  ScriptedPeer::Send(Chunk("stale") + test::Ok),
                                  ScriptedPeer::Expect(OneArgument('r', "^Y")),
                                  ScriptedPeer::Send(Chunk("own") + test::Ok)}));
    TQdoConnect connect;
    OpenOn(connect, peer);
    EXPECT_THROW(connect.Read("^X"), EConvertError);
    EXPECT_EQ(connect.BusyCount(), 0);
    EXPECT_EQ(connect.Read("^Y"), "own");

    // A server that goes quiet for TimeOut instead is not waited for: the connection closes.
    ScriptedPeer quiet(ReadScript({ScriptedPeer::Send("<ONMSGCALLBACK>x:2" + Nul + "\x02\x01")}));
    TQdoConnect closed;
    closed.SetTimeOutMilliseconds(200);
    OpenOn(closed, quiet);
    EXPECT_THROW(closed.Read("^X"), EConvertError);
    EXPECT_FALSE(closed.Active());
}

TEST(RequestLoop, InternalServerErrorTextByteForByte) {
    ScriptedPeer peer(ReadScript({ScriptedPeer::Send("<CALLBACK>1:3" + Nul + "a\nb"),
                                  ScriptedPeer::Expect("c" + Nul + "0" + Nul),
                                  ScriptedPeer::Send("<ERROR>bad:1" + Nul)}));
    TQdoConnect connect;
    OpenOn(connect, peer);
    connect.OnCallback = [](TObject*, const std::string&, std::string&) {};
    try {
        connect.Read("^X");
        ADD_FAILURE() << "no exception";
    } catch (const EMConnectError& e) {
        EXPECT_EQ(ToHex(e.Message()),
                  ToHex("Internal server error: '<ERROR>bad:1" + Nul +
                        "' while executing Last SuccessFull CallBack: a_$C(10)_b Last Executed "
                        "Command: c_$C(0)_0_$C(0)_"));
        EXPECT_EQ(e.ErrorCode, ceServerError);
        EXPECT_NE(dynamic_cast<const EMServerError*>(&e), nullptr);
    }
    EXPECT_TRUE(connect.Active()); // the job survives its errors
    EXPECT_EQ(connect.BusyCount(), 0);
}

TEST(RequestLoop, AnErrorWithoutCallbacksNamesTheRequest) {
    ScriptedPeer peer(ReadScript({ScriptedPeer::Send("<ERROR>" + Nul)}));
    TQdoConnect connect;
    OpenOn(connect, peer);
    connect.SetErrorHandler(htEvent); // the mode does not apply: it always raises
    EXPECT_EQ(connect.OutgoingRequest(), "");
    try {
        connect.Read("^X");
        ADD_FAILURE() << "no exception";
    } catch (const EMConnectError& e) {
        EXPECT_EQ(ToHex(e.Message()),
                  ToHex("Internal server error: '<ERROR>" + Nul +
                        "' while executing  Last Executed Command: r_$C(0)_2_$C(0)_^X"));
    }
}

TEST(RequestLoop, BreakFlowErrorsRaiseUnlessTurnedOff) {
    for (bool raise : {true, false}) {
        ScriptedPeer peer(ReadScript({ScriptedPeer::Send("<ERROR>ZBRKF,stop" + Nul)}));
        TQdoConnect connect;
        connect.SetRaiseBreakFlowError(raise);
        OpenOn(connect, peer);
        if (raise)
            EXPECT_THROW(connect.Read("^X"), EMConnectError);
        else
            EXPECT_EQ(ToHex(connect.Read("^X")), ToHex("<ERROR>ZBRKF,stop" + Nul));
    }
}

TEST(RequestLoop, TerminalOutputArrivesPieceByPiece) {
    const std::string request = OneArgument('t', "w 1");
    ScriptedPeer peer({AcceptInline(), ScriptedPeer::Expect(request), ScriptedPeer::Send("abc"),
                       ScriptedPeer::Send("de" + Nul + test::Ok)});
    TQdoConnect connect;
    OpenOn(connect, peer);
    std::vector<std::string> output;
    connect.OnTerminalOutput = [&](TObject*, const std::string& text) { output.push_back(text); };
    EXPECT_EQ(connect.ExecuteTerminal("w 1"), "");
    EXPECT_EQ(output, (std::vector<std::string>{"abc", "de"}));
    EXPECT_EQ(connect.WaitState(), wsCommand);
}

TEST(RequestLoop, ASilentServerIsWaitedForPastTheTimeOut) {
    ScriptedPeer peer(
        ReadScript({ScriptedPeer::Pause(400), ScriptedPeer::Send(Chunk("late") + test::Ok)}));
    TQdoConnect connect;
    test::SetTimeOutMilliseconds(connect, 50);
    ASSERT_EQ(connect.TimeOut(), 50);
    OpenOn(connect, peer);
    EXPECT_EQ(connect.Read("^X"), "late");
}

TEST(RequestLoop, ConnectionsThatCanDeliverNoMoreEndTheRequest) {
    const struct {
        const char* what;
        std::vector<Step> replies;
        std::string message;
    } cases[] = {
        {"closed in order",
         {ScriptedPeer::Send("<GO ON>:9" + Nul + "abc"), ScriptedPeer::Close()},
         "The server closed the connection."},
        {"closed before any reply", {ScriptedPeer::Close()}, "The server closed the connection."},
        {"reset",
         {ScriptedPeer::Send("<GO"), ScriptedPeer::Reset()},
         "Windows socket error. Code 10054: Connection reset by peer."},
        {"header too long",
         {ScriptedPeer::Send(std::string(40000, 'h'))},
         "The server sent a reply header longer than the 32768-byte receive buffer."},
        {"payload too long",
         {ScriptedPeer::Send("<GO ON>:40000" + Nul)},
         "The server announced a reply of 40000 bytes, more than the 32768-byte receive buffer "
         "holds."},
        {"negative length",
         {ScriptedPeer::Send("<CALLBACK>1:-2" + Nul)},
         "The server announced a reply of negative length (-2 bytes)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedPeer peer(ReadScript(c.replies));
        TQdoConnect connect;
        OpenOn(connect, peer);
        try {
            connect.Read("^X");
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
        EXPECT_FALSE(connect.Active());
        EXPECT_FALSE(peer.ClientOpen());
        EXPECT_EQ(connect.BusyCount(), 0);
        EXPECT_THROW(connect.Read("^X"), EMConnectError); // "Connect does not exist."
    }
}

TEST(RequestLoop, BusyCountNestsAndNeverGoesBelowZero) {
    TQdoConnect connect;
    connect.SetBlocked(false);
    EXPECT_EQ(connect.BusyCount(), 0);
    EXPECT_FALSE(connect.GetBlocked());
    EXPECT_EQ(connect.Socket()->BlockMode(), bmNonBlocking);
    connect.SetBlocked(true);
    connect.SetBlocked(true);
    EXPECT_EQ(connect.BusyCount(), 2);
    EXPECT_EQ(connect.Socket()->BlockMode(), bmBlocking);
    connect.SetBlocked(false);
    EXPECT_TRUE(connect.GetBlocked());
    connect.SetBlocked(false);
    EXPECT_EQ(connect.Socket()->BlockMode(), bmNonBlocking);
}

} // namespace
} // namespace qdo

namespace qdo {
namespace {

// Over TCP on loopback: a reply split across segments is put together, and a connection that
// the server resets ends the request with the socket's error.
TEST(RequestLoopOverTcp, SplitRepliesAndAReset) {
    test::ScriptedPeer peer(
        {AcceptInline(), test::ScriptedPeer::Expect(readX),
         test::ScriptedPeer::Send(Chunk("A") + Chunk("B") + test::Ok, {4, 12, 13}),
         test::ScriptedPeer::Expect(readX), test::ScriptedPeer::Send("<GO"),
         test::ScriptedPeer::Pause(50), test::ScriptedPeer::Reset()});
    TQdoConnect connect;
    OpenOn(connect, peer);
    EXPECT_EQ(connect.Read("^X"), "AB");
    EXPECT_EQ(connect.Socket()->BlockMode(), bmNonBlocking);
    try {
        connect.Read("^X");
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Windows socket error. Code 10054: Connection reset by peer.");
    }
    EXPECT_FALSE(connect.Active());
    EXPECT_FALSE(connect.Socket()->Active());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

// A send that the link takes in parts goes out whole: over an in-memory link that takes three
// bytes at a time, and over TCP through a socket's OnSend handler that lowers each send's count.
TEST(RequestLoop, ShortSendsAreFollowedByTheRest) {
    const std::string longRead = OneArgument('r', std::string(50, 'x'));
    ScriptedPeer peer(
        {AcceptInline(), ScriptedPeer::Expect(longRead), ScriptedPeer::Send(test::Ok)});
    TQdoConnect connect;
    connect.SetRequestDeadline(2000); // a request cut short would wait for ever otherwise
    OpenOn(connect, peer);
    peer.LimitSends(3);
    EXPECT_EQ(connect.Read(std::string(50, 'x')), "");
    ASSERT_TRUE(peer.WaitForScript());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    EXPECT_EQ(ToHex(peer.Received()), ToHex(longRead));
}

TEST(RequestLoopOverTcp, AnOnSendHandlerThatShortensSendsLosesNoBytes) {
    const std::string longRead = OneArgument('r', std::string(50, 'x'));
    test::ScriptedPeer peer(
        {AcceptInline(), test::ScriptedPeer::Expect(longRead), test::ScriptedPeer::Send(test::Ok)});
    TQdoConnect connect;
    connect.SetRequestDeadline(2000);
    int sends = 0;
    connect.Socket()->OnSend = [&](TObject*, char*, int32_t& count) {
        ++sends;
        count = std::min(count, 7);
    };
    OpenOn(connect, peer);
    sends = 0;
    EXPECT_EQ(connect.Read(std::string(50, 'x')), "");
    EXPECT_EQ(sends, static_cast<int>((longRead.size() + 6) / 7));
    ASSERT_TRUE(peer.WaitForScript());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

} // namespace
} // namespace qdo
