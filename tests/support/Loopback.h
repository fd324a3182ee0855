// A plain POSIX listener on 127.0.0.1 for tests that need a peer: it accepts connections and
// lets the test send, read and close on the accepted end directly.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace qdo::test {

// Owns one descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept {
        Reset(other.fd_);
        other.fd_ = -1;
        return *this;
    }
    ~Fd() { Reset(); }
    int get() const { return fd_; }
    void Reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

class Listener {
public:
    Listener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        int one = 1;
        setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd_.get(), 128) != 0)
            throw std::runtime_error("listener: cannot listen");
        socklen_t length = sizeof address;
        getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }

    uint16_t Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }

    // The next connection, or an empty Fd when none comes within the time-out.
    Fd Accept(int timeoutMs = 5000) {
        pollfd watched{fd_.get(), POLLIN, 0};
        if (::poll(&watched, 1, timeoutMs) <= 0)
            return Fd();
        return Fd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    Fd fd_;
    uint16_t port_ = 0;
};

// A port where a connect neither succeeds nor fails: its listener's queue of one is full, so
// the system drops further connection requests, as it would for an unreachable host.
class UnansweredPort {
public:
    UnansweredPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd_.get(), 0) != 0 ||
            getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("unanswered port: cannot listen");
        port_ = ntohs(address.sin_port);
        filler_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(filler_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("unanswered port: cannot fill the queue");
    }
    uint16_t Port() const { return port_; }

private:
    Fd fd_;
    Fd filler_;
    uint16_t port_ = 0;
};

inline void SendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("peer: send failed");
        done += static_cast<size_t>(n);
    }
    // Push it out now, so that split sends arrive as separate pieces.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Reads until `count` bytes came, the peer closed or nothing came for `timeoutMs`.
inline std::string ReadBytes(int fd, size_t count, int timeoutMs = 5000) {
    std::string bytes;
    char block[4096];
    while (bytes.size() < count) {
        pollfd watched{fd, POLLIN, 0};
        if (::poll(&watched, 1, timeoutMs) <= 0)
            break;
        ssize_t n = ::recv(fd, block, std::min(sizeof block, count - bytes.size()), 0);
        if (n <= 0)
            break;
        bytes.append(block, static_cast<size_t>(n));
    }
    return bytes;
}

// Reads up to and including the next NUL, which ends every frame of the server's; less when
// the peer closes or nothing comes for `timeoutMs`.
inline std::string ReadFrame(int fd, int timeoutMs = 5000) {
    std::string frame;
    while (frame.empty() || frame.back() != '\0') {
        std::string byte = ReadBytes(fd, 1, timeoutMs);
        if (byte.empty())
            break;
        frame += byte;
    }
    return frame;
}

// A blocking connection to 127.0.0.1:port; an empty Fd when it cannot be made.
inline Fd Connect(uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fd.Reset();
    return fd;
}

// The local port a socket is bound to (0 when it is not).
inline uint16_t BoundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

// A port on 127.0.0.1 on which nothing listens (taken and released at once).
inline uint16_t ClosedPort() {
    Listener listener;
    return listener.Port();
}

} // namespace qdo::test
