// Against qdo-server, as a user would: BLOBs, server events, callbacks in both directions,
// stored sessions and the cancel of a group read.
#include "SharedServer.h"
#include "capi/qdo.h"
#include "classes/NotificationLoop.h"
#include "classes/Streams.h"
#include "support/Loopback.h"

#include "support/Bytes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <thread>

namespace qdo {
namespace {

using Clock = std::chrono::steady_clock;
using test::Open;
using test::ServerProcess;
using test::Shared;

// Pumps the calling thread's notification loop until `done` holds or `seconds` have passed.
bool PumpUntil(const std::function<bool()>& done, int seconds = 20) {
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (Clock::now() > end)
            return false;
        ProcessMessages(10);
    }
    return true;
}

// The session identifier as the server knows it: without the NUL the client keeps after it.
std::string SessionOf(TQdoConnect& connect) {
    std::string session = connect.SessionIdentifier();
    if (!session.empty() && session.back() == '\0')
        session.pop_back();
    return session;
}

TEST(ServerFeatures, BlobsOfEverySizeComeBackByteForByte) {
    auto connect = Open(Shared());
    for (size_t size : {size_t{0}, size_t{1}, size_t{2048}, size_t{2049}, size_t{10000000}}) {
        for (bool plain : {false, true}) {
            SCOPED_TRACE(std::to_string(size) + (plain ? " uncompressed" : ""));
            const std::string bytes = test::RandomBytes(size, static_cast<unsigned>(size));
            const int32_t id = connect->CreateBLOB("blob~" + std::to_string(size));
            ASSERT_GT(id, 0);
            TMemoryStream in;
            in.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
            ASSERT_EQ(plain ? connect->WriteUncompressedBLOB(id, &in) : connect->WriteBLOB(id, &in),
                      id);
            TMemoryStream out;
            out.WriteBuffer("stale", 5); // what a stream held before goes
            ASSERT_EQ(plain ? connect->ReadUncompressedBLOB(id, &out) : connect->ReadBLOB(id, &out),
                      id);
            ASSERT_EQ(out.Size(), static_cast<int64_t>(size));
            std::string back(size, '\0');
            out.ReadBuffer(back.data(), static_cast<int64_t>(size));
            EXPECT_TRUE(back == bytes);
            EXPECT_EQ(connect->Read("$piece(^BLOB(" + std::to_string(id) + "),\"~\",3)"),
                      std::to_string(size));
            EXPECT_EQ(connect->DeleteBLOB(id), id);
            EXPECT_EQ(connect->Read("$data(^BLOB(" + std::to_string(id) + "))"), "0");
        }
    }
}

TEST(ServerFeatures, ABlobLockedByAnotherClientIsWaitedForAndRefused) {
    auto holder = Open(Shared());
    auto other = Open(Shared());
    const int32_t id = holder->CreateBLOB("locked");
    holder->Execute("lock +^BLOB(" + std::to_string(id) + ")");
    TMemoryStream stream;
    const auto start = Clock::now();
    EXPECT_EQ(other->ReadBLOB(id, &stream), -1); // after the lock's time-out of 10 seconds
    EXPECT_GE(Clock::now() - start, std::chrono::seconds(9));
    holder->Execute("lock -^BLOB(" + std::to_string(id) + ")");
    EXPECT_EQ(other->DeleteBLOB(id), id);
}

TEST(ServerFeatures, EventsArriveWhileIdleAndDuringARequest) {
    auto listener = Open(Shared());
    auto sender = Open(Shared());
    std::vector<std::string> events;
    std::vector<int32_t> busy;
    listener->OnServerEvent = [&](TObject*, const std::string& name, const std::string& params) {
        events.push_back(name + "|" + params);
        busy.push_back(listener->BusyCount());
    };
    listener->SubscribeEvent("Stock", true);
    EXPECT_EQ(sender->Read("$$SendMsg(\"Stock\",\"ACME 12\")"), "1");
    EXPECT_EQ(sender->Read("$$SendMsg(\"Nobody\",\"x\")"), "0");
    ASSERT_TRUE(PumpUntil([&] { return events.size() == 1; }));
    EXPECT_EQ(events[0], "Stock|ACME 12");
    EXPECT_EQ(busy[0], 0); // the idle path

    // From a plain M process on the same data directory.
    int status = -1;
    test::Shared().RunM("do SendMsg^qdosrv(\"Stock\",\"from mumps\")", status);
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(PumpUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(events[1], "Stock|from mumps");

    // While a request of the listener runs.
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sender->Execute("do SendMsg(\"Stock\",\"during\")");
    });
    EXPECT_EQ(listener->Execute("hang 1 write \"done\""), "done");
    later.join();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2], "Stock|during");
    EXPECT_EQ(busy[2], 1);

    // While a terminal stream runs: the stream ends, and what the line writes after the event
    // comes back as the result.
    std::string shown; // the stream's end may come as a piece of its own, empty
    listener->OnTerminalOutput = [&](TObject*, const std::string& text) { shown += text; };
    std::thread during([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sender->Execute("do SendMsg(\"Stock\",\"streaming\")");
    });
    EXPECT_EQ(listener->ExecuteTerminal("write \"before\",! hang 1 write \"after\",!"), "after\n");
    during.join();
    EXPECT_EQ(shown, "before\n");
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[3], "Stock|streaming");

    listener->UnsubscribeEvent("Stock");
    EXPECT_EQ(sender->Read("$$SendMsg(\"Stock\",\"gone\")"), "0");
}

