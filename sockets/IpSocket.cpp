// TIpSocket: host and port names, look-ups, binding and datagrams.
//
// Look-ups use the thread-safe resolver calls (getaddrinfo, getnameinfo and the _r forms), IPv4
// only.
#include "sockets/SocketPlatform.h"
#include "sockets/Sockets2.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace qdo {

namespace {

constexpr int32_t socketError = -1;

bool StartsWithDigit(const std::string& text) {
    return !text.empty() && text[0] >= '0' && text[0] <= '9';
}

} // namespace

TIpSocket::TIpSocket(TComponent* owner) : TBaseSocket(owner) {
    SetDomain(pfInet);
    SetProtocol(0);
}

TIpSocket::~TIpSocket() = default;

std::string TIpSocket::LookupHostAddr(const std::string& host) {
    if (host.empty())
        return "0.0.0.0";
    if (StartsWithDigit(host))
        return host;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return {};
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
    freeaddrinfo(found);
    return text;
}

std::string TIpSocket::LookupHostName(const std::string& address) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    if (inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr) != 1 ||
        socketAddress.sin_addr.s_addr == INADDR_NONE)
        return {};
    char name[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&socketAddress), sizeof socketAddress, name,
                    sizeof name, nullptr, 0, NI_NAMEREQD) != 0)
        return {};
    return name;
}

uint16_t TIpSocket::LookupPort(const std::string& port, const char* protocolName) {
    if (port.empty())
        return 0;
    // A number is taken as it stands: no service is named by digits alone, and the services
    // database costs a file read (and the name-service modules' probing) on every connect.
    uint32_t number = 0;
    auto result = std::from_chars(port.data(), port.data() + port.size(), number);
    const bool numeric = result.ec == std::errc() && result.ptr == port.data() + port.size();
    if (numeric && number <= 65535)
        return static_cast<uint16_t>(number);
    servent entry{};
    servent* found = nullptr;
    std::vector<char> scratch(4096);
    if (!numeric &&
        getservbyname_r(port.c_str(), protocolName, &entry, scratch.data(), scratch.size(),
                        &found) == 0 &&
        found != nullptr)
        return ntohs(static_cast<uint16_t>(found->s_port));
    throw EConvertError("'" + port + "' is not a valid port");
}

uint16_t TIpSocket::LookupProtocol(const std::string& name) {
    protoent entry{};
    protoent* found = nullptr;
    std::vector<char> scratch(4096);
    if (getprotobyname_r(name.c_str(), &entry, scratch.data(), scratch.size(), &found) != 0 ||
        found == nullptr)
        return 0;
    return static_cast<uint16_t>(found->p_proto);
}

std::string TIpSocket::LocalHostName() {
    char name[257] = {};
    if (gethostname(name, 256) != 0) {
        platform::SetLastSocketErrorFromErrno();
        ErrorCheck(socketError);
        return {};
    }
    return name;
}

std::string TIpSocket::LocalHostAddr() {
    return LookupHostAddr(LocalHostName());
}

std::string TIpSocket::LocalDomainName() {
    std::string name = LookupHostName(LocalHostAddr());
    size_t dot = name.find('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

sockaddr_in TIpSocket::GetSocketAddr(const std::string& host, const std::string& port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (inet_pton(AF_INET, LookupHostAddr(host).c_str(), &address.sin_addr) != 1)
        address.sin_addr.s_addr = INADDR_NONE;
    address.sin_port = htons(LookupPort(port, nullptr));
    return address;
}

bool TIpSocket::Bind() {
    if (!Active())
        return false;
    sockaddr_in address = GetSocketAddr(LocalHost(), LocalPort());
    int result =
        ::bind(SocketHandle(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (result != 0)
        platform::SetLastSocketErrorFromErrno();
    return ErrorCheck(result != 0 ? socketError : 0) == 0;
}

int32_t TIpSocket::ReceiveFrom(void* buffer, int32_t count, int32_t flags, sockaddr* from,
                               socklen_t* fromLength) {
    auto* bytes = static_cast<char*>(buffer);
    ssize_t received;
    do {
        received = ::recvfrom(SocketHandle(), bytes, static_cast<size_t>(std::max(count, 0)),
                              flags | CallFlags(), from, fromLength);
    } while (received < 0 && errno == EINTR);
    return FinishReceive(bytes, received);
}

int32_t TIpSocket::SendTo(void* buffer, int32_t count, int32_t flags, const sockaddr* to,
                          socklen_t toLength) {
    auto* bytes = static_cast<char*>(buffer);
    int32_t length = count;
    DoSend(bytes, length);
    length = std::clamp(length, 0, count);
    ssize_t sent;
    do {
        sent = ::sendto(SocketHandle(), bytes, static_cast<size_t>(length),
                        flags | CallFlags() | MSG_NOSIGNAL, to, toLength);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0)
        platform::SetLastSocketErrorFromErrno();
    const int32_t result = ErrorCheck(sent < 0 ? socketError : static_cast<int32_t>(sent));
    if (result != socketError)
        SetBytesSent(BytesSent() + static_cast<uint32_t>(result));
    return result;
}

} // namespace qdo
