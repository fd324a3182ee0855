// The datagram sockets: UDP on loopback (bound, aimed at a peer, or at no one) and raw sockets,
// which need a privilege the test may not have.
#include "sockets/Sockets2.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace qdo {
namespace {

// A UDP socket on 127.0.0.1 that records the errors it reports.
struct Udp {
    Udp(const std::string& localPort, const std::string& remotePort) {
        socket.SetLocalHost(localPort.empty() ? "" : "127.0.0.1");
        socket.SetLocalPort(localPort);
        socket.SetRemoteHost(remotePort.empty() ? "" : "127.0.0.1");
        socket.SetRemotePort(remotePort);
        socket.OnError = [this](TObject*, int32_t code) { errors.push_back(code); };
    }
    uint16_t Port() const { return test::BoundPort(socket.SocketHandle()); }
    TUdpSocket socket;
    std::vector<int32_t> errors;
};

TEST(UdpSocket, SendsAndReceivesDatagramsOnLoopback) {
    Udp receiver("0", ""); // bound, aimed at no one: receives from anyone
    receiver.socket.SetActive(true);
    ASSERT_TRUE(receiver.socket.Connected());
    ASSERT_NE(receiver.Port(), 0);
    EXPECT_EQ(receiver.socket.SockType(), stDgram);
    EXPECT_EQ(receiver.socket.Protocol(), 17);

    Udp sender("", std::to_string(receiver.Port())); // aimed at the receiver
    sender.socket.SetActive(true);
    ASSERT_TRUE(sender.socket.Connected());

    char ping[] = "ping\0with a NUL";
    ASSERT_EQ(sender.socket.SendBuf(ping, sizeof ping), static_cast<int32_t>(sizeof ping));
    ASSERT_TRUE(receiver.socket.WaitForData(5000));
    char buffer[64];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const int32_t got = receiver.socket.ReceiveFrom(
        buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(std::max(got, 0))),
              std::string(ping, sizeof ping));
    EXPECT_EQ(ntohs(from.sin_port), sender.Port());
    EXPECT_EQ(receiver.socket.BytesReceived(), sizeof ping);

    char pong[] = "pong";
    EXPECT_EQ(receiver.socket.SendTo(pong, 4, 0, reinterpret_cast<sockaddr*>(&from), fromLength),
              4);
    ASSERT_TRUE(sender.socket.WaitForData(5000));
    EXPECT_EQ(sender.socket.ReceiveBuf(buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "pong");

    // A socket aimed at a peer takes datagrams from that peer only.
    Udp stranger("", std::to_string(sender.Port()));
    stranger.socket.SetActive(true);
    char noise[] = "noise";
    EXPECT_EQ(stranger.socket.SendBuf(noise, 5), 5);
    EXPECT_FALSE(sender.socket.WaitForData(200));

    EXPECT_TRUE(receiver.errors.empty());
    EXPECT_TRUE(sender.errors.empty());
    sender.socket.SetActive(false);
    EXPECT_TRUE(sender.errors.empty()); // closing a datagram socket is no failure
}

TEST(UdpSocket, AFailedBindLeavesItActiveAndNotConnected) {
    Udp first("0", "");
    first.socket.SetActive(true);
    Udp second(std::to_string(first.Port()), "9");
    second.socket.SetActive(true);
    EXPECT_EQ(second.errors, std::vector<int32_t>{10048});
    EXPECT_TRUE(second.socket.Active());
    EXPECT_FALSE(second.socket.Connected());
}

TEST(RawSocket, OpensOrReportsAccessDenied) {
    TRawSocket raw;
    EXPECT_EQ(raw.SockType(), stRaw);
    EXPECT_EQ(raw.Protocol(), 255);
    EXPECT_EQ(raw.Domain(), pfInet);
    std::vector<int32_t> errors;
    raw.OnError = [&](TObject*, int32_t code) { errors.push_back(code); };
    raw.SetActive(true);
    // Linux grants raw sockets only with CAP_NET_RAW: either outcome is right, nothing else.
    if (raw.Active())
        EXPECT_TRUE(errors.empty());
    else
        EXPECT_EQ(errors, std::vector<int32_t>{10013});
}

} // namespace
} // namespace qdo
