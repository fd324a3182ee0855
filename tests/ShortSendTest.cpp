// Sends that take only part of their bytes: the socket's OnSend handler lowers every send's
// count, as a signal or a full send buffer would, and the peer must still receive each byte of
// a request (or a stream) exactly once and in order.
#include "classes/Streams.h"
#include "connect/Qdoconnect.h"
#include "sockets/Sockets2.h"
#include "support/Connection.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace qdo {
namespace {

using test::AcceptInline;
using test::Chunk;
using test::Nul;
using test::OneArgument;
using test::OpenOn;
using test::ScriptedPeer;
using test::ToHex;

// Lets every send of `socket` take at most `most` bytes.
void LimitSends(TBaseSocket& socket, int32_t most, int& sends) {
    socket.OnSend = [most, &sends](TObject*, char*, int32_t& length) {
        ++sends;
        length = std::min(length, most);
    };
}

TEST(ShortSend, EveryByteOfARequestArrivesOnceAndInOrder) {
    const struct {
        int32_t most; // bytes per send
        size_t valueSize;
    } cases[] = {{1, 300}, {7, 5000}, {1000, 40000}};
    for (const auto& c : cases) {
        SCOPED_TRACE("sends of at most " + std::to_string(c.most) + " bytes");
        const std::string value = test::RandomBytes(c.valueSize, static_cast<unsigned>(c.most));
        const std::string write =
            OneArgument('w', "^X") + std::to_string(value.size()) + Nul + value;
        const std::string read = OneArgument('r', "^X");
        ScriptedPeer peer({AcceptInline(), ScriptedPeer::Expect(write),
                           ScriptedPeer::Send(test::Ok), ScriptedPeer::Expect(read),
                           ScriptedPeer::Send(Chunk("back") + test::Ok)});
        TQdoConnect connect;
        OpenOn(connect, peer);
        int sends = 0;
        LimitSends(*connect.Socket(), c.most, sends);

        connect.Write("^X", value);
        EXPECT_EQ(connect.Read("^X"), "back");
        ASSERT_TRUE(peer.WaitForScript());
        EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
        EXPECT_EQ(peer.Received().size(), write.size() + read.size()) << "bytes sent twice";
        // Each send took no more than it was allowed: the request really went in pieces.
        EXPECT_GE(static_cast<size_t>(sends), (write.size() + c.most - 1) / c.most);
    }
}

TEST(ShortSend, ACallbackAnswerCutShortArrivesWhole) {
    const std::string answer(2500, 'a');
    ScriptedPeer peer({AcceptInline(), ScriptedPeer::Expect(OneArgument('r', "$$f()")),
                       ScriptedPeer::Send("<CALLBACK>1:3" + Nul + "ask"),
                       ScriptedPeer::Expect(OneArgument('c', answer)),
                       ScriptedPeer::Send(Chunk("done") + test::Ok)});
    TQdoConnect connect;
    OpenOn(connect, peer);
    connect.OnCallback = [&](TObject*, const std::string&, std::string& result) {
        result = answer;
    };
    int sends = 0;
    LimitSends(*connect.Socket(), 100, sends);
    EXPECT_EQ(connect.Read("$$f()"), "done");
    ASSERT_TRUE(peer.WaitForScript());
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

TEST(ShortSend, AStreamCutShortArrivesWhole) {
    test::Listener listener;
    TTcpClient client;
    client.SetRemoteHost("127.0.0.1");
    client.SetRemotePort(listener.PortText());
    client.SetActive(true);
    test::Fd peer = listener.Accept();
    int sends = 0;
    LimitSends(client, 300, sends); // blocks of 512 go in two sends each

    const std::string payload = test::RandomBytes(5000, 5);
    TMemoryStream stream;
    stream.WriteBuffer(payload.data(), static_cast<int64_t>(payload.size()));
    stream.SetPosition(0);
    EXPECT_EQ(client.SendStream(&stream), 0);
    EXPECT_EQ(ToHex(test::ReadBytes(peer.get(), payload.size() + 1, 500)), ToHex(payload));
    EXPECT_GE(sends, 5000 / 300);
}

} // namespace
} // namespace qdo