TEST(ServerFeatures, TenThousandEventsArriveOnceAndInOrder) {
    auto listener = Open(Shared());
    auto sender = Open(Shared());
    std::vector<int> seen;
    listener->OnServerEvent = [&](TObject*, const std::string&, const std::string& params) {
        seen.push_back(std::stoi(params));
    };
    listener->SubscribeEvent("Count", true); // each waits for its acknowledgement
    std::thread send([&] { sender->Execute("for i=1:1:10000 do SendMsg(\"Count\",i)"); });
    EXPECT_TRUE(PumpUntil([&] { return seen.size() >= 10000; }, 120));
    send.join();
    PumpUntil([] { return false; }, 1); // nothing more comes
    ASSERT_EQ(seen.size(), 10000u);
    for (int i = 0; i < 10000; ++i)
        ASSERT_EQ(seen[static_cast<size_t>(i)], i + 1);
}

TEST(ServerFeatures, CallbacksInBothDirections) {
    auto client = Open(Shared());
    auto other = Open(Shared());
    client->OnCallback = [](TObject*, const std::string& command, std::string& answer) {
        answer = "answer to " + command;
    };
    // Inside a request of the client's own.
    EXPECT_EQ(client->Read("$$Callback(\"first\")_\"/\"_$$Callback(\"second\")"),
              "answer to first/answer to second");
    EXPECT_EQ(client->ExecuteTerminal("write \"x\",! write $$Callback(\"third\")"),
              "answer to third");

    // From another session, to the idle client, which pumps its notification loop.
    std::string answered;
    std::thread asker(
        [&] { answered = other->Read("$$ClientCall(\"" + SessionOf(*client) + "\",\"ping\")"); });
    EXPECT_TRUE(PumpUntil([&] { return !answered.empty(); }));
    asker.join();
    EXPECT_EQ(answered, "answer to ping");

    // A handler that fails: the server gets the empty answer, and the next request is right.
    client->OnCallback = [](TObject*, const std::string&, std::string&) {
        throw Exception("no answer here");
    };
    EXPECT_THROW(client->Read("$$Callback(\"fails\")_\"/\"_$$Callback(\"again\")"), Exception);
    EXPECT_EQ(client->Read("3+3"), "6");
    client->OnCallback = [](TObject*, const std::string& command, std::string& answer) {
        answer = "answer to " + command;
    };

    // A client that does not pump: the caller's wait ends with an M error, and both go on.
    try {
        other->Read("$$ClientCall(\"" + SessionOf(*client) + "\",\"ping\",1)");
        ADD_FAILURE() << "no time-out";
    } catch (const EMServerError& e) {
        EXPECT_NE(e.ECode.find("QDOCLIENTTIMEOUT"), std::string::npos)
            << e.ECode << " " << e.ServerText;
    }
    EXPECT_THROW(other->Read("$$ClientCall(\"nosuchsession\",\"ping\")"), EMServerError);
    EXPECT_EQ(other->Read("1+1"), "2");
    // The late call reaches the client when it pumps; its answer goes nowhere.
    PumpUntil([] { return false; }, 1);
    EXPECT_EQ(client->Read("2+2"), "4");
}

// The flat interface's callback function answers both kinds of callback.
void AnswerLoudly(QDOHandle, const QDOString* command, QDOString* result) {
    const std::string answer = "LOUD " + std::string(command->Data, command->Length);
    result->Length = static_cast<uint16_t>(answer.size());
    std::memcpy(result->Data, answer.data(), answer.size());
}

