// The TCP client on loopback: connecting, refusals, sending and receiving, waiting, block modes
// and read notifications.
#include "classes/Application.h"
#include "classes/NotificationLoop.h"
#include "sockets/Sockets2.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <thread>

namespace qdo {
namespace {

using Clock = std::chrono::steady_clock;
using test::Fd;
using test::Listener;
using test::ReadBytes;
using test::SendAll;

long Milliseconds(Clock::duration d) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// A client aimed at a port on 127.0.0.1 that records the errors it reports.
struct Client {
    explicit Client(uint16_t port) {
        tcp.SetRemoteHost("127.0.0.1");
        tcp.SetRemotePort(std::to_string(port));
        tcp.OnError = [this](TObject*, int32_t code) { errors.push_back(code); };
    }
    TTcpClient tcp;
    std::vector<int32_t> errors;
};

TEST(TcpClient, ConnectsSendsAndReceives) {
    Listener listener;
    Client client(listener.Port());
    int connects = 0;
    client.tcp.OnConnect = [&](TObject* sender) {
        EXPECT_EQ(sender, &client.tcp);
        ++connects;
    };
    client.tcp.SetActive(true);
    ASSERT_TRUE(client.tcp.Connected());
    EXPECT_TRUE(client.tcp.Active());
    EXPECT_EQ(connects, 1);
    Fd peer = listener.Accept();
    ASSERT_GE(peer.get(), 0);

    char hello[] = "hello";
    EXPECT_EQ(client.tcp.SendBuf(hello, 5), 5);
    EXPECT_EQ(ReadBytes(peer.get(), 5), "hello");
    SendAll(peer.get(), "world");
    ASSERT_TRUE(client.tcp.WaitForData(5000));
    char buffer[16];
    EXPECT_EQ(client.tcp.ReceiveBuf(buffer, sizeof buffer), 5);
    EXPECT_EQ(std::string(buffer, 5), "world");
    EXPECT_EQ(client.tcp.BytesSent(), 5u);
    EXPECT_EQ(client.tcp.BytesReceived(), 5u);
    EXPECT_TRUE(client.errors.empty());
}

TEST(TcpClient, NoDelayIsOffUnlessAskedAndHoldsForEveryConnection) {
    Listener listener;
    const auto noDelay = [](const TTcpClient& tcp) {
        int on = -1;
        socklen_t length = sizeof on;
        getsockopt(tcp.SocketHandle(), IPPROTO_TCP, TCP_NODELAY, &on, &length);
        return on;
    };
    Client plain(listener.Port());
    plain.tcp.SetActive(true);
    ASSERT_TRUE(plain.tcp.Connected());
    EXPECT_EQ(noDelay(plain.tcp), 0);

    Client quick(listener.Port());
    quick.tcp.SetNoDelay(true);
    for (int connection = 0; connection < 2; ++connection) {
        quick.tcp.SetActive(true);
        ASSERT_TRUE(quick.tcp.Connected());
        EXPECT_NE(noDelay(quick.tcp), 0) << "connection " << connection;
        quick.tcp.SetActive(false);
    }
}

TEST(TcpClient, DataEventsMayShortenWhatIsSentAndReceived) {
    Listener listener;
    Client client(listener.Port());
    client.tcp.OnSend = [](TObject*, char* buf, int32_t& length) {
        buf[0] = 'H';
        length = 3;
    };
    client.tcp.OnReceive = [](TObject*, char*, int32_t& length) { length = 100; }; // clamped
    client.tcp.SetActive(true);
    Fd peer = listener.Accept();
    char hello[] = "hello";
    EXPECT_EQ(client.tcp.SendBuf(hello, 5), 3);
    EXPECT_EQ(ReadBytes(peer.get(), 3), "Hel");
    EXPECT_EQ(client.tcp.BytesSent(), 3u);
    SendAll(peer.get(), "ab");
    ASSERT_TRUE(client.tcp.WaitForData(5000));
    char buffer[2];
    EXPECT_EQ(client.tcp.ReceiveBuf(buffer, 2), 2);
    EXPECT_EQ(client.tcp.BytesReceived(), 2u);
}

TEST(TcpClient, RefusedConnectionReports10061AndStaysActive) {
    Client client(test::ClosedPort());
    client.tcp.SetActive(true);
    EXPECT_EQ(client.errors, std::vector<int32_t>{10061});
    EXPECT_TRUE(client.tcp.Active());
    EXPECT_FALSE(client.tcp.Connected());
    client.tcp.SetActive(false);
    EXPECT_FALSE(client.tcp.Active());
}

TEST(TcpClient, AConnectTimeOutEndsAConnectThatIsNotAnswered) {
    test::UnansweredPort nobody;
    Client client(nobody.Port());
    EXPECT_EQ(client.tcp.ConnectTimeOut(), 0);
    client.tcp.SetConnectTimeOut(300);
    const auto start = Clock::now();
    client.tcp.SetActive(true);
    const long took = Milliseconds(Clock::now() - start);
    EXPECT_EQ(client.errors, std::vector<int32_t>{10060});
    EXPECT_FALSE(client.tcp.Connected());
    EXPECT_GE(took, 250);
    EXPECT_LT(took, 2000);

    // A bounded connect that is answered is an ordinary connection, in blocking mode.
    Listener listener;
    Client answered(listener.Port());
    answered.tcp.SetConnectTimeOut(300);
    answered.tcp.SetActive(true);
    EXPECT_TRUE(answered.tcp.Connected());
    EXPECT_TRUE(answered.errors.empty());
    char byte = 'x';
    EXPECT_EQ(answered.tcp.SendBuf(&byte, 1), 1);
    EXPECT_EQ(ReadBytes(listener.Accept().get(), 1), "x");
}

TEST(TcpClient, AHostThatIsNoAddressReports11001) {
    Client client(test::ClosedPort());
    client.tcp.SetRemoteHost("12abc"); // begins with a digit: taken as an address, and fails
    client.tcp.SetActive(true);
    EXPECT_EQ(client.errors, std::vector<int32_t>{11001});
    EXPECT_FALSE(client.tcp.Connected());
}

TEST(TcpClient, AnUnknownPortNameFailsToConvert) {
    Client client(1);
    client.tcp.SetRemotePort("no-such-service");
    EXPECT_THROW(client.tcp.SetActive(true), EConvertError);
}

TEST(TcpClient, DomainsLinuxLacksReport10047) {
    TTcpClient tcp;
    std::vector<int32_t> errors;
    tcp.OnError = [&](TObject*, int32_t code) { errors.push_back(code); };
    tcp.SetDomain(pfChaos);
    tcp.SetActive(true);
    EXPECT_FALSE(tcp.Active());
    EXPECT_EQ(errors, std::vector<int32_t>{10047});
    EXPECT_EQ(TBaseSocket::MapDomain(pfInet), AF_INET);
    EXPECT_EQ(TBaseSocket::MapDomain(pfMax), -1);
    EXPECT_EQ(TBaseSocket::MapSockType(stSeqPacket), SOCK_SEQPACKET);
}

TEST(TcpClient, WaitForDataOnAClosedPeerIsFalseAtOnce) {
    Listener listener;
    Client client(listener.Port());
    client.tcp.SetActive(true);
    listener.Accept().Reset(); // the peer closes in order
    auto start = Clock::now();
    EXPECT_FALSE(client.tcp.WaitForData(10000));
    EXPECT_LT(Milliseconds(Clock::now() - start), 5000) << "waited for the time-out";
}

TEST(TcpClient, WaitForDataOnASilentPeerIsFalseAfterTheTimeOut) {
    Listener listener;
    Client client(listener.Port());
    client.tcp.SetActive(true);
    Fd peer = listener.Accept();
    auto start = Clock::now();
    EXPECT_FALSE(client.tcp.WaitForData(300));
    EXPECT_GE(Milliseconds(Clock::now() - start), 290);

    TTcpClient inactive;
    EXPECT_FALSE(inactive.WaitForData(0));
    bool untouched = true;
    EXPECT_FALSE(inactive.Select(&untouched, nullptr, nullptr, 0));
    EXPECT_TRUE(untouched);
}

TEST(TcpClient, SelectTimeOutIsSplitIntoSecondsAndMicroseconds) {
    const struct {
        int32_t ms;
        long seconds;
        long microseconds;
    } cases[] = {{1500, 1, 500000}, {0, 0, 0}, {999, 0, 999000}, {60001, 60, 1000}};
    for (const auto& c : cases) {
        auto tv = TimevalOf(c.ms);
        ASSERT_TRUE(tv.has_value());
        EXPECT_EQ(tv->tv_sec, c.seconds);
        EXPECT_EQ(tv->tv_usec, c.microseconds);
    }
    EXPECT_FALSE(TimevalOf(-1).has_value());
}

TEST(TcpClient, ReceivelnReadsUpToTheSeparator) {
    Listener listener;
    Client client(listener.Port());
    client.tcp.SetActive(true);
    Fd peer = listener.Accept();

    SendAll(peer.get(), "one\r\ntwo");
    ASSERT_TRUE(client.tcp.WaitForData(5000));
    EXPECT_EQ(client.tcp.Receiveln("\r\n"), "one");
    ASSERT_TRUE(client.tcp.WaitForData(5000));
    EXPECT_EQ(client.tcp.ReceiveText(), "two"); // left queued

    // A separator split between two arrivals, and NUL bytes in the line.
    SendAll(peer.get(), std::string("a\0b\r", 4));
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SendAll(peer.get(), "\nnext\r\n");
    });
    EXPECT_EQ(client.tcp.Receiveln("\r\n"), std::string("a\0b", 3));
    later.join();
    EXPECT_EQ(client.tcp.Receiveln("\r\n"), "next");

