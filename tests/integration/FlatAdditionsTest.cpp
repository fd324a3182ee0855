// Against qdo-server, as a caller of the flat interface would: values of any size both ways,
// group reads stopped early, events between two handles, BLOBs streamed in and out, and server
// callbacks that fail.
#include "FlatSupport.h"
#include "SharedServer.h"
#include "capi/qdo.h"

#include "support/Bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qdo {
namespace {

using Clock = std::chrono::steady_clock;
using test::Shared;

// An open flat handle, destroyed at the end of the test.
struct Handle {
    QDOHandle h = QDOCreateConnect("127.0.0.1", Shared().Port(), "USER");
    Handle() { EXPECT_EQ(QDOConnectOpen(h), 1) << LastError(); }
    ~Handle() { QDODestroyConnect(h); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    operator QDOHandle() const { return h; }

    std::string LastError() const { return test::LastErrorOf(h); }
    std::string LastECode() const { return test::LastServerErrorOf(h); }
    // The value of `expression`, or a failure of the test.
    std::string Read(const std::string& expression) const { return test::ReadOn(h, expression); }
    int32_t Write(const std::string& name, const std::string& value) const {
        return QDOWriteValue(h, name.data(), name.size(), value.data(), value.size());
    }
    int32_t Execute(const std::string& line, std::string* written = nullptr) const {
        char* text = nullptr;
        size_t length = 0;
        const int32_t result =
            QDOExecuteLine(h, line.data(), line.size(), written ? &text : nullptr, &length);
        if (written != nullptr && result == 1)
            written->assign(text, length);
        QDOFreeValue(text);
        return result;
    }
};

TEST(FlatAdditions, ValuesOfOneMebibyteGoBothWays) {
    Handle handle;
    // Every byte value, repeated up to GT.M's largest string.
    std::string value;
    while (value.size() < 1048576)
        value += test::AllBytes();
    value.resize(1048576);
    ASSERT_EQ(handle.Write("^FlatBig", value), 1) << handle.LastError();
    EXPECT_EQ(handle.Read("$length(^FlatBig)"), "1048576");
    const std::string back = handle.Read("^FlatBig");
    EXPECT_EQ(back.size(), value.size());
    EXPECT_TRUE(back == value);

    // A short value, the empty one and one with NUL bytes, and a value the expression makes.
    for (const std::string& small : {std::string(), std::string("a\0b", 3), std::string("x")}) {
        ASSERT_EQ(handle.Write("^FlatSmall", small), 1);
        EXPECT_EQ(handle.Read("^FlatSmall"), small);
    }
    EXPECT_EQ(handle.Read("$extract(^FlatBig,1,3)"), value.substr(0, 3));

    // What a command line writes, whole, however long.
    std::string written;
    ASSERT_EQ(handle.Execute("write ^FlatBig", &written), 1) << handle.LastError();
    EXPECT_TRUE(written == value);
    ASSERT_EQ(handle.Execute("write \"\""), 1); // and dropped when not wanted

    ASSERT_EQ(QDOKillValue(handle, "^FlatBig", 8), 1);
    EXPECT_EQ(handle.Read("$data(^FlatBig)"), "0");
    ASSERT_EQ(QDOKillValue(handle, "^FlatSmall", 10), 1);
}

TEST(FlatAdditions, TerminalOutputArrivesWholeAndInOrder) {
    Handle handle;
    std::string shown;
    const auto collect = [](QDOHandle, void* context, const char* text, size_t length) {
        static_cast<std::string*>(context)->append(text, length);
    };
    const std::string line = "for i=1:1:3000 write $justify(i,100),!";
    ASSERT_EQ(QDOExecuteOutputLine(handle, line.data(), line.size(), collect, &shown), 1)
        << handle.LastError();
    std::string expected;
    for (int i = 1; i <= 3000; ++i) {
        const std::string number = std::to_string(i);
        expected += std::string(100 - number.size(), ' ') + number + "\n";
    }
    // The terminal writes a line feed as the server's job writes it.
    EXPECT_EQ(shown.size(), expected.size() + std::count(shown.begin(), shown.end(), '\r'));
    shown.erase(std::remove(shown.begin(), shown.end(), '\r'), shown.end());
    EXPECT_TRUE(shown == expected);
}

// Counts the pairs of the chunks it sees; stops after `stopAfter` chunks (0: never).
struct Walk {
    int chunks = 0;
    int stopAfter = 0;
    int32_t pairs = 0;
    std::string first;
};

int32_t CountPairs(QDOHandle, void* context, const char* chunk, size_t length) {
    auto& walk = *static_cast<Walk*>(context);
    auto list = std::make_unique<QDOString>();
    EXPECT_LE(length, size_t{QDO_STRING_MAX});
    list->Length = static_cast<uint16_t>(length);
    std::memcpy(list->Data, chunk, length);
    const int32_t elements = QDOListLength(list.get());
    EXPECT_EQ(elements % 2, 0);
    if (walk.chunks == 0) {
        auto reference = std::make_unique<QDOString>();
        QDOListGet(list.get(), 1, reference.get());
        walk.first.assign(reference->Data, reference->Length);
    }
    walk.pairs += elements / 2;
    ++walk.chunks;
    return walk.stopAfter == 0 || walk.chunks < walk.stopAfter ? 1 : 0;
}

TEST(FlatAdditions, AGroupReadStoppedEarlyLeavesTheHandleReady) {
    Handle handle;
    // Some 4 MB: over a hundred chunks.
    ASSERT_EQ(handle.Execute("kill ^FlatWalk for i=1:1:4000 set ^FlatWalk(i)=$justify(i,1000)"), 1);

    Walk whole;
    ASSERT_EQ(QDOGroupReadEach(handle, "^FlatWalk", 9, CountPairs, &whole), 1)
        << handle.LastError();
    EXPECT_EQ(whole.pairs, 4000);
    EXPECT_GT(whole.chunks, 100);
    EXPECT_EQ(whole.first, "^FlatWalk(1)");

    Walk stopped;
    stopped.stopAfter = 1;
    ASSERT_EQ(QDOGroupReadEach(handle, "^FlatWalk", 9, CountPairs, &stopped), 1)
        << handle.LastError();
    EXPECT_EQ(stopped.chunks, 1);
    EXPECT_LT(stopped.pairs, 4000);
    // The next calls get their own replies.
    EXPECT_EQ(handle.Read("^FlatWalk(2)"), std::string(999, ' ') + "2");
    EXPECT_EQ(handle.Read("$order(^FlatWalk(\"\"),-1)"), "4000");

    Walk empty;
    ASSERT_EQ(QDOGroupReadEach(handle, "^FlatNothing", 12, CountPairs, &empty), 1);
    EXPECT_EQ(empty.chunks, 0);

    // A call from inside a chunk function is refused and leaves the walk whole.
    struct Nested {
        QDOHandle h;
        int32_t result = -1;
        int32_t code = 0;
    } nested{handle};
    const auto callInside = [](QDOHandle h, void* context, const char*, size_t) -> int32_t {
        auto& n = *static_cast<Nested*>(context);
        if (n.result == -1) {
            n.result = QDOKillValue(h, "^FlatWalk", 9);
            n.code = QDOGetLastErrorCode(h);
        }
        return 1;
    };
    ASSERT_EQ(QDOGroupReadEach(handle, "^FlatWalk", 9, callInside, &nested), 1);
    EXPECT_EQ(nested.result, 0);
    EXPECT_EQ(nested.code, QDO_ERROR_BUSY);
    EXPECT_EQ(handle.Read("$data(^FlatWalk)"), "10");
    ASSERT_EQ(handle.Execute("kill ^FlatWalk"), 1);
}

TEST(FlatAdditions, ErrorsKeepTheirCodes) {
    Handle handle;
    char* value = nullptr;
    size_t length = 0;
    EXPECT_EQ(QDOReadValue(handle, "^FlatUndefined", 14, &value, &length), 0);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(QDOGetLastErrorCode(handle), QDO_ERROR_SERVER);
    EXPECT_EQ(handle.LastECode().rfind(",M7,", 0), 0u) << handle.LastECode(); // and GT.M's own
    EXPECT_EQ(handle.Execute("set x=1/0"), 0);
    EXPECT_EQ(handle.LastECode().rfind(",M9,", 0), 0u) << handle.LastECode();
    EXPECT_EQ(handle.Read("1+1"), "2"); // and the handle goes on

    QDOHandle closed = QDOCreateConnect("127.0.0.1", Shared().Port(), "USER");
    EXPECT_EQ(QDOReadValue(closed, "1", 1, &value, &length), 0);
    EXPECT_EQ(QDOGetLastErrorCode(closed), QDO_ERROR_NOT_CONNECTED);
    QDODestroyConnect(closed);
}

struct Events {
    std::vector<std::pair<std::string, std::string>> received;
};

void Record(QDOHandle, void* context, const char* name, size_t nameLength, const char* params,
            size_t paramsLength) {
    static_cast<Events*>(context)->received.emplace_back(std::string(name, nameLength),
                                                         std::string(params, paramsLength));
}

TEST(FlatAdditions, EventsPassBetweenTwoHandles) {
    Handle listener;
    Handle sender;
    Events events;
    ASSERT_EQ(QDOSetServerEvent(listener, Record, &events), 1);
    const std::string name("Flat\0Event", 10); // any bytes
    ASSERT_EQ(QDOSubscribeEvent(listener, name.data(), name.size(), 1), 1) << listener.LastError();

    const std::string params = "price " + std::string(20000, 'p');
    const std::string send = "$$SendMsg($char(70,108,97,116,0)_\"Event\",\"price "
                             "\"_$translate($justify(\"\",20000),\" \",\"p\"))";
    EXPECT_EQ(sender.Read(send), "1");
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (events.received.empty() && Clock::now() < end)
        ASSERT_GE(QDOProcessMessages(listener, 50), 0);
    ASSERT_EQ(events.received.size(), 1u);
    EXPECT_EQ(events.received[0].first, name);
    EXPECT_TRUE(events.received[0].second == params);

    // During a call of the listener.
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sender.Execute("do SendMsg($char(70,108,97,116,0)_\"Event\",\"during\")");
    });
    EXPECT_EQ(listener.Execute("hang 1"), 1);
    later.join();
    ASSERT_EQ(events.received.size(), 2u);
    EXPECT_EQ(events.received[1].second, "during");

