// What opening a session costs: connect to the listener, its redirect to a job, the logon at
// the job's port, a first read, and the close, timed as a whole. Sessions opened 50 ms apart
// find the server's spare jobs ready; sessions opened back to back also wait for spares that
// are being replaced (or for a job started on demand when none is left).
//
//   qdo_sessionopen HOST PORT COUNT   prints: open MILLISECONDS (median, 50 ms apart) /
//                                     back to back MILLISECONDS (median) / p90 MILLISECONDS
//   (QDO_BENCH_TLS_CA=FILE: over TLS, trusting FILE)
#include "BenchTls.h"
#include "connect/Qdoconnect.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: qdo_sessionopen HOST PORT COUNT\n");
        return 2;
    }
    const int count = std::stoi(argv[3]);
    using Clock = std::chrono::steady_clock;
    // Median and 90th percentile of `count` opens, each `pause` after the last.
    const auto opens = [&](std::chrono::milliseconds pause) {
        std::vector<double> milliseconds;
        for (int i = 0; i < count; ++i) {
            std::this_thread::sleep_for(pause);
            const auto start = Clock::now();
            qdo::TQdoConnect connect;
            UseBenchTls(connect);
            connect.SetServerAddress(argv[1]);
            connect.SetServerPort(std::stoi(argv[2]));
            connect.SetActive(true);
            if (connect.Read("$job").empty())
                std::exit(1);
            connect.SetActive(false);
            milliseconds.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        std::sort(milliseconds.begin(), milliseconds.end());
        return std::pair{milliseconds[milliseconds.size() / 2],
                         milliseconds[milliseconds.size() * 9 / 10]};
    };
    const auto apart = opens(std::chrono::milliseconds(50));
    const auto backToBack = opens(std::chrono::milliseconds(0));
    std::printf("open %.2f ms\nback to back %.2f ms\np90 %.2f ms\n", apart.first, backToBack.first,
                backToBack.second);
    return 0;
}
