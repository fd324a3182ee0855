// The TCP server on loopback: opening (bind, listen, and when the server socket thread starts),
// accepting into a client on the caller's thread, closing a thread-blocking server, and binding
// the port again after a restart.
#include "sockets/Sockets2.h"
#include "support/Loopback.h"
#include "support/ProcessResources.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

namespace qdo {
namespace {

using test::Connect;
using test::Fd;
using test::ReadBytes;
using test::TestServer;

TEST(TcpServer, StartsItsThreadOnlyWhenBindAndListenSucceed) {
    test::Listener occupant;
    const struct {
        const char* what;
        std::string port;
        TSocketType type;
        int32_t error;
    } failures[] = {
        {"port in use", occupant.PortText(), stStream, 10048},
        {"datagram sockets do not listen", "0", stDgram, 10045},
    };
    for (const auto& c : failures) {
        SCOPED_TRACE(c.what);
        TestServer server(bmThreadBlocking, c.port);
        server.tcp.SetSockType(c.type);
        int listenings = 0;
        server.tcp.OnListening = [&](TObject*) { ++listenings; };
        const int threads = test::ThreadCount();
        server.tcp.SetActive(true);
        EXPECT_EQ(server.Errors(), std::vector<int32_t>{c.error});
        EXPECT_TRUE(server.tcp.Active());
        EXPECT_FALSE(server.tcp.Listening());
        EXPECT_EQ(listenings, 0);
        EXPECT_EQ(test::ThreadCount(), threads);
    }

    TestServer server;
    EXPECT_EQ(server.tcp.BlockMode(), bmThreadBlocking);
    int listenings = 0;
    server.tcp.OnListening = [&](TObject* sender) {
        EXPECT_EQ(sender, &server.tcp);
        ++listenings;
    };
    const int threads = test::ThreadCount();
    server.tcp.SetActive(true);
    EXPECT_TRUE(server.Errors().empty());
    EXPECT_TRUE(server.tcp.Listening());
    EXPECT_EQ(listenings, 1);
    EXPECT_EQ(test::WaitForThreadCount(threads + 1), threads + 1);
    // The socket itself blocks; the server's mode is its own.
    EXPECT_EQ(server.tcp.TIpSocket::BlockMode(), bmBlocking);
}

TEST(TcpServer, AcceptFillsTheClientWithThePeerAndRunsOnAcceptHere) {
    TestServer server(bmBlocking);
    server.tcp.SetActive(true);
    TTcpClient peer;
    peer.SetRemoteHost("127.0.0.1");
    peer.SetRemotePort(std::to_string(server.Port()));
    ASSERT_TRUE(peer.Connect());

    TCustomIpClient accepted;
    int accepts = 0;
    server.tcp.OnAccept = [&](TObject* sender, TCustomIpClient* client) {
        EXPECT_EQ(sender, &server.tcp);
        EXPECT_EQ(client, &accepted);
        EXPECT_EQ(TCustomIpClient::GetThreadObject(), nullptr); // not a pool thread
        ++accepts;
    };
    ASSERT_TRUE(server.tcp.Accept(accepted));
    EXPECT_EQ(accepts, 1);
    EXPECT_TRUE(accepted.Active());
    EXPECT_TRUE(accepted.Connected());
    EXPECT_EQ(accepted.RemoteHost(), "127.0.0.1");
    EXPECT_EQ(accepted.RemotePort(), std::to_string(test::BoundPort(peer.SocketHandle())));
    EXPECT_EQ(accepted.SockType(), stStream);
    EXPECT_EQ(accepted.Domain(), pfInet);

    char ping[] = "ping";
    EXPECT_EQ(accepted.SendBuf(ping, 4), 4);
    ASSERT_TRUE(peer.WaitForData(5000));
    EXPECT_EQ(peer.ReceiveText(), "ping");
    EXPECT_EQ(peer.Sendln("pong"), 6);
    EXPECT_EQ(accepted.Receiveln(), "pong");

    // Accepting into a client that holds a connection ends that connection first.
    Fd second = Connect(server.Port());
    ASSERT_TRUE(server.tcp.Accept(accepted));
    EXPECT_EQ(accepted.RemotePort(), std::to_string(test::BoundPort(second.get())));
    EXPECT_FALSE(peer.WaitForData(5000)); // the first connection was closed
    EXPECT_TRUE(server.Errors().empty());
}

TEST(TcpServer, AcceptWithoutAClientServesATemporaryOneAndClosesIt) {
    TestServer server(bmBlocking);
    server.tcp.SetActive(true);
    server.tcp.OnAccept = [](TObject*, TCustomIpClient* client) { client->Sendln("hi"); };
    Fd peer = Connect(server.Port());
    ASSERT_TRUE(server.tcp.Accept());
    EXPECT_EQ(ReadBytes(peer.get(), 100), "hi\r\n"); // then the end of the connection
}

TEST(TcpServer, FailedAcceptsReportAndReturnFalse) {
    test::Listener occupant;
    TestServer notListening(bmBlocking, occupant.PortText()); // bind fails: active, not listening
    notListening.tcp.SetActive(true);
    TestServer nothingWaiting(bmNonBlocking);
    nothingWaiting.tcp.SetActive(true);
    TestServer inactive(bmBlocking);

    const struct {
        const char* what;
        TestServer& server;
        int32_t error;
    } cases[] = {
        {"not listening", notListening, 10022},
        {"non-blocking, nothing waiting", nothingWaiting, 10035},
        {"inactive", inactive, 10009},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t before = c.server.Errors().size();
        int accepts = 0;
        c.server.tcp.OnAccept = [&](TObject*, TCustomIpClient*) { ++accepts; };
        TCustomIpClient client;
        EXPECT_FALSE(c.server.tcp.Accept(client));
        EXPECT_FALSE(client.Active());
        EXPECT_EQ(accepts, 0);
        ASSERT_EQ(c.server.Errors().size(), before + 1);
        EXPECT_EQ(c.server.Errors().back(), c.error);
    }

    // An OnError handler that raises makes the accept a failure, not an exception.
    nothingWaiting.tcp.OnError = [](TObject*, int32_t) { throw Exception("refused"); };
    EXPECT_FALSE(nothingWaiting.tcp.Accept());
}

TEST(TcpServer, ClosingEndsItsThreadsAndTheConnectionsTheyServe) {
    const int threads = test::ThreadCount();
    const int descriptors = test::DescriptorCount();
    std::string port;
    {
        TestServer server;
        server.tcp.GetServerSocketThread()->SetThreadCacheSize(3);
        server.tcp.OnAccept = [](TObject*, TCustomIpClient* client) {
            client->Sendln("hello");
            char byte;
            client->ReceiveBuf(&byte, 1); // blocks until the peer sends or the server closes
        };
        server.tcp.SetActive(true);
        port = std::to_string(server.Port());
        Fd peer = Connect(server.Port());
        ASSERT_EQ(ReadBytes(peer.get(), 7), "hello\r\n");
        EXPECT_EQ(test::WaitForThreadCount(threads + 2), threads + 2); // server and client thread

        server.tcp.SetActive(false); // returns although a handler was busy
        EXPECT_FALSE(server.tcp.Active());
        EXPECT_FALSE(server.tcp.Listening());
        EXPECT_EQ(test::WaitForThreadCount(threads), threads);
        EXPECT_EQ(ReadBytes(peer.get(), 1), ""); // its connection was shut down
        peer.Reset();                            // the server's end now waits in TIME_WAIT

        // Opened again, on the same port: a new thread, with the pool size set before.
        server.tcp.SetActive(true);
        EXPECT_TRUE(server.tcp.Listening());
        EXPECT_EQ(server.tcp.GetServerSocketThread()->ThreadCacheSize(), 3);
        EXPECT_EQ(test::WaitForThreadCount(threads + 1), threads + 1);
        EXPECT_TRUE(server.Errors().empty());
    }
    EXPECT_EQ(test::WaitForThreadCount(threads), threads); // destroyed while listening
    EXPECT_EQ(test::DescriptorCount(), descriptors);

    // A restarted server binds the port that connections of its last run still hold.
    TestServer restarted(bmThreadBlocking, port);
    restarted.tcp.SetActive(true);
    EXPECT_TRUE(restarted.tcp.Listening());
    EXPECT_TRUE(restarted.Errors().empty());
    // Address reuse never lets two servers listen on one port.
    TestServer second(bmThreadBlocking, port);
    second.tcp.SetActive(true);
    EXPECT_FALSE(second.tcp.Listening());
    EXPECT_EQ(second.Errors(), std::vector<int32_t>{10048});
}

} // namespace
} // namespace qdo
