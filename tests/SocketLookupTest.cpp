// Name look-ups of the IP socket, the Windows Sockets numbers of errno values, and the unit
// start-up count. (The texts of the numbers: ErrorMessagesTest.cpp.)
#include "sockets/Sockets2.h"

#include <gtest/gtest.h>

namespace qdo {
namespace {

TEST(SocketLookup, HostAddresses) {
    TIpSocket socket;
    EXPECT_EQ(socket.LookupHostAddr(""), "0.0.0.0");
    EXPECT_EQ(socket.LookupHostAddr("1.2.3.4"), "1.2.3.4");
    EXPECT_EQ(socket.LookupHostAddr("12abc"), "12abc"); // begins with a digit: unchanged
    EXPECT_EQ(socket.LookupHostAddr("localhost"), "127.0.0.1");
    EXPECT_EQ(socket.LookupHostName("127.0.0.1"), "localhost");
    EXPECT_EQ(socket.LookupHostName("255.255.255.255"), "");
    EXPECT_EQ(socket.LookupHostName("not an address"), "");
    EXPECT_FALSE(socket.LocalHostName().empty());
}

TEST(SocketLookup, PortsAndProtocols) {
    TIpSocket socket;
    EXPECT_EQ(socket.LookupPort(""), 0);
    EXPECT_EQ(socket.LookupPort("8080"), 8080);
    EXPECT_EQ(socket.LookupPort("http", "tcp"), 80);
    EXPECT_EQ(socket.LookupPort("65535"), 65535);
    for (const char* bad : {"65536", "-1", "12x", "no-such-service", " 80"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(socket.LookupPort(bad), EConvertError);
    }
    EXPECT_EQ(socket.LookupProtocol("tcp"), 6);
    EXPECT_EQ(socket.LookupProtocol("udp"), 17);
    EXPECT_EQ(socket.LookupProtocol("no-such-protocol"), 0);

    sockaddr_in address = socket.GetSocketAddr("127.0.0.1", "443");
    EXPECT_EQ(address.sin_family, AF_INET);
    EXPECT_EQ(ntohs(address.sin_port), 443);
    EXPECT_EQ(ntohl(address.sin_addr.s_addr), INADDR_LOOPBACK);
}

TEST(SocketLookup, BindNeedsAnActiveSocket) {
    TIpSocket socket;
    socket.SetSockType(stDgram);
    socket.SetLocalHost("127.0.0.1");
    EXPECT_FALSE(socket.Bind());
    socket.SetActive(true);
    EXPECT_TRUE(socket.Bind());
}

TEST(SocketErrors, ErrnoMapsToWindowsSocketsNumbers) {
    EXPECT_EQ(SocketErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(SocketErrorFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(SocketErrorFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(SocketErrorFromErrno(ENOTCONN), 10057);
    EXPECT_EQ(SocketErrorFromErrno(EHOSTUNREACH), 10065);
    EXPECT_EQ(SocketErrorFromErrno(ENETUNREACH), 10051);
    EXPECT_EQ(SocketErrorFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(SocketErrorFromErrno(EADDRNOTAVAIL), 10049);
    EXPECT_EQ(SocketErrorFromErrno(EPIPE), 10058);
    EXPECT_EQ(SocketErrorFromErrno(EAGAIN), 10035);
    EXPECT_EQ(SocketErrorFromErrno(EIO), EIO); // no counterpart: passed on
}

TEST(SocketUnit, StartsOnceAndCountsNestedUse) {
    const int32_t loaded = SocketUnitUsage();
    EXPECT_GE(loaded, 1); // started as the library loaded
    SocketUnitStartup();
    EXPECT_EQ(SocketUnitUsage(), loaded + 1);
    SocketUnitShutdown();
    EXPECT_EQ(SocketUnitUsage(), loaded);
}

} // namespace
} // namespace qdo