TEST(ServerFeatures, CallbacksThroughTheFlatInterface) {
    QDOHandle handle = QDOCreateConnect("127.0.0.1", Shared().Port(), "USER");
    ASSERT_EQ(QDOConnectOpen(handle), 1);
    QDOSetCallback(handle, AnswerLoudly);
    static QDOString expression, out;
    const std::string line = "$$Callback(\"hi\")";
    expression.Length = static_cast<uint16_t>(line.size());
    std::memcpy(expression.Data, line.data(), line.size());
    ASSERT_EQ(QDORead(handle, &expression, &out), 1);
    EXPECT_EQ(std::string(out.Data, out.Length), "LOUD hi");

    // An idle handle answers a client call while its thread pumps with QDOProcessMessages. Its
    // own job tells where it is.
    const std::string keep = "set ^FlatSession=$$Session()";
    expression.Length = static_cast<uint16_t>(keep.size());
    std::memcpy(expression.Data, keep.data(), keep.size());
    ASSERT_EQ(QDOExecute(handle, &expression), 1);
    auto other = Open(Shared());
    std::atomic<bool> done = false;
    std::string answered;
    std::thread asker([&] {
        answered = other->Read("$$ClientCall(^FlatSession,\"ping\")");
        done = true;
    });
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (!done && Clock::now() < end)
        EXPECT_GE(QDOProcessMessages(handle, 10), 0);
    asker.join();
    EXPECT_EQ(answered, "LOUD ping");
    other->Kill("^FlatSession");
    QDODestroyConnect(handle);
}

TEST(ServerFeatures, ACallbackThatIsNeverAnsweredEndsWithAnMError) {
    ServerProcess server({"--inline", "--callback-timeout", "1"});
    // A hand-made client that asks for a callback and then says nothing.
    test::Fd raw = test::Connect(static_cast<uint16_t>(server.Port()));
    ASSERT_GE(raw.get(), 0);
    const std::string greeting = test::ReadBytes(raw.get(), 38, 5000);
    EXPECT_EQ(greeting.rfind("<OK>:", 0), 0u);
    const std::string line = "write $$Callback(\"q\")";
    test::SendAll(raw.get(), std::string("x\0", 2) + std::to_string(line.size()) +
                                 std::string(1, '\0') + line);
    std::string reply;
    const auto start = Clock::now();
    while (reply.find("<ERROR>") == std::string::npos &&
           Clock::now() - start < std::chrono::seconds(5))
        reply += test::ReadBytes(raw.get(), 1, 5000);
    while (reply.back() != '\0')
        reply += test::ReadBytes(raw.get(), 1, 5000);
    EXPECT_EQ(reply.rfind("<CALLBACK>", 0), 0u);
    EXPECT_NE(reply.find("QDOCALLBACKTIMEOUT"), std::string::npos) << reply;
    // The job survives: the next request is served.
    const std::string read = "1+1";
    test::SendAll(raw.get(), std::string("r\0", 2) + "3" + std::string(1, '\0') + read);
    EXPECT_EQ(test::ReadBytes(raw.get(), 16, 5000), std::string("<GO ON>:1\0"
                                                                "2<OK>\0",
                                                                16));
}

TEST(ServerFeatures, AStoredSessionKeepsItsLocals) {
    auto connect = Open(Shared());
    connect->SetStoreSession(true);
    connect->Execute("set kept=42,kept(\"a\")=\"b\"");
    const std::string session = connect->SessionIdentifier();
    ASSERT_TRUE(connect->SessionStore());
    EXPECT_FALSE(connect->Active());
    EXPECT_TRUE(connect->SessionOpen());
    EXPECT_TRUE(connect->Active());
    EXPECT_EQ(connect->SessionIdentifier(), session);
    EXPECT_EQ(connect->Read("kept"), "42");
    EXPECT_EQ(connect->Read("kept(\"a\")"), "b");
    // Stored again: the job's port takes the session's identifier and nothing else.
    ASSERT_TRUE(connect->SessionStore());
    test::Fd stranger =
        test::Connect(static_cast<uint16_t>(std::stoi(connect->Socket()->RemotePort())));
    test::SendAll(stranger.get(), std::string("MR:op:0123456789abcdef0123456789abcdef\0", 39));
    EXPECT_EQ(test::ReadBytes(stranger.get(), 13, 5000), std::string("<NO SESSION>\0", 13));
    EXPECT_TRUE(connect->SessionOpen());
    EXPECT_EQ(connect->Read("kept"), "42");
}

