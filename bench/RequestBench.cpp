// The client alone: requests per second against an in-process peer that answers at once, and
// heap allocations per request in steady state (none), beside the floor of the same setting: a
// raw ping-pong of 20-byte messages with an in-process peer on a thread of its own, as the
// client's peer is. Run pinned to one CPU (taskset -c 0) for the ratio that matters; the client
// alone reaches the floor when it adds nothing to the two system calls of a round trip.
#include "AllocationCounter.h"
#include "connect/Qdoconnect.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A server that accepts one connection, accepts the session on it, and answers every request
// of `requestSize` bytes with one chunk and the end marker.
class ImmediatePeer {
public:
    // `echo`: send back each request as it came, with no session first (the ping-pong floor).
    explicit ImmediatePeer(size_t requestSize, bool echo = false)
        : requestSize_(requestSize), echo_(echo) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 1);
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ImmediatePeer() {
        ::shutdown(connection_, SHUT_RDWR);
        thread_.join();
        ::close(connection_);
        ::close(listener_);
    }
    int32_t Port() const { return port_; }

private:
    void Serve() {
        connection_ = ::accept(listener_, nullptr, nullptr);
        int one = 1;
        setsockopt(connection_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        static const char greeting[] = "<OK>:job";
        if (!echo_)
            ::send(connection_, greeting, sizeof greeting, 0);
        static const char answer[] = "<GO ON>:2\0ok<OK>";
        char request[256];
        while (true) {
            size_t got = 0;
            while (got < requestSize_) {
                ssize_t n = ::recv(connection_, request + got, requestSize_ - got, 0);
                if (n <= 0)
                    return;
                got += static_cast<size_t>(n);
            }
            if (echo_)
                ::send(connection_, request, requestSize_, MSG_NOSIGNAL);
            else
                ::send(connection_, answer, sizeof answer, MSG_NOSIGNAL);
        }
    }

    size_t requestSize_;
    bool echo_;
    int listener_ = -1;
    int connection_ = -1;
    int32_t port_ = 0;
    std::thread thread_;
};

void BM_ReadRequest(benchmark::State& state) {
    const std::string expression = "^X";
    ImmediatePeer peer(2 + 1 + 1 + expression.size()); // "r", NUL, "2", NUL, "^X"
    qdo::TQdoConnect connect;
    connect.SetServerAddress("127.0.0.1");
    connect.SetServerPort(peer.Port());
    connect.SetActive(true);
    for (int i = 0; i < 100; ++i) // reach the steady state
        connect.Read(expression);

    const uint64_t before = AllocationsOnThisThread();
    for (auto _ : state) {
        std::string value = connect.Read(expression);
        benchmark::DoNotOptimize(value.data());
    }
    state.counters["allocations_per_request"] =
        benchmark::Counter(static_cast<double>(AllocationsOnThisThread() - before) /
                           static_cast<double>(state.iterations()));
    state.SetItemsProcessed(state.iterations());
    connect.SetActive(false);
}
BENCHMARK(BM_ReadRequest)->UseRealTime();

void BM_RawPingPong(benchmark::State& state) {
    constexpr size_t size = 20;
    ImmediatePeer peer(size, true);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(peer.Port()));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        state.SkipWithError("cannot connect");
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char message[size] = "0123456789012345678";
    for (auto _ : state) {
        ::send(fd, message, size, 0);
        for (size_t got = 0; got < size;) {
            const ssize_t n = ::recv(fd, message + got, size - got, 0);
            if (n <= 0) {
                state.SkipWithError("the peer closed");
                break;
            }
            got += static_cast<size_t>(n);
        }
    }
    state.SetItemsProcessed(state.iterations());
    ::close(fd);
}
BENCHMARK(BM_RawPingPong)->UseRealTime();

} // namespace
