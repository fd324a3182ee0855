// Single-connection synchronous set and get of distinct short global nodes through the library.
//
//   qdo_setget HOST PORT COUNT      prints: set OPS_PER_SECOND / get OPS_PER_SECOND
//   (QDO_BENCH_TLS_CA=FILE: over TLS, trusting FILE)
#include "BenchTls.h"
#include "connect/Qdoconnect.h"

#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: qdo_setget HOST PORT COUNT\n");
        return 2;
    }
    const long count = std::stol(argv[3]);
    qdo::TQdoConnect connect;
    UseBenchTls(connect);
    connect.SetServerAddress(argv[1]);
    connect.SetServerPort(std::stoi(argv[2]));
    connect.SetActive(true);
    connect.Execute("zn \"USER\"");
    connect.Kill("^B");
    using Clock = std::chrono::steady_clock;
    std::string name;
    const auto setStart = Clock::now();
    for (long i = 1; i <= count; ++i) {
        name = "^B(" + std::to_string(i) + ")";
        connect.Write(name, "value");
    }
    const auto getStart = Clock::now();
    for (long i = 1; i <= count; ++i) {
        name = "^B(" + std::to_string(i) + ")";
        if (connect.Read(name) != "value")
            return 1;
    }
    const auto end = Clock::now();
    const auto seconds = [](auto d) { return std::chrono::duration<double>(d).count(); };
    std::printf("set %.0f\nget %.0f\n", count / seconds(getStart - setStart),
                count / seconds(end - getStart));
    connect.Kill("^B");
    return 0;
}
