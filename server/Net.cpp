#include "server/Net.h"

#include "server/TlsLink.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qdo::server {

namespace {

std::string Format(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

sockaddr_in Local(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return address;
}

} // namespace

std::string ResolveHost(const std::string& host) {
    in_addr numeric{};
    if (inet_pton(AF_INET, host.c_str(), &numeric) == 1)
        return host;
    in6_addr numeric6{};
    const std::string bare = host.size() > 2 && host.front() == '[' && host.back() == ']'
                                 ? host.substr(1, host.size() - 2)
                                 : host;
    if (inet_pton(AF_INET6, bare.c_str(), &numeric6) == 1)
        throw std::runtime_error("cannot listen on " + host +
                                 ": the server and its clients speak IPv4 only (for the "
                                 "loopback interface use 127.0.0.1)");
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status != 0 || found == nullptr)
        throw std::runtime_error("cannot listen on " + host + ": no IPv4 address (" +
                                 gai_strerror(status) + ")");
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, text,
              sizeof text);
    freeaddrinfo(found);
    return text;
}

bool IsLoopbackAddress(const std::string& address) {
    in_addr numeric{};
    return inet_pton(AF_INET, address.c_str(), &numeric) == 1 &&
           (ntohl(numeric.s_addr) >> 24) == 127;
}

TUniqueFd ListenOn(const std::string& host, uint16_t port, int backlog) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, ResolveHost(host).c_str(), &address.sin_addr);
    TUniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int fd = socket.Get();
    if (fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0) {
        const std::string why = std::strerror(errno);
        throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) + ": " +
                                 why);
    }
    return socket;
}

std::string LocalAddress(int fd) {
    return Format(Local(fd));
}

std::string PeerAddress(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return "?";
    return Format(address);
}

std::string LocalHost(int fd) {
    sockaddr_in address = Local(fd);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

uint16_t LocalPort(int fd) {
    return ntohs(Local(fd).sin_port);
}

bool SendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

bool SendAll(int fd, TTlsLink* tls, std::string_view bytes, int waitMs) {
    return tls != nullptr ? tls->Write(bytes, waitMs) : SendAll(fd, bytes);
}

ssize_t ReceiveNow(int fd, TTlsLink* tls, char* into, size_t room) {
    return tls != nullptr ? tls->Read(into, room) : ::recv(fd, into, room, MSG_DONTWAIT);
}

std::string RandomToken() {
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("no random bytes from the kernel");
        got += static_cast<size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += digits[b >> 4];
        token += digits[b & 15];
    }
    return token;
}

bool SameToken(std::string_view a, std::string_view b) {
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

} // namespace qdo::server