    EXPECT_EQ(client.tcp.ReceiveText(), ""); // nothing queued
    peer.Reset();
    EXPECT_EQ(client.tcp.Receiveln("\r\n"), ""); // the peer closed
}

TEST(TcpClient, SendlnAndSendStream) {
    Listener listener;
    Client client(listener.Port());
    client.tcp.SetActive(true);
    Fd peer = listener.Accept();
    EXPECT_EQ(client.tcp.Sendln("line"), 6);
    EXPECT_EQ(ReadBytes(peer.get(), 6), "line\r\n");

    TMemoryStream stream;
    std::string payload(5000, 'p');
    payload[4999] = 'z';
    stream.WriteBuffer(payload.data(), 5000);
    stream.SetPosition(0);
    EXPECT_EQ(client.tcp.SendStream(&stream), 0);
    EXPECT_EQ(ReadBytes(peer.get(), 5000), payload);
}

TEST(TcpClient, ChangingTheRemotePortDisconnectsOnlyWhenTheTextDiffers) {
    Listener listener;
    Client client(listener.Port());
    int disconnects = 0;
    client.tcp.OnDisconnect = [&](TObject*) { ++disconnects; };
    client.tcp.SetActive(true);
    client.tcp.SetRemotePort(listener.PortText());
    EXPECT_TRUE(client.tcp.Connected());
    client.tcp.SetRemotePort("0" + listener.PortText()); // the same number, another text
    EXPECT_FALSE(client.tcp.Connected());
    EXPECT_FALSE(client.tcp.Active());
    EXPECT_EQ(disconnects, 1);
    EXPECT_TRUE(client.errors.empty());
}

