// qdo-server under a flood of connections that never log on, and under a bounded load of many
// clients at once with events flowing between them.
#include "SharedServer.h"
#include "classes/NotificationLoop.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <thread>

namespace qdo {
namespace {

using Clock = std::chrono::steady_clock;
using test::ServerProcess;

// The processes of a server: those of the listener's process group, and its jobs (its
// children, each the leader of a group of its own).
int ServerProcesses(pid_t group) {
    int count = 0;
    DIR* proc = opendir("/proc");
    while (dirent* entry = readdir(proc)) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string text;
        if (!std::getline(stat, text))
            continue;
        // pid (comm) state ppid pgrp ...: the name may hold blanks; read after its ')'.
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string state;
        pid_t parent = 0;
        pid_t pgrp = 0;
        if (fields >> state >> parent >> pgrp && (pgrp == group || parent == group) && state != "Z")
            ++count;
    }
    closedir(proc);
    return count;
}

// The jobs the listener has handed a session, from its log lines "job PID on port N for PEER".
std::vector<pid_t> SessionJobs(const ServerProcess& server) {
    std::vector<pid_t> pids;
    std::istringstream log(server.Log());
    std::string line;
    while (std::getline(log, line)) {
        const size_t at = line.find("] job ");
        if (at != std::string::npos && line.find(" on port ", at) != std::string::npos)
            pids.push_back(static_cast<pid_t>(std::atol(line.c_str() + at + 6)));
    }
    return pids;
}

bool Running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    return std::getline(stat, text) && text.substr(text.rfind(')') + 2, 1) != "Z";
}

TEST(ServerLoad, AFloodOfSilentConnectionsStartsNoJob) {
    ServerProcess server;
    const auto port = static_cast<uint16_t>(server.Port());
    std::atomic<bool> flooding = true;
    std::atomic<int> burst = 0;
    std::thread flood([&] {
        std::vector<test::Fd> held;
        for (int i = 0; i < 200; ++i)
            held.push_back(test::Connect(port)); // open, and not a word
        for (int i = 0; i < 1000; ++i) {
            test::Fd gone = test::Connect(port); // closes at once
            ++burst;
        }
        while (flooding)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    int most = 0;
    int sessions = 0;
    // The job of the session before may still be running down as the next one opens; it is not
    // the flood's doing, so each session waits for it to be gone first. Counting processes
    // cannot tell it from a spare whose start the flood delayed; its pid can.
    const auto previousJobsGone = [&] {
        const auto limit = Clock::now() + std::chrono::seconds(10);
        std::vector<pid_t> jobs = SessionJobs(server);
        while (static_cast<int>(jobs.size()) < sessions && Clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            jobs = SessionJobs(server);
        }
        for (pid_t job : jobs)
            while (Running(job) && Clock::now() < limit)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    while (burst < 1000 || sessions < 5) {
        previousJobsGone();
        const auto start = Clock::now();
        TQdoConnect connect;
        connect.SetServerAddress("127.0.0.1");
        connect.SetServerPort(server.Port());
        connect.SetActive(true);
        EXPECT_EQ(connect.Read("1+1"), "2");
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
        most = std::max(most, ServerProcesses(server.Pid()));
        ++sessions;
    }
    flooding = false;
    flood.join();
    // A job for each well-behaved session, and none for the flood.
    previousJobsGone();
    EXPECT_EQ(static_cast<int>(SessionJobs(server).size()), sessions);
    // The listener, its two spare jobs, and the job of the one well-behaved session at a time.
    EXPECT_LE(most, 4);
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (ServerProcesses(server.Pid()) > 3 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ServerProcesses(server.Pid()), 3);
}

TEST(ServerLoad, FiftyClientsWithEventsLoseNothing) {
    constexpr int clients = 50;
    constexpr int nodes = 1000;
    constexpr int eventsEach = nodes / 100;
    ServerProcess server;
    std::barrier subscribed(clients);
    std::atomic<int> wrongValues = 0;
    std::atomic<int> failures = 0;
    std::vector<int> eventsSeen(clients, 0);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            try {
                auto connect = test::Open(server);
                int& seen = eventsSeen[static_cast<size_t>(c)];
                connect->OnServerEvent = [&](TObject*, const std::string&, const std::string&) {
                    ++seen;
                };
                connect->SubscribeEvent("load", false);
                subscribed.arrive_and_wait();
                const std::string me = std::to_string(c);
                for (int i = 1; i <= nodes; ++i) {
                    connect->Write("^Load(" + me + "," + std::to_string(i) + ")",
                                   "value " + me + "/" + std::to_string(i));
                    if (i % 100 == 0)
                        connect->Execute("do SendMsg(\"load\"," + me + ")");
                    ProcessMessages();
                }
                for (int i = 1; i <= nodes; ++i)
                    if (connect->Read("^Load(" + me + "," + std::to_string(i) + ")") !=
                        "value " + me + "/" + std::to_string(i))
                        ++wrongValues;
                const auto end = Clock::now() + std::chrono::seconds(60);
                while (seen < clients * eventsEach && Clock::now() < end)
                    ProcessMessages(20);
            } catch (const std::exception& e) {
                ++failures;
                ADD_FAILURE() << "client " << c << ": " << e.what();
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(wrongValues, 0);
    for (int c = 0; c < clients; ++c)
        EXPECT_EQ(eventsSeen[static_cast<size_t>(c)], clients * eventsEach) << "client " << c;
    auto check = test::Open(server);
    EXPECT_EQ(check->Read("$order(^Load(\"\"),-1)"), std::to_string(clients - 1));
    check->Kill("^Load");
}

} // namespace
} // namespace qdo
