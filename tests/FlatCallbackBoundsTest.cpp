// A C callback that claims more text than the record lent to it can hold: the answer sent is
// cut to the record's room, and nothing past the record is read (the AddressSanitizer build
// reports a read past it).
#include "capi/qdo.h"
#include "support/Connection.h"
#include "support/CountedText.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace qdo {
namespace {

using test::AcceptInline;
using test::Chunk;
using test::Nul;
using test::OneArgument;
using test::ScriptedPeer;
using test::Text;

// The text the callbacks below write: every byte of the record's declared room.
const std::string written = test::RandomBytes(QDO_STRING_MAX, 3);
uint16_t claimedLength = 0;

void FillAndClaim(QDOHandle, const QDOString*, QDOString* result) {
    std::memcpy(result->Data, written.data(), written.size());
    result->Length = claimedLength;
}

// The callback answer among the bytes a client sent after `before`: "c", NUL, the length, NUL
// and that many bytes; waits up to 5 seconds for them all to arrive.
std::string AnswerAfter(ScriptedPeer& peer, const std::string& before) {
    for (int waited = 0; waited < 5000; waited += 10) {
        const std::string received = peer.Received();
        const size_t start = before.size() + 2;
        const size_t nul = received.find('\0', start);
        if (received.compare(0, before.size(), before) == 0 && nul != std::string::npos) {
            const size_t length = std::stoul(received.substr(start, nul - start));
            if (received.size() >= nul + 1 + length)
                return received.substr(nul + 1, length);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "(no whole answer)";
}

// The text bytes of the record lent to a callback: at least its declared room, and at most two
// bytes beyond it (the library lends a little more than sizeof(QDOString)).
constexpr size_t lentRoom = QDO_STRING_MAX + 2;

TEST(FlatCallbackBounds, AClaimedLengthBeyondTheLentRecordIsCutToItsRoom) {
    const struct {
        const char* what;
        uint16_t claimed;
        size_t least, most; // the answer's length
    } cases[] = {
        {"the declared room, exactly", QDO_STRING_MAX, QDO_STRING_MAX, QDO_STRING_MAX},
        {"the largest length the field holds", 65535, QDO_STRING_MAX, lentRoom},
        {"one byte past the declared room", QDO_STRING_MAX + 1, QDO_STRING_MAX, lentRoom},
    };
    const std::string zn = OneArgument('x', "zn \"\"");
    const std::string read = OneArgument('r', "$$f()");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        claimedLength = c.claimed;
        // The peer takes the shortest answer the callback can give before it ends the reply;
        // whatever else the client sends is recorded after the script.
        ScriptedPeer peer({AcceptInline(), ScriptedPeer::Expect(zn), ScriptedPeer::Send(test::Ok),
                           ScriptedPeer::Expect(read),
                           ScriptedPeer::Send("<CALLBACK>1:4" + Nul + "ask?"),
                           ScriptedPeer::Receive(OneArgument('c', written).size()),
                           ScriptedPeer::Send(Chunk("done") + test::Ok)});
        QDOHandle handle = QDOCreateConnect("127.0.0.1", peer.PortNumber(), "");
        ASSERT_EQ(QDOConnectOpen(handle), 1);
        QDOSetCallback(handle, FillAndClaim);
        static QDOString expression, out;
        test::SetText(expression, "$$f()");
        EXPECT_EQ(QDORead(handle, &expression, &out), 1);
        EXPECT_EQ(Text(out), "done");
        ASSERT_TRUE(peer.WaitForScript());

        const std::string answer = AnswerAfter(peer, zn + read);
        EXPECT_GE(answer.size(), c.least);
        EXPECT_LE(answer.size(), c.most);
        EXPECT_TRUE(answer.compare(0, written.size(), written) == 0)
            << "the answer does not begin with the text the callback wrote";
        QDODestroyConnect(handle);
    }
}

} // namespace
} // namespace qdo