TEST(TcpClient, SendingToAPeerThatIsGoneReportsAnErrorWithoutSigpipe) {
    Listener listener;
    Client client(listener.Port());
    client.tcp.SetActive(true);
    {
        Fd peer = listener.Accept();
        linger abort{1, 0}; // close with a reset
        setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    char data[1024] = {};
    int32_t result = 0;
    for (int i = 0; i < 10 && result != -1; ++i)
        result = client.tcp.SendBuf(data, sizeof data);
    EXPECT_EQ(result, -1);
    ASSERT_FALSE(client.errors.empty());
    EXPECT_TRUE(client.errors.back() == 10054 || client.errors.back() == 10058)
        << client.errors.back();
}

TEST(TcpClient, NonBlockingModeOnAnInactiveSocketIsOnlyStored) {
    Listener listener;
    Client client(listener.Port());
    int notified = 0;
    client.tcp.OnReadReady = [&](TObject*) { ++notified; };
    client.tcp.SetBlockMode(bmNonBlocking);
    EXPECT_FALSE(client.tcp.Active());
    client.tcp.SetActive(true);
    // Non-blocking, so the connect is under way rather than done.
    EXPECT_EQ(client.errors, std::vector<int32_t>{10035});
    Fd peer = listener.Accept();
    ASSERT_GE(peer.get(), 0);
    // And a receive with nothing queued does not wait.
    char buffer[4];
    EXPECT_EQ(client.tcp.ReceiveBuf(buffer, sizeof buffer), -1);
    EXPECT_EQ(client.errors, (std::vector<int32_t>{10035, 10035}));
    SendAll(peer.get(), "x");
    ProcessMessages(200);
    EXPECT_EQ(notified, 0); // no notification was registered by opening
}

TEST(TcpClient, ReadReadinessReachesOnlyTheOwningThreadWhilePumped) {
    Listener listener;
    Client client(listener.Port());
    client.tcp.SetActive(true);
    Fd peer = listener.Accept();
    std::vector<std::string> received;
    std::vector<std::thread::id> threads;
    client.tcp.OnReadReady = [&](TObject*) {
        threads.push_back(std::this_thread::get_id());
        received.push_back(client.tcp.ReceiveText());
    };
    client.tcp.SetBlockMode(bmNonBlocking);
    char nothing[4];
    EXPECT_EQ(client.tcp.ReceiveBuf(nothing, sizeof nothing), -1); // does not wait
    EXPECT_EQ(client.errors, std::vector<int32_t>{10035});
    client.errors.clear();

    SendAll(peer.get(), "first");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(received.empty()); // nothing is dispatched until the owner pumps

    std::thread other([] { ProcessMessages(100); }); // another thread's loop: not ours
    other.join();
    EXPECT_TRUE(received.empty());

    EXPECT_EQ(ProcessMessages(2000), 1);
    EXPECT_EQ(received, std::vector<std::string>{"first"});
    EXPECT_EQ(threads, std::vector<std::thread::id>{std::this_thread::get_id()});

    SendAll(peer.get(), "second");
    ProcessMessages(2000);
    EXPECT_EQ(received.size(), 2u);

    client.tcp.SetBlockMode(bmBlocking);
    SendAll(peer.get(), "third");
    EXPECT_EQ(ProcessMessages(200), 0);
    EXPECT_EQ(received.size(), 2u);
    EXPECT_TRUE(client.tcp.WaitForData(1000)); // the bytes wait for an ordinary receive
    char buffer[16];
    EXPECT_EQ(client.tcp.ReceiveBuf(buffer, sizeof buffer), 5);

    // Blocking again, a receive waits for its bytes (rather than failing with 10035).
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SendAll(peer.get(), "late");
    });
    EXPECT_EQ(client.tcp.ReceiveBuf(buffer, sizeof buffer), 4);
    later.join();
    EXPECT_TRUE(client.errors.empty());
}

