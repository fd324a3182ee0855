// TRawSocket and TUdpSocket: the socket unit's datagram sockets.
#include "sockets/Sockets2.h"

namespace qdo {

namespace {
constexpr uint16_t rawProtocol = 255; // IPPROTO_RAW
constexpr uint16_t udpProtocol = 17;  // IPPROTO_UDP
} // namespace

TRawSocket::TRawSocket(TComponent* owner) : TIpSocket(owner) {
    SetSockType(stRaw);
    SetProtocol(rawProtocol);
}

TRawSocket::~TRawSocket() = default;

TUdpSocket::TUdpSocket(TComponent* owner) : TCustomIpClient(owner) {
    SetSockType(stDgram);
    SetProtocol(udpProtocol);
}

TUdpSocket::~TUdpSocket() = default;

void TUdpSocket::Open() {
    if (Active())
        return;
    // The handle first, so that it can be bound before connecting would bind it to any port.
    TIpSocket::Open();
    if (!Active())
        return;
    if ((!LocalHost().empty() || !LocalPort().empty()) && !Bind())
        return;
    TCustomIpClient::Open();
}

} // namespace qdo
