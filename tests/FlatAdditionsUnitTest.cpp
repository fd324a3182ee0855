// The flat interface's additions without a server, and against a scripted peer: the null
// handle, bad arguments, whole values from many chunks, and the wire answer of a failing
// callback.
#include "capi/qdo.h"
#include "support/Connection.h"
#include "support/CountedText.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace qdo {
namespace {

using test::AcceptInline;
using test::Chunk;
using test::LastError;
using test::Nul;
using test::OneArgument;
using test::ScriptedPeer;

int32_t KeepGoing(QDOHandle, void*, const char*, size_t) {
    return 1;
}
int32_t ReadNothing(QDOHandle, void*, char*, size_t) {
    return 0;
}
int32_t Fail(QDOHandle, void*, const char* command, size_t length, QDOAnswer* answer) {
    const std::string message = "no answer to " + std::string(command, length);
    QDOAnswerSet(answer, message.data(), message.size());
    return 0;
}

TEST(FlatAdditionsOnPeer, TheNullHandleDoesNothing) {
    char* value = reinterpret_cast<char*>(1);
    size_t length = 7;
    int32_t id = 5;
    EXPECT_EQ(QDOReadValue(nullptr, "1", 1, &value, &length), 0);
    EXPECT_EQ(QDOWriteValue(nullptr, "x", 1, "1", 1), 0);
    EXPECT_EQ(QDOKillValue(nullptr, "x", 1), 0);
    EXPECT_EQ(QDOExecuteLine(nullptr, "w 1", 3, &value, &length), 0);
    EXPECT_EQ(QDOExecuteOutputLine(nullptr, "w 1", 3, nullptr, nullptr), 0);
    EXPECT_EQ(QDOGroupReadEach(nullptr, "^x", 2, KeepGoing, nullptr), 0);
    EXPECT_EQ(QDOSubscribeEvent(nullptr, "e", 1, 1), 0);
    EXPECT_EQ(QDOUnsubscribeEvent(nullptr, "e", 1), 0);
    EXPECT_EQ(QDOSetServerEvent(nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(QDOSetCallbackEx(nullptr, Fail, nullptr), 0);
    EXPECT_EQ(QDOCreateBlob(nullptr, "b", 1, &id), 0);
    EXPECT_EQ(QDODeleteBlob(nullptr, 1), 0);
    EXPECT_EQ(QDOWriteBlob(nullptr, 1, "b", 1), 0);
    EXPECT_EQ(QDOReadBlob(nullptr, 1, &value, &length), 0);
    EXPECT_EQ(QDOWriteBlobFrom(nullptr, 1, ReadNothing, nullptr), 0);
    EXPECT_EQ(QDOReadBlobTo(nullptr, 1, nullptr, nullptr), 0);
    EXPECT_EQ(value, reinterpret_cast<char*>(1));
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(id, 5);
    QDOFreeValue(nullptr);
    EXPECT_EQ(QDOAnswerSet(nullptr, "a", 1), 0);
}

TEST(FlatAdditionsOnPeer, BadArgumentsFailWithAMessage) {
    QDOHandle handle = QDOCreateConnect("127.0.0.1", 1, "USER");
    char* value = nullptr;
    size_t length = 0;
    int32_t id = 0;
    const struct {
        std::function<int32_t()> call;
        const char* message;
    } cases[] = {
        {[&] { return QDOWriteValue(handle, nullptr, 3, "v", 1); },
         "A null text was passed with a length above 0."},
        {[&] { return QDOReadValue(handle, "1", 1, nullptr, &length); },
         "A null record was passed."},
        {[&] { return QDOExecuteLine(handle, "w 1", 3, &value, nullptr); },
         "A null record was passed."},
        {[&] { return QDOGroupReadEach(handle, "^x", 2, nullptr, nullptr); },
         "No chunk function was passed."},
        {[&] { return QDOCreateBlob(handle, "b", 1, nullptr); }, "A null record was passed."},
        {[&] { return QDOWriteBlobFrom(handle, 1, nullptr, nullptr); },
         "No read function was passed."},
        {[&] { return QDOReadBlobTo(handle, 1, nullptr, nullptr); },
         "No write function was passed."},
        // Well-formed, but the connection is not open.
        {[&] { return QDOReadValue(handle, nullptr, 0, &value, &length); },
         "Connect does not exist."},
        {[&] { return QDOCreateBlob(handle, "b", 1, &id); }, "Connect does not exist."},
        {[&] { return QDOSubscribeEvent(handle, "e", 1, 0); }, "Connect does not exist."},
        {[&] { return QDOExecuteOutputLine(handle, "w 1", 3, nullptr, nullptr); },
         "Connect does not exist."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), 0) << c.message;
        EXPECT_EQ(LastError(handle), c.message);
    }
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(QDOGetLastErrorCode(handle), QDO_ERROR_NOT_CONNECTED);
    QDODestroyConnect(handle);
}

TEST(FlatAdditionsOnPeer, AValueOfManyChunksComesBackWhole) {
    const std::string a(32000, 'a'), b(32000, '\0'), c = "end";
    ScriptedPeer peer({AcceptInline(), ScriptedPeer::Expect(OneArgument('x', "zn \"\"")),
                       ScriptedPeer::Send(test::Ok), ScriptedPeer::Expect(OneArgument('r', "^V")),
                       ScriptedPeer::Send(Chunk(a) + Chunk(b) + Chunk(c) + test::Ok),
                       ScriptedPeer::Expect(OneArgument('x', "w 1")),
                       ScriptedPeer::Send(Chunk("1") + Chunk("2") + test::Ok)});
    QDOHandle handle = QDOCreateConnect("127.0.0.1", peer.PortNumber(), "");
    ASSERT_EQ(QDOConnectOpen(handle), 1);
    // The QDOSetGroupRead function has no part in the additions' calls.
    QDOSetGroupRead(handle, [](QDOHandle, const QDOString*) { ADD_FAILURE(); });
    char* value = nullptr;
    size_t length = 0;
    ASSERT_EQ(QDOReadValue(handle, "^V", 2, &value, &length), 1) << LastError(handle);
    EXPECT_EQ(std::string(value, length), a + b + c);
    EXPECT_EQ(value[length], '\0');
    QDOFreeValue(value);
    ASSERT_EQ(QDOExecuteLine(handle, "w 1", 3, &value, &length), 1);
    EXPECT_EQ(std::string(value, length), "12");
    QDOFreeValue(value);
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    QDODestroyConnect(handle);
}

TEST(FlatAdditionsOnPeer, AFailingCallbackIsAnsweredEmptyAndFailsTheCall) {
    ScriptedPeer peer(
        {AcceptInline(), ScriptedPeer::Expect(OneArgument('x', "zn \"\"")),
         ScriptedPeer::Send(test::Ok), ScriptedPeer::Expect(OneArgument('r', "$$f()")),
         ScriptedPeer::Send("<CALLBACK>1:4" + Nul + "ask?"),
         ScriptedPeer::Expect("c" + Nul + "0" + Nul),
         ScriptedPeer::Send(Chunk("ignored") + test::Ok),
         ScriptedPeer::Expect(OneArgument('r', "1")), ScriptedPeer::Send(Chunk("1") + test::Ok)});
    QDOHandle handle = QDOCreateConnect("127.0.0.1", peer.PortNumber(), "");
    ASSERT_EQ(QDOConnectOpen(handle), 1);
    ASSERT_EQ(QDOSetCallbackEx(handle, Fail, nullptr), 1);
    char* value = nullptr;
    size_t length = 0;
    EXPECT_EQ(QDOReadValue(handle, "$$f()", 5, &value, &length), 0);
    EXPECT_EQ(LastError(handle), "no answer to ask?");
    ASSERT_EQ(QDOReadValue(handle, "1", 1, &value, &length), 1); // in step
    EXPECT_EQ(std::string(value, length), "1");
    QDOFreeValue(value);
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    QDODestroyConnect(handle);
}

} // namespace
} // namespace qdo
