// What opening a session costs: connect to the listener, its redirect to a job, the logon at
// the job's port, a first read, and the close, timed as a whole.
//
//   qdo_sessionopen HOST PORT COUNT   prints: open MILLISECONDS (median), p90 MILLISECONDS
#include "connect/Qdoconnect.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: qdo_sessionopen HOST PORT COUNT\n");
        return 2;
    }
    const int count = std::stoi(argv[3]);
    using Clock = std::chrono::steady_clock;
    std::vector<double> milliseconds;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        qdo::TQdoConnect connect;
        connect.SetServerAddress(argv[1]);
        connect.SetServerPort(std::stoi(argv[2]));
        connect.SetActive(true);
        if (connect.Read("$job").empty())
            return 1;
        connect.SetActive(false);
        milliseconds.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    std::printf("open %.2f ms\np90 %.2f ms\n", milliseconds[milliseconds.size() / 2],
                milliseconds[milliseconds.size() * 9 / 10]);
    return 0;
}
