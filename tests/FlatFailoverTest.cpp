// The flat interface's failover functions against scripted peers: the null handle, refused
// values, the open over the list with its namespace line, and a lost connection followed by a
// call that runs on the next server in the handle's namespace.
#include "capi/qdo.h"
#include "support/Connection.h"
#include "support/CountedText.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <memory>

namespace qdo {
namespace {

using test::AcceptInline;
using test::Chunk;
using test::LastError;
using test::Ok;
using test::OneArgument;
using Peer = test::ScriptedPeer;

std::string At(int32_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

std::string CurrentServer(QDOHandle handle) {
    QDOString out;
    EXPECT_EQ(QDOGetCurrentServer(handle, &out), 1);
    return test::Text(out);
}

const std::string NamespaceLine = OneArgument('x', "zn \"USER\"");

TEST(FlatFailover, TheNullHandleAndBadValuesAreRefused) {
    QDOString out;
    EXPECT_EQ(QDOSetServers(nullptr, "a:1"), 0);
    EXPECT_EQ(QDOSetServerTryTimeOut(nullptr, 100), 0);
    EXPECT_EQ(QDOSetPreferSecondary(nullptr, 1), 0);
    EXPECT_EQ(QDOGetCurrentServer(nullptr, &out), 0);

    QDOHandle handle = QDOCreateConnect("127.0.0.1", 1, "USER");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(QDOGetCurrentServer(handle, nullptr), 0);
    EXPECT_EQ(CurrentServer(handle), "");
    EXPECT_EQ(QDOSetServers(handle, "a:1,b"), 0);
    EXPECT_NE(LastError(handle).find("entry 2 \"b\" has no port"), std::string::npos);
    EXPECT_EQ(QDOGetLastErrorCode(handle), QDO_ERROR_NONE);
    for (int32_t outOfRange : {-1, 6000001})
        EXPECT_EQ(QDOSetServerTryTimeOut(handle, outOfRange), 0);
    EXPECT_EQ(QDOSetServerTryTimeOut(handle, 0), 1);
    EXPECT_EQ(QDOSetServers(handle, nullptr), 1);
    QDODestroyConnect(handle);
}

TEST(FlatFailover, ALostConnectionIsFollowedByACallOnTheNextServerInTheNamespace) {
    test::Listener closed;
    const int32_t refusing = closed.Port();
    closed = test::Listener(); // its port now refuses
    auto first = std::make_unique<Peer>(
        std::vector<Peer::Step>{AcceptInline("a"), Peer::Expect(NamespaceLine), Peer::Send(Ok),
                                Peer::Expect(OneArgument('r', "^X")), Peer::Close()});
    Peer second({AcceptInline("b"), Peer::Expect(NamespaceLine), Peer::Send(Ok),
                 Peer::Expect(OneArgument('r', "^Y")), Peer::Send(Chunk("v") + Ok)});
    QDOHandle handle = QDOCreateConnect("127.0.0.1", refusing, "USER");
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(
        QDOSetServers(
            handle,
            (At(refusing) + "," + At(first->PortNumber()) + "," + At(second.PortNumber())).c_str()),
        1);
    EXPECT_EQ(QDOSetServerTryTimeOut(handle, 300), 1);
    ASSERT_EQ(QDOConnectOpen(handle), 1) << LastError(handle);
    EXPECT_EQ(CurrentServer(handle), At(first->PortNumber()));
    EXPECT_EQ(QDOSetServers(handle, "a:1"), 0); // not while open
    EXPECT_EQ(QDOSetPreferSecondary(handle, 1), 0);

    QDOString expression;
    QDOString out;
    test::SetText(expression, "^X");
    EXPECT_EQ(QDORead(handle, &expression, &out), 0);
    ASSERT_TRUE(first->WaitForScript());
    first.reset();
    test::SetText(expression, "^Y");
    ASSERT_EQ(QDORead(handle, &expression, &out), 1) << LastError(handle);
    EXPECT_EQ(test::Text(out), "v");
    EXPECT_EQ(CurrentServer(handle), At(second.PortNumber()));
    second.WaitForScript();
    EXPECT_TRUE(second.Failures().empty()) << second.Failures()[0];
    QDODestroyConnect(handle);
}

} // namespace
} // namespace qdo
