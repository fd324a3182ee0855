// A connection stays in step with its server: a reply that its reader stopped, or whose handler
// failed, is read to its end before the next request; a request cannot start inside another or
// on a second thread; a request deadline ends a request that runs too long.
#include "connect/Qdoconnect.h"
#include "support/Connection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace qdo {
namespace {

using test::AcceptInline;
using test::Chunk;
using test::Nul;
using test::OneArgument;
using test::OpenOn;
using ScriptedPeer = test::MemoryPeer;
using test::ToHex;

const std::string readX = OneArgument('r', "^X");
const std::string readY = OneArgument('r', "^Y");

// A read of ^X answered by `replies`, then a read of ^Y answered with its own value "own".
std::vector<ScriptedPeer::Step> ThenReadY(std::vector<ScriptedPeer::Step> replies) {
    std::vector<ScriptedPeer::Step> script{AcceptInline(), ScriptedPeer::Expect(readX)};
    script.insert(script.end(), replies.begin(), replies.end());
    script.push_back(ScriptedPeer::Expect(readY));
    script.push_back(ScriptedPeer::Send(Chunk("own") + test::Ok));
    return script;
}

TEST(ReplyInStep, AStoppedOrFailedReplyIsReadToItsEndFirst) {
    const std::string rest = Chunk("C") + "<TERMINAL>" + Nul + Chunk("D") + test::Ok;
    const struct {
        const char* what;
        std::function<void(TQdoConnect&)> arm;
        bool throws;
    } cases[] = {
        {"Continue cleared",
         [](TQdoConnect& c) {
             c.OnGroupRead = [](TObject*, const std::string&, bool& more) { more = false; };
         },
         false},
        {"OnGroupRead throws",
         [](TQdoConnect& c) {
             c.OnGroupRead = [](TObject*, const std::string&, bool&) { throw Exception("no"); };
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // The rest comes in pieces, each in a receive of its own: it is waited for, not
        // guessed.
        ScriptedPeer peer(ThenReadY(
            {ScriptedPeer::Send(Chunk("A") + Chunk("B")), ScriptedPeer::Send(rest, {3, 20})}));
        TQdoConnect connect;
        OpenOn(connect, peer);
        c.arm(connect);
        if (c.throws) {
            EXPECT_THROW(connect.Read("^X"), Exception);
        } else {
            EXPECT_EQ(ToHex(connect.Read("^X")), ToHex(Chunk("B"))); // as designed
        }
        connect.OnGroupRead = nullptr;
        EXPECT_EQ(connect.Read("^Y"), "own");
        EXPECT_EQ(connect.BusyCount(), 0);
        ASSERT_TRUE(peer.WaitForScript());
        EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    }
}

TEST(ReplyInStep, AFailedTerminalHandlerLeavesTheStreamAndTheReplyBehind) {
    ScriptedPeer peer({AcceptInline(), ScriptedPeer::Expect(OneArgument('t', "w 1")),
                       ScriptedPeer::Send("one"), ScriptedPeer::Send("two" + Nul + Chunk("x")),
                       ScriptedPeer::Send(test::Ok), ScriptedPeer::Expect(readY),
                       ScriptedPeer::Send(Chunk("own") + test::Ok)});
    TQdoConnect connect;
    OpenOn(connect, peer);
    int calls = 0;
    connect.OnTerminalOutput = [&](TObject*, const std::string&) {
        ++calls;
        throw Exception("display failed");
    };
    EXPECT_THROW(connect.ExecuteTerminal("w 1"), Exception);
    EXPECT_EQ(calls, 1); // the rest of the stream was dropped, not shown
    EXPECT_EQ(connect.WaitState(), wsCommand);
    EXPECT_EQ(connect.Read("^Y"), "own");
    ASSERT_TRUE(peer.WaitForScript());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

TEST(ReplyInStep, AFailedCallbackIsAnsweredEmptyAndTheReplyDropped) {
    ScriptedPeer peer(ThenReadY({ScriptedPeer::Send("<CALLBACK>1:3" + Nul + "ask"),
                                 ScriptedPeer::Expect("c" + Nul + "0" + Nul),
                                 ScriptedPeer::Send("<CALLBACK>2:4" + Nul + "more"),
                                 ScriptedPeer::Expect("c" + Nul + "0" + Nul),
                                 ScriptedPeer::Send(Chunk("late") + test::Ok)}));
    TQdoConnect connect;
    OpenOn(connect, peer);
    std::vector<std::string> asked;
    connect.OnCallback = [&](TObject*, const std::string& command, std::string&) {
        asked.push_back(command);
        throw Exception("cannot answer");
    };
    EXPECT_THROW(connect.Read("^X"), Exception);
    EXPECT_EQ(asked, std::vector<std::string>{"ask"}); // the dropped reply asks nobody
    EXPECT_EQ(connect.Read("^Y"), "own");
    ASSERT_TRUE(peer.WaitForScript());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

TEST(ReplyInStep, ARequestInsideAHandlerIsRefusedAndSendsNothing) {
    ScriptedPeer peer(ThenReadY({ScriptedPeer::Send(Chunk("A") + Chunk("B") + test::Ok)}));
    TQdoConnect connect;
    OpenOn(connect, peer);
    std::vector<TConnectError> refusals;
    connect.OnGroupRead = [&](TObject*, const std::string&, bool&) {
        try {
            connect.Read("^Z");
        } catch (const EMConnectError& e) {
            refusals.push_back(e.ErrorCode);
        }
    };
    EXPECT_EQ(connect.Read("^X"), "B");
    EXPECT_EQ(refusals, std::vector<TConnectError>{ceBusy});
    connect.OnGroupRead = nullptr;
    EXPECT_EQ(connect.Read("^Y"), "own");
    ASSERT_TRUE(peer.WaitForScript());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    EXPECT_EQ(ToHex(peer.Received()), ToHex(readX + readY)); // nothing of ^Z
}

TEST(ReplyInStep, ASecondThreadIsRefusedWhileARequestRuns) {
    ScriptedPeer peer(
        ThenReadY({ScriptedPeer::Pause(300), ScriptedPeer::Send(Chunk("x") + test::Ok)}));
    TQdoConnect connect;
    OpenOn(connect, peer);
    std::atomic<bool> started = false;
    std::string first;
    std::thread reader([&] {
        started = true;
        first = connect.Read("^X");
    });
    while (!started)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    try {
        connect.Read("^Z");
        ADD_FAILURE() << "the second thread was not refused";
    } catch (const EMConnectError& e) {
        EXPECT_EQ(e.ErrorCode, ceBusy);
        EXPECT_NE(e.Message().find("Another thread"), std::string::npos);
    }
    reader.join();
    EXPECT_EQ(first, "x");
    EXPECT_EQ(connect.Read("^Y"), "own"); // the connection is free again, for any thread
    EXPECT_EQ(ToHex(peer.Received()), ToHex(readX + readY));
}

TEST(ReplyInStep, ARequestDeadlineEndsALongRequestAndTheConnection) {
    ScriptedPeer peer({AcceptInline(), ScriptedPeer::Expect(readX),
                       ScriptedPeer::Send(Chunk("a"), {}, 0), ScriptedPeer::Pause(200),
                       ScriptedPeer::Send(Chunk("b"), {}, 0), ScriptedPeer::Pause(1000),
                       ScriptedPeer::Send(test::Ok)});
    TQdoConnect connect;
    EXPECT_EQ(connect.RequestDeadline(), 0);
    connect.SetRequestDeadline(500); // longer than any single pause, shorter than the request
    OpenOn(connect, peer);
    const auto start = std::chrono::steady_clock::now();
    try {
        connect.Read("^X");
        ADD_FAILURE() << "no time-out";
    } catch (const EMConnectError& e) {
        EXPECT_EQ(e.ErrorCode, ceTimeOut);
        EXPECT_NE(e.Message().find("500 ms"), std::string::npos) << e.Message();
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(450));
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    EXPECT_FALSE(connect.Active());
    EXPECT_EQ(connect.BusyCount(), 0);
}

} // namespace
} // namespace qdo