TEST(TcpClient, APeerThatClosesWhileIdleIsNotReportedOverAndOver) {
    Listener listener;
    Client client(listener.Port());
    client.tcp.SetActive(true);
    Fd peer = listener.Accept();
    int notified = 0;
    client.tcp.OnReadReady = [&](TObject*) {
        ++notified;
        client.tcp.ReceiveText();
    };
    client.tcp.SetBlockMode(bmNonBlocking);
    SendAll(peer.get(), "last words");
    peer.Reset();
    for (int i = 0; i < 5; ++i)
        ProcessMessages(100);
    EXPECT_EQ(notified, 1);
}

TEST(TcpClient, HandlerExceptionsEndAtTheApplicationHandler) {
    Listener listener;
    Client client(listener.Port());
    client.tcp.SetActive(true);
    Fd peer = listener.Accept();
    std::vector<std::string> reported;
    SetApplicationExceptionHandler(
        [&](std::exception_ptr e) { reported.push_back(ExceptionMessage(e)); });
    client.tcp.OnReadReady = [](TObject*) { throw Exception("handler failed"); };
    client.tcp.SetBlockMode(bmNonBlocking);
    SendAll(peer.get(), "x");
    EXPECT_EQ(ProcessMessages(2000), 1);
    SetApplicationExceptionHandler(nullptr);
    EXPECT_EQ(reported, std::vector<std::string>{"handler failed"});
}

class Watched : public TTcpClient {
public:
    explicit Watched(bool& destroyed) : destroyed_(destroyed) {}
    ~Watched() override { destroyed_ = true; }

private:
    bool& destroyed_;
};

TEST(TcpClient, DeferFreeDeletesAtTheNextPump) {
    bool destroyed = false;
    auto* client = new Watched(destroyed);
    client->DeferFree();
    EXPECT_FALSE(destroyed);
    ProcessMessages();
    EXPECT_TRUE(destroyed);
}

TEST(TcpClient, PeerClosedNotificationCloses) {
    Listener listener;
    Client client(listener.Port());
    client.tcp.SetActive(true);
    TCMSocketMessage message;
    message.SelectEvent = SocketEventClose;
    client.tcp.CMSocketMessage(message);
    EXPECT_FALSE(client.tcp.Active());
}

int OpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count;
}

TEST(TcpClient, TenThousandClientsLeaveNoDescriptorsBehind) {
    Listener listener;
    NotificationFileDescriptor(); // the thread's loop lives on; make it before counting
    const int before = OpenDescriptors();
    for (int i = 0; i < 10000; ++i) {
        Client client(listener.Port());
        client.tcp.SetActive(true);
        ASSERT_TRUE(client.tcp.Connected()) << i;
        if (i % 2)
            client.tcp.SetBlockMode(bmNonBlocking); // with a notification registered, too
        Fd peer = listener.Accept();
        ASSERT_GE(peer.get(), 0);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

} // namespace
} // namespace qdo
