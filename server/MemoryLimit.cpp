#include "server/MemoryLimit.h"

#include "server/Sanitized.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/resource.h>

namespace qdo::server {

namespace {

constexpr size_t mebibyte = 1048576;
// The stacks of the job's own threads (8 MiB each), which start after the limit is set and count
// against it: not the client's to spend.
constexpr size_t threadStacks = 32 * mebibyte;

// The private writable memory of this process now (VmData), in bytes; 0 when unknown.
size_t PrivateMemory() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmData:", 0) == 0)
            return std::strtoull(line.c_str() + 7, nullptr, 10) * 1024; // "VmData:  1234 kB"
    return 0;
}

} // namespace

size_t StringPoolLimit(size_t maxMiB) {
    return maxMiB * mebibyte / 4;
}

void LimitStringPool(size_t maxMiB) {
    setenv("gtm_string_pool_limit", std::to_string(StringPoolLimit(maxMiB)).c_str(), 1);
}

void LimitPrivateMemory(size_t maxMiB) {
    if (SanitizedBuild)
        return;
    const rlim_t bound = PrivateMemory() + threadStacks + maxMiB * mebibyte;
    rlimit limit{};
    if (getrlimit(RLIMIT_DATA, &limit) != 0 ||
        (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < bound))
        return; // a lower limit set from outside stays
    limit.rlim_cur = bound;
    setrlimit(RLIMIT_DATA, &limit);
}

} // namespace qdo::server
