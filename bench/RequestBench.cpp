// Requests per second against an in-process peer that answers at once, and heap allocations
// per request in steady state (which should be none beyond the growth of the reply text).
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
    explicit ImmediatePeer(size_t requestSize) : requestSize_(requestSize) {
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
            ::send(connection_, answer, sizeof answer, MSG_NOSIGNAL);
        }
    }

    size_t requestSize_;
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

} // namespace