    ASSERT_EQ(QDOUnsubscribeEvent(listener, name.data(), name.size()), 1);
    EXPECT_EQ(sender.Read(send), "0");
}

// A source of `bytes` that gives at most `most` bytes a read.
struct Source {
    const std::string& bytes;
    size_t most;
    size_t taken = 0;
};

int32_t ReadSource(QDOHandle, void* context, char* buffer, size_t size) {
    auto& source = *static_cast<Source*>(context);
    const size_t count = std::min({size, source.most, source.bytes.size() - source.taken});
    std::memcpy(buffer, source.bytes.data() + source.taken, count);
    source.taken += count;
    return static_cast<int32_t>(count);
}

int32_t AppendTo(QDOHandle, void* context, const char* bytes, size_t length) {
    static_cast<std::string*>(context)->append(bytes, length);
    return 1;
}

TEST(FlatAdditions, BlobsStreamInAndOutByteForByte) {
    Handle handle;
    int32_t id = 0;
    ASSERT_EQ(QDOCreateBlob(handle, "flat~blob", 9, &id), 1) << handle.LastError();
    ASSERT_GT(id, 0);
    // Empty, one byte, a whole block, a block and a byte, several hundred blocks.
    for (size_t size : {size_t{0}, size_t{1}, size_t{2048}, size_t{2049}, size_t{700001}}) {
        const std::string bytes = test::RandomBytes(size, static_cast<unsigned>(size));
        Source source{bytes, 1000}; // reads shorter than a block
        ASSERT_EQ(QDOWriteBlobFrom(handle, id, ReadSource, &source), 1) << handle.LastError();
        std::string back;
        ASSERT_EQ(QDOReadBlobTo(handle, id, AppendTo, &back), 1) << handle.LastError();
        EXPECT_EQ(back.size(), size);
        EXPECT_TRUE(back == bytes) << size;
        EXPECT_EQ(handle.Read("$piece(^BLOB(" + std::to_string(id) + "),\"~\",3)"),
                  std::to_string(size));
    }
    // From and into memory.
    const std::string bytes = test::AllBytes() + test::RandomBytes(5000, 7);
    ASSERT_EQ(QDOWriteBlob(handle, id, bytes.data(), bytes.size()), 1);
    char* data = nullptr;
    size_t length = 0;
    ASSERT_EQ(QDOReadBlob(handle, id, &data, &length), 1);
    EXPECT_EQ(std::string(data, length), bytes);
    QDOFreeValue(data);

    // A function that fails ends the transfer, and the lock is given up.
    const auto refusing = [](QDOHandle, void*, const char*, size_t) -> int32_t { return 0; };
    EXPECT_EQ(QDOReadBlobTo(handle, id, refusing, nullptr), 0);
    EXPECT_EQ(handle.LastError(), "The BLOB's write function failed.");
    const auto failing = [](QDOHandle, void*, char*, size_t) -> int32_t { return -1; };
    EXPECT_EQ(QDOWriteBlobFrom(handle, id, failing, nullptr), 0);
    EXPECT_EQ(handle.LastError(), "The BLOB's read function failed.");
    Handle other;
    ASSERT_EQ(QDOWriteBlob(other, id, "after", 5), 1) << other.LastError();

    ASSERT_EQ(QDODeleteBlob(handle, id), 1) << handle.LastError();
    EXPECT_EQ(QDOReadBlob(handle, id, &data, &length), 0);
    EXPECT_EQ(handle.LastError(), "There is no BLOB " + std::to_string(id) + ".");
    EXPECT_EQ(QDODeleteBlob(handle, id), 0);
}

