// The flat connection functions against a scripted peer: null handles, the last error, the
// namespace line, and the callbacks.
#include "capi/qdo.h"
#include "support/Connection.h"
#include "support/CountedText.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qdo {
namespace {

using test::AcceptInline;
using test::Chunk;
using test::Hex;
using test::LastError;
using test::Nul;
using test::OneArgument;
using test::ScriptedPeer;
using test::SetText;
using test::Text;
using test::ToHex;

// What the callbacks saw, for the test that set them.
std::vector<std::string> seen;
std::vector<QDOHandle> seenHandles;

void RecordText(QDOHandle handle, const QDOString* text) {
    seenHandles.push_back(handle);
    seen.push_back(Text(*text));
}

void AnswerXyz(QDOHandle, const QDOString* command, QDOString* result) {
    seen.push_back("callback:" + Text(*command));
    SetText(*result, "xyz");
}

void AnswerNothing(QDOHandle, const QDOString*, QDOString*) {}

class ConnectFunctions : public ::testing::Test {
protected:
    void SetUp() override {
        seen.clear();
        seenHandles.clear();
    }
};

TEST_F(ConnectFunctions, TheNullHandleDoesNothing) {
    static QDOString text, out;
    SetText(text, "^X");
    out.Length = 7;
    EXPECT_EQ(QDOConnectOpen(nullptr), 0);
    EXPECT_EQ(QDOConnectClose(nullptr), 0);
    EXPECT_EQ(QDORead(nullptr, &text, &out), 0);
    EXPECT_EQ(QDOWrite(nullptr, &text, &text), 0);
    EXPECT_EQ(QDOExecute(nullptr, &text), 0);
    EXPECT_EQ(QDOExecuteOutput(nullptr, &text), 0);
    EXPECT_EQ(QDOKill(nullptr, &text), 0);
    EXPECT_EQ(QDOProcessMessages(nullptr, 0), -1);
    EXPECT_EQ(QDONotificationDescriptor(nullptr), -1);
    QDOSetOutput(nullptr, RecordText);
    QDOSetGroupRead(nullptr, RecordText);
    QDOSetCallback(nullptr, AnswerNothing);
    EXPECT_EQ(QDOGetLastErrorCode(nullptr), QDO_ERROR_NONE);
    EXPECT_EQ(QDOSetTimeOut(nullptr, 100), 0);
    EXPECT_EQ(QDOSetRequestDeadline(nullptr, 100), 0);
    QDODestroyConnect(nullptr);
    EXPECT_EQ(out.Length, 7);
    QDOGetLastError(nullptr, &out);
    EXPECT_EQ(out.Length, 0);
    out.Length = 7;
    QDOGetLastServerError(nullptr, &out);
    EXPECT_EQ(out.Length, 0);
}

TEST_F(ConnectFunctions, CreatingAndDestroyingSendsNothing) {
    ScriptedPeer peer({});
    QDOHandle handle = QDOCreateConnect("127.0.0.1", peer.PortNumber(), "USER");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(LastError(handle), "");
    QDODestroyConnect(handle);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(peer.Connections(), 0);
}

TEST_F(ConnectFunctions, FailuresKeepTheirMessageUntilTheNext) {
    static QDOString text, out;
    SetText(text, "^X");
    out.Length = 9;
    QDOHandle handle = QDOCreateConnect("127.0.0.1", 1, "USER");
    EXPECT_EQ(QDORead(handle, &text, &out), 0);
    EXPECT_EQ(out.Length, 9); // untouched
    EXPECT_EQ(LastError(handle), "Connect does not exist.");
    EXPECT_EQ(LastError(handle), "Connect does not exist."); // reading keeps it
    EXPECT_EQ(QDOConnectClose(handle), 1);                   // success keeps it too
    EXPECT_EQ(LastError(handle), "Connect does not exist.");
    EXPECT_EQ(QDORead(handle, nullptr, &out), 0);
    EXPECT_EQ(LastError(handle), "A null record was passed.");
    QDODestroyConnect(handle);

    QDOHandle refused = QDOCreateConnect("127.0.0.1", test::ClosedPort(), nullptr);
    EXPECT_EQ(QDOConnectOpen(refused), 0);
    EXPECT_EQ(LastError(refused),
              "Windows socket error. Code 10061: Connection refused. Can't establish connection "
              "with database.\rCheck server is running.");
    QDODestroyConnect(refused);
}

TEST_F(ConnectFunctions, OpeningExecutesTheNamespaceLine) {
    ScriptedPeer peer(
        {AcceptInline(), ScriptedPeer::Expect(Hex("78 00 39 00 7A 6E 20 22 55 53 45 52 22")),
         ScriptedPeer::Send(Chunk("switched") + test::Ok),
         ScriptedPeer::Expect(OneArgument('x', "zn \"USER\"")), ScriptedPeer::Send(test::Ok)});
    QDOHandle handle = QDOCreateConnect("127.0.0.1", peer.PortNumber(), "USER");
    QDOSetGroupRead(handle, RecordText);
    EXPECT_EQ(QDOConnectOpen(handle), 1);
    EXPECT_EQ(seen, std::vector<std::string>{"switched"});
    EXPECT_EQ(seenHandles, std::vector<QDOHandle>{handle});
    EXPECT_EQ(QDOConnectOpen(handle), 1); // open already: only the line again
    EXPECT_EQ(seen, (std::vector<std::string>{"switched", ""}));
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    QDODestroyConnect(handle);
}

TEST_F(ConnectFunctions, ANullNamespaceGivesTwoQuotes) {
    ScriptedPeer peer({AcceptInline(), ScriptedPeer::Expect(OneArgument('x', "zn \"\"")),
                       ScriptedPeer::Send(test::Ok)});
    QDOHandle handle = QDOCreateConnect("127.0.0.1", peer.PortNumber(), nullptr);
    EXPECT_EQ(QDOConnectOpen(handle), 1);
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    QDODestroyConnect(handle);
}

TEST_F(ConnectFunctions, ReadWriteKillAndChunks) {
    const std::string big(32768, 'b');
    ScriptedPeer peer(
        {AcceptInline(), ScriptedPeer::Expect(OneArgument('x', "zn \"%SYS\"")),
         ScriptedPeer::Send(test::Ok), ScriptedPeer::Expect(OneArgument('r', "^X")),
         ScriptedPeer::Send(Chunk("one") + Chunk(big) + test::Ok),
         ScriptedPeer::Expect("w" + Nul + "2" + Nul + "^X" + "3" + Nul + "a" + Nul + "c"),
         ScriptedPeer::Send(test::Ok), ScriptedPeer::Expect(OneArgument('k', "^X")),
         ScriptedPeer::Send(test::Ok), ScriptedPeer::Expect(OneArgument('x', "w 1,2,3")),
         ScriptedPeer::Send(Chunk("1") + Chunk("2") + Chunk("3") + test::Ok)});
    QDOHandle handle = QDOCreateConnect("127.0.0.1", peer.PortNumber(), "%SYS");
    ASSERT_EQ(QDOConnectOpen(handle), 1) << LastError(handle);
    QDOSetGroupRead(handle, RecordText);
    static QDOString name, value, out;
    SetText(name, "^X");
    EXPECT_EQ(QDORead(handle, &name, &out), 1);
    EXPECT_EQ(ToHex(std::string(reinterpret_cast<char*>(&out), 2)), "00 80");
    EXPECT_EQ(Text(out), big);
    EXPECT_EQ(seen, std::vector<std::string>{"one"});

    SetText(value, std::string("a\0c", 3));
    EXPECT_EQ(QDOWrite(handle, &name, &value), 1);
    EXPECT_EQ(QDOKill(handle, &name), 1);
    seen.clear();
    SetText(value, "w 1,2,3");
    EXPECT_EQ(QDOExecute(handle, &value), 1);
    EXPECT_EQ(seen, (std::vector<std::string>{"1", "2", "3"}));
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    QDODestroyConnect(handle);
}

TEST_F(ConnectFunctions, TerminalOutputAndItsSwitch) {
    ScriptedPeer peer({AcceptInline(), ScriptedPeer::Expect(OneArgument('x', "zn \"\"")),
                       ScriptedPeer::Send(test::Ok), ScriptedPeer::Expect(OneArgument('t', "w 1")),
                       ScriptedPeer::Send("abc"), ScriptedPeer::Pause(50),
                       ScriptedPeer::Send("de" + Nul + test::Ok),
                       ScriptedPeer::Expect(OneArgument('t', "w 2")),
                       ScriptedPeer::Send("x" + Nul + test::Ok)});
    QDOHandle handle = QDOCreateConnect("127.0.0.1", peer.PortNumber(), "");
    ASSERT_EQ(QDOConnectOpen(handle), 1);
    QDOSetOutput(handle, RecordText);
    static QDOString command;
    SetText(command, "w 1");
    EXPECT_EQ(QDOExecuteOutput(handle, &command), 1);
    EXPECT_EQ(seen, (std::vector<std::string>{"abc", "de"}));
    QDOSetOutput(handle, nullptr);
    SetText(command, "w 2");
    EXPECT_EQ(QDOExecuteOutput(handle, &command), 1);
    EXPECT_EQ(seen.size(), 2u);
    QDODestroyConnect(handle);
}

TEST_F(ConnectFunctions, ServerCallbacksAreAnswered) {
    const struct {
        QDOCallbackProc proc;
        std::string answer;
    } cases[] = {{AnswerXyz, "c" + Nul + "3" + Nul + "xyz"},
                 {AnswerNothing, "c" + Nul + "0" + Nul},
                 {nullptr, "c" + Nul + "0" + Nul}};
    for (const auto& c : cases) {
        ScriptedPeer peer(
            {AcceptInline(), ScriptedPeer::Expect(OneArgument('x', "zn \"\"")),
             ScriptedPeer::Send(test::Ok), ScriptedPeer::Expect(OneArgument('r', "$$f()")),
             ScriptedPeer::Send("<CALLBACK>1:4" + Nul + "ask?"), ScriptedPeer::Expect(c.answer),
             ScriptedPeer::Send(Chunk("done") + test::Ok)});
        QDOHandle handle = QDOCreateConnect("127.0.0.1", peer.PortNumber(), "");
        ASSERT_EQ(QDOConnectOpen(handle), 1);
        QDOSetCallback(handle, c.proc);
        static QDOString expression, out;
        SetText(expression, "$$f()");
        EXPECT_EQ(QDORead(handle, &expression, &out), 1);
        EXPECT_EQ(Text(out), "done");
        peer.WaitForScript();
        EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
        QDODestroyConnect(handle);
    }
    EXPECT_EQ(seen, std::vector<std::string>{"callback:ask?"});
}

TEST_F(ConnectFunctions, ErrorsComeBackWholeWithTheirCodes) {
    // A long error reply is quoted in part, with its length; the NUL that ends it is written as
    // M writes it, so that the message reaches the caller whole.
    const std::string header = "<ERROR>:,M6,:" + std::string(32740, 'e');
    ScriptedPeer peer({AcceptInline(), ScriptedPeer::Expect(OneArgument('x', "zn \"\"")),
                       ScriptedPeer::Send(header + Nul)});
    QDOHandle handle = QDOCreateConnect("127.0.0.1", peer.PortNumber(), "");
    EXPECT_EQ(QDOGetLastErrorCode(handle), QDO_ERROR_NONE);
    EXPECT_EQ(QDOConnectOpen(handle), 0); // opened, but the namespace line failed
    const std::string message = LastError(handle);
    EXPECT_LT(message.size(), 1000u);
    EXPECT_EQ(message.rfind("Internal server error: '" + header.substr(0, 100), 0), 0u);
    EXPECT_NE(message.find("(32754 bytes in all)"), std::string::npos);
    EXPECT_EQ(message.find('\0'), std::string::npos);
    EXPECT_NE(message.find("while executing  Last Executed Command: x_$C(0)_5_$C(0)_zn"),
              std::string::npos);
    EXPECT_EQ(QDOGetLastErrorCode(handle), QDO_ERROR_SERVER);
    static QDOString ecode;
    QDOGetLastServerError(handle, &ecode);
    EXPECT_EQ(Text(ecode), ",M6,");
    EXPECT_EQ(QDOProcessMessages(handle, 0), 0);
    EXPECT_GE(QDONotificationDescriptor(handle), 0);
    EXPECT_EQ(QDOConnectClose(handle), 1);
    QDODestroyConnect(handle);

    ScriptedPeer shortError({AcceptInline(), ScriptedPeer::Expect(OneArgument('x', "zn \"\"")),
                             ScriptedPeer::Send("<ERROR>:,M9,:division" + Nul)});
    handle = QDOCreateConnect("127.0.0.1", shortError.PortNumber(), "");
    EXPECT_EQ(QDOConnectOpen(handle), 0);
    EXPECT_EQ(
        LastError(handle).rfind("Internal server error: '<ERROR>:,M9,:division_$C(0)_' while", 0),
        0u);
    QDOGetLastServerError(handle, &ecode);
    EXPECT_EQ(Text(ecode), ",M9,");
    QDODestroyConnect(handle);
}

TEST_F(ConnectFunctions, ReadGivesTheWholeValueOrSaysWhyNot) {
    const std::string fits(32768, 'f');
    const std::string tooLong(40000, 'l');
    const auto chunked = [](const std::string& value) {
        return Chunk(value.substr(0, 32000)) + Chunk(value.substr(32000)) + test::Ok;
    };
    ScriptedPeer peer(
        {AcceptInline(), ScriptedPeer::Expect(OneArgument('x', "zn \"\"")),
         ScriptedPeer::Send(test::Ok), ScriptedPeer::Expect(OneArgument('r', "a")),
         ScriptedPeer::Send(chunked(fits)), ScriptedPeer::Expect(OneArgument('r', "b")),
         ScriptedPeer::Send(chunked(tooLong)), ScriptedPeer::Expect(OneArgument('r', "c")),
         ScriptedPeer::Send(chunked(tooLong))});
    QDOHandle handle = QDOCreateConnect("127.0.0.1", peer.PortNumber(), "");
    ASSERT_EQ(QDOConnectOpen(handle), 1) << LastError(handle);
    static QDOString expression, out;

    SetText(expression, "a"); // 32768 bytes in two chunks: whole
    ASSERT_EQ(QDORead(handle, &expression, &out), 1) << LastError(handle);
    EXPECT_EQ(Text(out), fits);

    SetText(expression, "b"); // too long for the record: refused, never cut
    out.Length = 3;
    EXPECT_EQ(QDORead(handle, &expression, &out), 0);
    EXPECT_EQ(out.Length, 3);
    EXPECT_NE(LastError(handle).find("40000 bytes"), std::string::npos) << LastError(handle);
    EXPECT_NE(LastError(handle).find("QDOSetGroupRead"), std::string::npos);

    QDOSetGroupRead(handle, RecordText); // in pieces, then: the chunks and the last as result
    SetText(expression, "c");
    ASSERT_EQ(QDORead(handle, &expression, &out), 1) << LastError(handle);
    EXPECT_EQ(seen, std::vector<std::string>{tooLong.substr(0, 32000)});
    EXPECT_EQ(Text(out), tooLong.substr(32000));
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];

    EXPECT_EQ(QDOSetTimeOut(handle, 0), 0);
    EXPECT_EQ(QDOSetTimeOut(handle, 250), 1);
    EXPECT_EQ(QDOSetRequestDeadline(handle, -1), 0);
    EXPECT_EQ(QDOSetRequestDeadline(handle, 0), 1);
    QDODestroyConnect(handle);
}

} // namespace
} // namespace qdo
