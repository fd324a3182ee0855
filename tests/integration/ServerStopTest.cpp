// Stopping a server leaves no process behind: not a job whose client leaves just as the stop
// comes, nor one mid-session, nor a spare that waits for a session or was forked just before.
#include "RawSession.h"
#include "ServerProcess.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace qdo {
namespace {

using test::Fd;
using test::LoggedOn;
using test::ReadFrame;
using test::ServerProcess;
using test::Z;

// The processes whose command line names `path` (pgrep -f).
std::string ProcessesNaming(const std::string& path) {
    std::string output;
    ServerProcess::Run({"/usr/bin/pgrep", "-af", path}, output);
    return output;
}

TEST(ServerStop, RepeatedStopsLeaveNoProcessBehind) {
    constexpr int rounds = 12;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ServerProcess server({"--spare-jobs", "2"});
        const std::string data = server.DataDirectory();
        std::vector<Fd> sessions;
        for (int i = 0; i < 9; ++i) {
            sessions.push_back(LoggedOn(server));
            test::SendAll(sessions.back().get(),
                          test::Request('x', "s ^Round(" + std::to_string(i) + ")=1"));
            ASSERT_EQ(ReadFrame(sessions.back().get()), "<OK>" + Z);
        }
        // One client sends requests as fast as its job answers them, so that the stop finds
        // that job in its own code (allocating, building replies) more often than not.
        const int busy = sessions[8].get();
        std::thread reader([busy] {
            char block[65536];
            while (::recv(busy, block, sizeof block, 0) > 0) {
            }
        });
        std::thread writer([busy] {
            std::string batch;
            for (int i = 0; i < 500; ++i)
                batch += test::Request('r', "$job");
            while (::send(busy, batch.data(), batch.size(), MSG_NOSIGNAL) > 0) {
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20 * (round % 5)));
        // Six clients leave as the stop comes (their jobs log the session's end, free its
        // buffers and exit GT.M); one runs a line that loops; one (sessions[7]) stays idle. The
        // sessions just taken have their spares forked about now.
        test::SendAll(sessions[6].get(), test::Request('x', "f  h 0.01"));
        for (int i = 0; i < 6; ++i)
            sessions[i].Reset();
        EXPECT_EQ(server.Stop(), 0) << server.Log();
        reader.join(); // the job has gone: its connection is closed
        writer.join();
        EXPECT_EQ(server.Forced(), 0) << "a process did not end on its stop\n" << server.Log();
        EXPECT_EQ(ProcessesNaming(data), "");
    }
}

} // namespace
} // namespace qdo
