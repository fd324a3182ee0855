// The thread that reads a job's output pipe: it is told of bytes and of the quiet it asked for,
// and its owner's end stops and joins it while the pipe's writers still hold it open.
#include "server/PipeReader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qdo::server {
namespace {

using namespace std::chrono_literals;

// What the handler saw, in order; it asks for `lingerMs` of quiet after bytes.
struct TSeen {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<bool> calls; // readable or quiet
    std::string bytes;

    bool WaitFor(size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return calls.size() >= count; });
    }
};

TEST(ServerPipeReader, TellsOfBytesThenOfTheQuietAskedFor) {
    TUniqueFd readEnd, writeEnd;
    ASSERT_TRUE(MakePipe(readEnd, writeEnd, O_CLOEXEC | O_NONBLOCK));
    TSeen seen;
    {
        TPipeReader reader;
        reader.Start(readEnd.Get(), [&](bool readable) {
            std::lock_guard lock(seen.mutex);
            char block[64];
            ssize_t n;
            while ((n = ::read(readEnd.Get(), block, sizeof block)) > 0)
                seen.bytes.append(block, static_cast<size_t>(n));
            seen.calls.push_back(readable);
            seen.changed.notify_all();
            // Once: a quiet of 20 ms after the first bytes, then no limit.
            return seen.calls.size() == 1 ? 20 : -1;
        });
        ASSERT_EQ(::write(writeEnd.Get(), "out", 3), 3);
        ASSERT_TRUE(seen.WaitFor(2));
        std::lock_guard lock(seen.mutex);
        EXPECT_EQ(seen.calls, (std::vector<bool>{true, false}));
        EXPECT_EQ(seen.bytes, "out");
    }
    // The reader is gone although the pipe's writer is still open: the handler is never called
    // again.
    ASSERT_EQ(::write(writeEnd.Get(), "late", 4), 4);
    std::this_thread::sleep_for(50ms);
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.calls.size(), 2u);
}

TEST(ServerPipeReader, EndsWhenTheWritersAreGone) {
    TUniqueFd readEnd, writeEnd;
    ASSERT_TRUE(MakePipe(readEnd, writeEnd, O_CLOEXEC | O_NONBLOCK));
    std::atomic<int> calls = 0;
    TPipeReader reader;
    reader.Start(readEnd.Get(), [&](bool) {
        ++calls;
        return -1;
    });
    writeEnd.Reset();
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (calls == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(calls, 1); // told once of the end, then the thread ends: joined at scope end
}

} // namespace
} // namespace qdo::server
