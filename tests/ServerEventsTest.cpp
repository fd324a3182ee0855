// Server events against a scripted peer: subscriptions, and messages pushed while the connection
// is idle, which reach their handlers only when the test pumps the notification loop.
#include "classes/Application.h"
#include "classes/NotificationLoop.h"
#include "connect/Qdoconnect.h"
#include "support/Connection.h"

#include <gtest/gtest.h>

#include <chrono>

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
using Clock = std::chrono::steady_clock;

std::string EventList(const std::string& name, const std::string& params) {
    TMList list;
    list.SetList(1, name);
    list.SetList(2, params);
    return list.AllList();
}

std::string Event(const std::string& id, const std::string& list) {
    return "<ONMSGCALLBACK>" + id + ":" + std::to_string(list.size()) + Nul + list;
}

std::string Event(int id, const std::string& name, const std::string& params = "p") {
    return Event(std::to_string(id), EventList(name, params));
}

std::string CallbackRequest(int id, const std::string& command) {
    return "<CALLBACK>" + std::to_string(id) + ":" + std::to_string(command.size()) + Nul + command;
}

std::string Ack(int id, const std::string& answer = "") {
    return "<CALLBACK>" + std::to_string(id) + ":" + std::to_string(answer.size()) + Nul + answer;
}

// Pumps the calling thread's notification loop until `done` holds or 5 seconds have passed.
bool PumpUntil(const std::function<bool()>& done) {
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (Clock::now() > end)
            return false;
        ProcessMessages(20);
    }
    return true;
}

// Pumps until something was handled and then nothing more came for 100 ms; returns how much
// ran.
int PumpUntilQuiet() {
    int handled = 0;
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < end) {
        const int now = ProcessMessages(100);
        if (now == 0 && handled > 0)
            break;
        handled += now;
    }
    return handled;
}

// What reached the connection's handlers, in order.
struct Recorder {
    std::vector<std::string> events;   // "name|params"
    std::vector<std::string> commands; // callback requests
    std::vector<int32_t> busy;         // the busy count inside each handler call

    void ListenTo(TQdoConnect& connect, const char* answer) {
        connect.OnServerEvent = [this, &connect](TObject* sender, const std::string& name,
                                                 const std::string& params) {
            EXPECT_EQ(sender, &connect);
            events.push_back(name + "|" + params);
            busy.push_back(connect.BusyCount());
        };
        if (answer != nullptr)
            connect.OnCallback = [this, &connect, answer](TObject*, const std::string& command,
                                                          std::string& result) {
                commands.push_back(command);
                busy.push_back(connect.BusyCount());
                result = answer;
            };
    }
};

// Collects what the notification loop hands to the application's exception handler.
struct ExceptionCatcher {
    std::vector<std::string> messages;
    ExceptionCatcher() {
        SetApplicationExceptionHandler(
            [this](std::exception_ptr error) { messages.push_back(ExceptionMessage(error)); });
    }
    ~ExceptionCatcher() { SetApplicationExceptionHandler(nullptr); }
};

// Two events pushed in one piece after the session opened, played by a peer of type Peer;
// `settle` lets them arrive before the check that nothing was delivered unpumped.
template <typename Peer>
void TwoEventsInOneRead(const std::function<void()>& settle) {
    Peer peer({AcceptInline(), ScriptedPeer::Pause(50),
               ScriptedPeer::Send(Event(3, "a", "1") + Event(4, "b", "2")),
               ScriptedPeer::Expect(Ack(3)), ScriptedPeer::Expect(Ack(4))});
    TQdoConnect connect;
    Recorder seen;
    seen.ListenTo(connect, "unused");
    OpenOn(connect, peer);
    settle();
    EXPECT_TRUE(seen.events.empty()); // nothing is delivered while nobody pumps

    ASSERT_TRUE(PumpUntil([&] { return seen.events.size() == 2; }));
    EXPECT_EQ(seen.events, (std::vector<std::string>{"a|1", "b|2"}));
    EXPECT_EQ(seen.busy, (std::vector<int32_t>{0, 0})); // the idle path, not a request
    ASSERT_TRUE(peer.WaitForScript());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    EXPECT_EQ(ToHex(peer.Received()), ToHex(Ack(3) + Ack(4)));
    EXPECT_EQ(connect.BusyCount(), 0);
    if constexpr (std::is_same_v<Peer, ScriptedPeer>)
        EXPECT_TRUE(peer.ClientNotifying()); // back to notifying after the acks
    else
        EXPECT_EQ(connect.Socket()->BlockMode(), bmNonBlocking);
}

TEST(ServerEvents, TwoEventsInOneReadArriveInOrderWhenTheLoopIsPumped) {
    TwoEventsInOneRead<ScriptedPeer>([] {});
}

