// Group reads end to end through the C++ API: the rate of a walk of many short nodes (each
// chunk decoded into its references and values, as an application would), and what a group
// read of one node and an Execute of one chunk cost against a plain Read.
//
//   qdo_groupread HOST PORT NODES   prints: walk NODES_PER_SECOND / read, group read of one
//                                   node, execute: MICROSECONDS each
//
// With a fourth argument, a walk of a subtree of MEGABYTES of 1000-byte values instead: the
// byte rate, and the resident memory of the server's job and of this client before and after
// (they stay flat when chunks stream through).
//
//   qdo_groupread HOST PORT 0 MEGABYTES
#include "ProcessMemory.h"
#include "connect/Qdoconnect.h"
#include "encodings/Mlist.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Microseconds a call of `body` takes, over `rounds` calls.
template <typename Body>
double MicrosecondsEach(int rounds, Body&& body) {
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i)
        body();
    return Seconds(Clock::now() - start) * 1e6 / rounds;
}

// Walks ^GB, a subtree of `megabytes` MB in 1000-byte values, and prints the rate and memory.
int StreamBigSubtree(qdo::TQdoConnect& connect, long megabytes) {
    const long nodes = megabytes * 1000;
    connect.Execute("kill ^GB set v=$justify(\"\",1000) for i=1:1:" + std::to_string(nodes) +
                    " set ^GB(i)=v");
    const pid_t job = static_cast<pid_t>(std::stol(connect.Read("$job")));
    ResetPeakResident(job);
    ResetPeakResident(getpid());
    const long jobBefore = ResidentKiB(job), clientBefore = ResidentKiB(getpid());
    long seen = 0;
    qdo::TMList list;
    const auto take = [&](const std::string& chunk) {
        list.SetAllList(chunk);
        seen += list.GetLength() / 2;
    };
    connect.OnGroupRead = [&](qdo::TObject*, const std::string& chunk, bool&) { take(chunk); };
    const auto start = Clock::now();
    take(connect.GroupRead("^GB"));
    const double seconds = Seconds(Clock::now() - start);
    connect.OnGroupRead = nullptr;
    if (seen != nodes) {
        std::fprintf(stderr, "walked %ld nodes of %ld\n", seen, nodes);
        return 1;
    }
    std::printf("stream %ld MB %.0f MB/s\n", megabytes, megabytes / seconds);
    std::printf("job resident %ld KiB before, at most %ld KiB during\n", jobBefore,
                ResidentKiB(job, "VmHWM"));
    std::printf("client resident %ld KiB before, at most %ld KiB during\n", clientBefore,
                ResidentKiB(getpid(), "VmHWM"));
    connect.Execute("kill ^GB");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: qdo_groupread HOST PORT NODES\n");
        return 2;
    }
    const long nodes = std::stol(argv[3]);
    qdo::TQdoConnect connect;
    connect.SetServerAddress(argv[1]);
    connect.SetServerPort(std::stoi(argv[2]));
    connect.SetActive(true);
    connect.Execute("zn \"USER\"");
    if (argc > 4)
        return StreamBigSubtree(connect, std::stol(argv[4]));
    connect.Execute("kill ^GR set ^GR1(1)=\"x\" for i=1:1:" + std::to_string(nodes) +
                    " set ^GR(i)=\"value\"_i");

    long seen = 0;
    qdo::TMList list;
    const auto take = [&](const std::string& chunk) {
        list.SetAllList(chunk);
        const int32_t length = list.GetLength();
        for (int32_t i = 1; i + 1 <= length; i += 2)
            seen += !list.GetList(i).empty() && !list.GetList(i + 1).empty();
    };
    // Every chunk but the last goes to the handler; the last is the call's result.
    connect.OnGroupRead = [&](qdo::TObject*, const std::string& chunk, bool&) { take(chunk); };
    const auto start = Clock::now();
    take(connect.GroupRead("^GR"));
    const double walk = Seconds(Clock::now() - start);
    if (seen != nodes) {
        std::fprintf(stderr, "walked %ld nodes of %ld\n", seen, nodes);
        return 1;
    }
    connect.OnGroupRead = nullptr;
    std::printf("walk %.0f nodes/s\n", nodes / walk);
    std::printf("read %.1f us\n", MicrosecondsEach(2000, [&] { connect.Read("^GR1(1)"); }));
    std::printf("group read of one node %.1f us\n",
                MicrosecondsEach(2000, [&] { connect.GroupRead("^GR1"); }));
    std::printf("execute %.1f us\n",
                MicrosecondsEach(2000, [&] { connect.Execute("write \"hello\""); }));
    std::printf("execute without output %.1f us\n",
                MicrosecondsEach(2000, [&] { connect.Execute("set x=1"); }));
    connect.Execute("kill ^GR,^GR1");
    return 0;
}