// Answers "<command>!" and fails for the command "fail", with the message "refused <command>".
int32_t AnswerOrFail(QDOHandle, void* context, const char* command, size_t length,
                     QDOAnswer* answer) {
    ++*static_cast<int*>(context);
    const std::string text(command, length);
    if (text == "fail") {
        const std::string message = "refused " + text;
        QDOAnswerSet(answer, message.data(), message.size());
        return 0;
    }
    const std::string reply = text == "big" ? std::string(100000, 'b') : text + "!";
    QDOAnswerSet(answer, reply.data(), reply.size());
    return 1;
}

TEST(FlatAdditions, AFailingCallbackFailsTheCall) {
    Handle handle;
    int calls = 0;
    ASSERT_EQ(QDOSetCallbackEx(handle, AnswerOrFail, &calls), 1);
    EXPECT_EQ(handle.Read("$$Callback(\"hi\")_\"/\"_$length($$Callback(\"big\"))"), "hi!/100000");

    // The command goes on with the empty answer, and the call then fails with the message.
    EXPECT_EQ(handle.Execute("set ^FlatAfter=\"[\"_$$Callback(\"fail\")_\"]\""), 0);
    EXPECT_EQ(handle.LastError(), "refused fail");
    EXPECT_EQ(QDOGetLastErrorCode(handle), QDO_ERROR_NONE);
    EXPECT_EQ(handle.Read("^FlatAfter"), "[]");
    EXPECT_EQ(handle.Read("$$Callback(\"again\")"), "again!");
    EXPECT_EQ(calls, 4);

    // Between calls: the server gets the empty text, the message is kept.
    ASSERT_EQ(handle.Execute("set ^FlatSession=$$Session()"), 1);
    Handle other;
    std::atomic<bool> done = false;
    std::string answered = "not yet";
    std::thread asker([&] {
        answered = other.Read("\"<\"_$$ClientCall(^FlatSession,\"fail\")_\">\"");
        done = true;
    });
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (!done && Clock::now() < end)
        EXPECT_GE(QDOProcessMessages(handle, 10), 0);
    asker.join();
    EXPECT_EQ(answered, "<>");
    EXPECT_EQ(handle.LastError(), "refused fail");
    ASSERT_EQ(QDOKillValue(handle, "^FlatAfter", 10), 1);
    ASSERT_EQ(QDOKillValue(handle, "^FlatSession", 12), 1);
}

} // namespace
} // namespace qdo