TEST(ServerFeatures, ACancelledGroupReadEndsEarlyAndInStep) {
    auto connect = Open(Shared());
    connect->Execute("kill ^Big for i=1:1:1000000 set ^Big(i)=i");
    int chunks = 0;
    connect->OnGroupRead = [&](TObject*, const std::string&, bool&) {
        if (++chunks == 1)
            connect->CancelGroupRead(); // from the handler; the read goes on to its end
    };
    connect->GroupRead("^Big");
    // The whole walk is ~500 chunks; the cancel cuts it short.
    EXPECT_LT(chunks, 50);
    EXPECT_EQ(connect->Read("^Big(77)"), "77");

    // A reader that stops: the library cancels by itself and reads what is left.
    chunks = 0;
    connect->OnGroupRead = [&](TObject*, const std::string&, bool& more) {
        ++chunks;
        more = false;
    };
    const auto start = Clock::now();
    connect->GroupRead("^Big");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    connect->OnGroupRead = nullptr;
    EXPECT_EQ(connect->Read("^Big(1000000)"), "1000000");
    connect->Kill("^Big");
}

TEST(ServerFeatures, AStoredSessionComesBackThroughTheListenerToo) {
    ServerProcess server;
    auto connect = Open(server);
    connect->SetStoreSession(true);
    connect->Execute("set kept=7");
    const std::string session = SessionOf(*connect);
    const std::string jobPort = connect->Socket()->RemotePort();
    ASSERT_TRUE(connect->SessionStore());
    const auto frame = [](int fd) {
        std::string text;
        while (text.empty() || text.back() != '\0') {
            const std::string byte = test::ReadBytes(fd, 1, 5000);
            if (byte.empty())
                break; // nothing within 5 s, or closed: the assertions below say so
            text += byte;
        }
        return text;
    };
    // The answer to a client that speaks first at the listener's port. Should its words come
    // in after the listener greeted it (a redirect to a port of a new job), the answer follows
    // the greeting.
    const auto answer = [&](int fd) {
        std::string text = frame(fd);
        if (text.rfind("<CONNECT>:", 0) == 0 && text.rfind("<CONNECT>:" + jobPort + ":", 0) != 0)
            text = frame(fd);
        return text;
    };
    // A stored session is sent to its job with a token.
    test::Fd first = test::Connect(static_cast<uint16_t>(server.Port()));
    test::SendAll(first.get(), "MR:op:" + session + std::string(2, '\0'));
    const std::string redirect = answer(first.get());
    ASSERT_EQ(redirect.rfind("<CONNECT>:" + jobPort + ":", 0), 0u) << redirect;
    const size_t colon = redirect.find(':', 10);
    test::Fd job = test::Connect(static_cast<uint16_t>(std::stoi(redirect.substr(10, colon - 10))));
    test::SendAll(job.get(), "lg:" + redirect.substr(colon + 1));
    EXPECT_EQ(frame(job.get()), "<OK>:" + session + std::string(1, '\0'));
    test::SendAll(job.get(), std::string("r\0"
                                         "4\0kept",
                                         8));
    EXPECT_EQ(frame(job.get()), std::string("<GO ON>:1\0", 10));
    // Unknown sessions and attached ones are refused.
    for (const std::string& other : {std::string("0123abcd"), session}) {
        test::Fd refused = test::Connect(static_cast<uint16_t>(server.Port()));
        test::SendAll(refused.get(), "MR:op:" + other + std::string(1, '\0'));
        EXPECT_EQ(answer(refused.get()), std::string("<NO SESSION>\0", 13));
    }
}

TEST(ServerFeatures, CancelsTakeNoJobAndLongLinesSayTheirLimit) {
    ServerProcess server({"--max-jobs", "2"});
    auto connect = Open(server);
    connect->CancelGroupRead();
    connect->CancelGroupRead();
    auto second = Open(server); // the second job of two: the cancels took none
    EXPECT_EQ(second->Read("1+1"), "2");
    // A third finds the jobs at their limit, and hears so, as the server says it.
    try {
        Open(server);
        ADD_FAILURE() << "a third job ran";
    } catch (const EMConnectError& e) {
        EXPECT_EQ(e.ErrorCode, ceNoJob) << e.what();
    }

    const std::string line = "set x=1" + std::string(9000, ' ') + " set y=2";
    try {
        connect->Execute(line);
        ADD_FAILURE() << "a long line ran";
    } catch (const EMServerError& e) {
        EXPECT_NE(e.ECode.find("QDOLINETOOLONG"), std::string::npos) << e.ECode;
        EXPECT_NE(e.ServerText.find("8192"), std::string::npos) << e.ServerText;
    }
    EXPECT_THROW(connect->Read("1" + std::string(9000, '+') + "1"), EMServerError);
    EXPECT_EQ(connect->Read("$length($justify(1,1000000))"), "1000000"); // long values are fine
}

TEST(ServerFeatures, TheEventsAndBlobsExampleRuns) {
    const std::string command = std::string(QDO_EXAMPLE_EVENTS_BLOBS) + " 127.0.0.1 " +
                                std::to_string(Shared().Port()) + " >/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

} // namespace
} // namespace qdo
