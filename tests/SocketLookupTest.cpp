// Name look-ups of the IP socket and the socket error messages.
#include "connect/Qdoconnect.h"
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

TEST(SocketErrors, MessagesOfTheTable) {
    const struct {
        int32_t code;
        const char* message;
    } cases[] = {
        {10004, "Interrupted function call."},
        {10035, "Resource temporarily unavailable."},
        {10054, "Connection reset by peer."},
        {10057, "Socket is not connected."},
        {10058, "Cannot send after socket shutdown."},
        {10060, "Connection timed out."},
        {10061, "Connection refused. Can't establish connection with database.\r"
                "Check server is running."},
        {10092, "WINSOCK.DLL version out of range."},
        {11001, "Host not found."},
        {11002, "Non-authoritative host not found."},
        {10059, "Unknown error code."},
        {10062, "Unknown error code."},
        {10093, "Unknown error code."},
        {12345, "Unknown error code."},
        {0, "Unknown error code."},
        {-1, "Unknown error code."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(SocketErrorCodeToMessage(c.code), c.message);
    }
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
