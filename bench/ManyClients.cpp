// Many clients at once: CLIENTS threads, each with a connection (and so a server job) of its own,
// each making synchronous sets and gets of distinct short nodes (^M(client,i)="value", then its
// read) for SECONDS. Every connection is opened before the clock starts; the clients then start
// together, and the rate counts what they all did in the window in which all of them ran.
//
//   qdo_manyclients HOST PORT CLIENTS SECONDS
//       prints: clients N / ops OPERATIONS_PER_SECOND (a set and a get are two) / errors N /
//               open SECONDS (how long opening every connection took)
//       exits 1 when any client met an error (a refused session, a failed request, a wrong
//       value read back); the first few are printed on stderr.
//
// The server must allow CLIENTS jobs at once (qdo-server run --max-jobs). Leave the program and
// the server unpinned: the clients use every CPU.
#include "connect/Qdoconnect.h"

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// What the clients share: the start line, the stop flag and the errors.
struct TRun {
    TRun(const char* host, int port, int clients) : Host(host), Port(port), Start(clients + 1) {}

    const char* Host;
    int Port;
    std::barrier<> Start; // every connection is open (or failed to open): the clock starts
    std::atomic<bool> Stop{false};
    std::atomic<long> Errors{0};
    std::mutex ReportLock;
    int Reported = 0;

    // Counts an error; the first five are printed.
    void Fail(int client, const std::string& what) {
        Errors.fetch_add(1);
        const std::lock_guard lock(ReportLock);
        if (Reported++ < 5)
            std::fprintf(stderr, "client %d: %s\n", client, what.c_str());
    }
};

// One client: opens its connection, waits for the start, then sets and reads back its own nodes
// until told to stop. Pairs of operations that ended before the stop go into `done`. A failed
// connection does no more (every later request would fail the same way): it counts one error.
void RunClient(TRun& run, int client, long& done) {
    std::unique_ptr<qdo::TQdoConnect> connect;
    std::string failure;
    try {
        connect = std::make_unique<qdo::TQdoConnect>();
        connect->SetServerAddress(run.Host);
        connect->SetServerPort(run.Port);
        connect->SetActive(true);
        connect->Execute("zn \"USER\"");
    } catch (const std::exception& e) {
        failure = std::string("open: ") + e.what();
    }
    run.Start.arrive_and_wait();
    if (!failure.empty()) {
        run.Fail(client, failure);
        return;
    }
    const std::string prefix = "^M(" + std::to_string(client) + ",";
    std::string name;
    try {
        for (long i = 1; !run.Stop.load(std::memory_order_relaxed); ++i) {
            name.assign(prefix).append(std::to_string(i)).push_back(')');
            connect->Write(name, "value");
            if (connect->Read(name) != "value") {
                run.Fail(client, "read back a wrong value of " + name);
                return;
            }
            if (!run.Stop.load(std::memory_order_relaxed))
                done += 2; // both ended inside the window
        }
    } catch (const std::exception& e) {
        run.Fail(client, std::string("request: ") + e.what());
    }
}

// Clears ^M before and after the run, through a connection of its own.
void KillNodes(const char* host, int port) {
    qdo::TQdoConnect connect;
    connect.SetServerAddress(host);
    connect.SetServerPort(port);
    connect.SetActive(true);
    connect.Execute("zn \"USER\"");
    connect.Kill("^M");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: qdo_manyclients HOST PORT CLIENTS SECONDS\n");
        return 2;
    }
    const int port = std::stoi(argv[2]);
    const int clients = std::stoi(argv[3]);
    const double seconds = std::stod(argv[4]);
    if (clients < 1 || seconds <= 0) {
        std::fprintf(stderr, "qdo_manyclients: CLIENTS and SECONDS must be above 0\n");
        return 2;
    }
    try {
        KillNodes(argv[1], port);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qdo_manyclients: %s\n", e.what());
        return 1;
    }

    TRun run(argv[1], port, clients);
    std::vector<long> done(static_cast<size_t>(clients), 0);
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(clients));
    const auto openStart = Clock::now();
    for (int i = 0; i < clients; ++i)
        threads.emplace_back(RunClient, std::ref(run), i + 1,
                             std::ref(done[static_cast<size_t>(i)]));
    run.Start.arrive_and_wait();
    const auto start = Clock::now();
    const double open = std::chrono::duration<double>(start - openStart).count();
    std::this_thread::sleep_until(start + std::chrono::duration<double>(seconds));
    run.Stop.store(true);
    const double window = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& thread : threads)
        thread.join();

    long operations = 0;
    for (long n : done)
        operations += n;
    try {
        KillNodes(argv[1], port);
    } catch (const std::exception& e) {
        run.Fail(0, std::string("clearing ^M: ") + e.what());
    }
    std::printf("clients %d\nops %.0f\nerrors %ld\nopen %.1f\n", clients, operations / window,
                run.Errors.load(), open);
    return run.Errors.load() == 0 ? 0 : 1;
}