TEST(ServerEventsOverTcp, TwoEventsInOneReadArriveInOrderWhenTheLoopIsPumped) {
    TwoEventsInOneRead<test::ScriptedPeer>(
        [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
}

TEST(ServerEvents, OneNotificationIsHandledStepByStep) {
    const struct {
        const char* what;
        std::string bytes;
        const char* answer; // the OnCallback handler's answer; none when null
        std::vector<std::string> events;
        std::vector<std::string> commands;
        std::string sent;
    } cases[] = {
        {"identifier 0: delivered, not acknowledged", Event(0, "n", "p"), "x", {"n|p"}, {}, ""},
        {"a one-element payload gives empty parameters",
         Event("2", "\x06\x01solo"),
         "x",
         {"solo|"},
         {},
         Ack(2)},
        {"a callback request is acknowledged with the answer",
         CallbackRequest(3, "cmd"),
         "OK",
         {},
         {"cmd"},
         Hex("3C 43 41 4C 4C 42 41 43 4B 3E 33 3A 32 00 4F 4B")},
        {"a callback request without a handler gets the empty answer",
         CallbackRequest(5, "cmd"),
         nullptr,
         {},
         {},
         "<CALLBACK>5:0" + Nul},
        {"bytes without '>' then ':' are dropped", "no marker here" + Nul + "x", "x", {}, {}, ""},
        {"a zero length is an empty payload, and the message after it still counts",
         "<ONMSGCALLBACK>1:0" + Nul + Event(2, "late"),
         "x",
         {"|", "late|p"},
         {},
         Ack(1) + Ack(2)},
        {"other replies reach nobody, their payloads included",
         Chunk(CallbackRequest(9, "x")) + Event(4, "n", "p") + test::Ok,
         "x",
         {"n|p"},
         {},
         Ack(4)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedPeer peer({AcceptInline(), ScriptedPeer::Send(c.bytes)});
        TQdoConnect connect;
        Recorder seen;
        seen.ListenTo(connect, c.answer);
        OpenOn(connect, peer);
        ASSERT_TRUE(peer.WaitForScript());
        EXPECT_GT(PumpUntilQuiet(), 0);
        EXPECT_EQ(seen.events, c.events);
        EXPECT_EQ(seen.commands, c.commands);
        EXPECT_EQ(ToHex(peer.Received()), ToHex(c.sent));
    }
}

TEST(ServerEvents, AMessageSplitAcrossReadsIsDeliveredWhole) {
    const std::string sample = Event(1, "name0");
    const size_t nul = sample.find('\0');
    const std::vector<size_t> splits{3, 16, nul, nul + 1, sample.size() - 1};
    std::vector<Step> script{AcceptInline()};
    std::vector<std::string> expected;
    for (size_t i = 0; i < splits.size(); ++i) {
        const std::string name = "name" + std::to_string(i);
        const int id = static_cast<int>(i) + 1;
        script.push_back(ScriptedPeer::Send(Event(id, name), {splits[i]}));
        script.push_back(ScriptedPeer::Expect(Ack(id)));
        expected.push_back(name + "|p");
    }
    ScriptedPeer peer(script);
    TQdoConnect connect;
    Recorder seen;
    seen.ListenTo(connect, nullptr);
    OpenOn(connect, peer);
    ASSERT_TRUE(PumpUntil([&] { return seen.events.size() == splits.size(); }));
    EXPECT_EQ(seen.events, expected);
    ASSERT_TRUE(peer.WaitForScript());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

TEST(ServerEvents, AnUnfinishedIdleMessageIsCompletedByTheNextRequest) {
    const std::string event = Event(6, "half", "way");
    const size_t half = event.find('\0') + 3; // the header and two bytes of the payload
    const std::string readX = OneArgument('r', "^X");
    ScriptedPeer peer({AcceptInline(), ScriptedPeer::Send(event.substr(0, half)),
                       ScriptedPeer::Expect(readX),
                       ScriptedPeer::Send(event.substr(half) + Chunk("v") + test::Ok),
                       ScriptedPeer::Expect(Ack(6))});
    TQdoConnect connect;
    Recorder seen;
    seen.ListenTo(connect, nullptr);
    OpenOn(connect, peer);
    ASSERT_GT(PumpUntilQuiet(), 0); // the first half has been read on the idle path
    EXPECT_TRUE(seen.events.empty());
    EXPECT_EQ(connect.Read("^X"), "v");
    EXPECT_EQ(seen.events, std::vector<std::string>{"half|way"});
    EXPECT_EQ(seen.busy, std::vector<int32_t>{1}); // inside the request
    ASSERT_TRUE(peer.WaitForScript());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

TEST(ServerEvents, MessagesRightBehindARequestsLastReplyReachTheIdlePath) {
    const std::string readX = OneArgument('r', "^X");
    ScriptedPeer peer({AcceptInline(), ScriptedPeer::Expect(readX),
                       ScriptedPeer::Send(Chunk("v") + test::Ok + Event(7, "soon", "after")),
                       ScriptedPeer::Expect(Ack(7))});
    TQdoConnect connect;
    Recorder seen;
    seen.ListenTo(connect, nullptr);
    OpenOn(connect, peer);
    EXPECT_EQ(connect.Read("^X"), "v");
    EXPECT_TRUE(seen.events.empty()); // not inside the request, which had ended
    ASSERT_TRUE(PumpUntil([&] { return seen.events.size() == 1; }));
    EXPECT_EQ(seen.events, std::vector<std::string>{"soon|after"});
    EXPECT_EQ(seen.busy, std::vector<int32_t>{0});
    ASSERT_TRUE(peer.WaitForScript());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

TEST(ServerEvents, AFailureReachesTheLoopAfterTheRestOfItsNotification) {
    const struct {
        const char* what;
        std::string first;
        bool handlerThrows;
        std::string message;
        std::string acknowledged; // of the failed message: received all the same
    } cases[] = {
        {"an identifier that is not a number", Event("x", EventList("one", "p")), false,
         "'x' is not a valid integer value", ""},
        {"a handler that fails", Event(1, "one"), true, "handler failed", Ack(1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ExceptionCatcher caught;
        const std::string go = OneArgument('x', "go");
        ScriptedPeer peer({AcceptInline(), ScriptedPeer::Send(c.first + Event(2, "next")),
                           ScriptedPeer::Expect(c.acknowledged + Ack(2)), ScriptedPeer::Expect(go),
                           ScriptedPeer::Send(test::Ok), ScriptedPeer::Send(Event(0, "later"))});
        TQdoConnect connect;
        std::vector<std::string> names;
        connect.OnServerEvent = [&](TObject*, const std::string& name, const std::string&) {
            names.push_back(name);
            if (c.handlerThrows && name == "one")
                throw Exception("handler failed");
        };
        OpenOn(connect, peer);
        ASSERT_TRUE(PumpUntil([&] { return caught.messages.size() == 1; }));
        EXPECT_EQ(caught.messages, std::vector<std::string>{c.message});
        EXPECT_EQ(names, (std::vector<std::string>{"one", "next"})); // nothing lost
        connect.Execute("go");                                       // the connection goes on
        ASSERT_TRUE(PumpUntil([&] { return names.size() == 3; }));
        EXPECT_EQ(names[2], "later");
        EXPECT_EQ(ToHex(peer.Received()), ToHex(c.acknowledged + Ack(2) + go));
        EXPECT_EQ(connect.BusyCount(), 0);
    }
}

TEST(ServerEvents, ACallbackHandlerMayRunARequestOnTheIdlePath) {
    const std::string readY = OneArgument('r', "^Y");
    ScriptedPeer peer({AcceptInline(), ScriptedPeer::Send(CallbackRequest(3, "get")),
                       ScriptedPeer::Expect(readY), ScriptedPeer::Send(Chunk("42") + test::Ok),
                       ScriptedPeer::Expect(Ack(3, "42"))});
    TQdoConnect connect;
    bool answered = false;
    connect.OnCallback = [&](TObject*, const std::string& command, std::string& result) {
        EXPECT_EQ(command, "get");
        result = connect.Read("^Y");
        answered = true;
    };
    OpenOn(connect, peer);
    ASSERT_TRUE(PumpUntil([&] { return answered; }));
    ASSERT_TRUE(peer.WaitForScript());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    EXPECT_EQ(connect.BusyCount(), 0);
}

TEST(ServerEvents, SubscriptionLinesAreExact) {
    const struct {
        std::function<void(TQdoConnect&)> call;
        std::string line;
    } cases[] = {
        {[](TQdoConnect& c) { c.SubscribeEvent("Stock", true); },
         "d SubsMsgs(\"Stock\",1,1,\"OnMsgCallBack\")"},
        {[](TQdoConnect& c) { c.SubscribeEvent("Stock", false); },
         "d SubsMsgs(\"Stock\",1,0,\"OnMsgCallBack\")"},
        {[](TQdoConnect& c) { c.UnsubscribeEvent("Stock"); },
         "d SubsMsgs(\"Stock\",0,0,\"OnMsgCallBack\")"},
        // Any name is sent as an M literal that evaluates to it.
        {[](TQdoConnect& c) { c.SubscribeEvent("a\"b\n", true); },
         "d SubsMsgs(\"a\"\"b\"_$C(10),1,1,\"OnMsgCallBack\")"},
    };
    std::vector<Step> script{AcceptInline()};
    for (const auto& c : cases) {
        script.push_back(ScriptedPeer::Expect(OneArgument('x', c.line)));
        script.push_back(ScriptedPeer::Send(Chunk("done") + test::Ok));
    }
    ScriptedPeer peer(script);
    TQdoConnect connect;
    OpenOn(connect, peer);
    std::vector<std::string> handed;
    connect.OnGroupRead = [&](TObject*, const std::string& value, bool&) {
        handed.push_back(value);
    };
    for (const auto& c : cases)
        c.call(connect);
    EXPECT_EQ(handed, std::vector<std::string>(std::size(cases), "done")); // once each, as Execute
    ASSERT_TRUE(peer.WaitForScript());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

} // namespace
} // namespace qdo
