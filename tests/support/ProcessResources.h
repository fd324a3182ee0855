// Counting the threads and descriptors of the test process, to see them come and go.
#pragma once

#include <chrono>
#include <dirent.h>
#include <thread>

namespace qdo::test {

// The threads the process has now.
inline int ThreadCount() {
    // ThreadSanitizer starts a helper thread of its own with the process's first thread: have
    // it started before anything is counted.
    static const bool helpersStarted = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)helpersStarted;
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

// Waits until the process has `expected` threads (a joined thread can stay listed for a moment)
// or `timeoutMs` has passed; returns the count at the end.
inline int WaitForThreadCount(int expected, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int count = ThreadCount();
    while (count != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        count = ThreadCount();
    }
    return count;
}

// The descriptors the process has open now.
inline int DescriptorCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count - 1; // the directory's own
}

} // namespace qdo::test
