// The socket unit's start-up and shut-down: a count of its users (POSIX sockets need no
// start-up), to which the library itself adds one while it is loaded.
#include "sockets/Sockets2.h"

#include <mutex>

namespace qdo {

namespace {

std::mutex unitMutex;
int32_t unitUsage = 0;

// Starts the unit when the library loads and stops it when it unloads.
struct UnitLifetime {
    UnitLifetime() { SocketUnitStartup(); }
    ~UnitLifetime() { SocketUnitShutdown(); }
} unitLifetime;

} // namespace

void SocketUnitStartup() {
    std::lock_guard lock(unitMutex);
    ++unitUsage;
}

void SocketUnitShutdown() {
    std::lock_guard lock(unitMutex);
    if (unitUsage > 0)
        --unitUsage;
}

int32_t SocketUnitUsage() noexcept {
    std::lock_guard lock(unitMutex);
    return unitUsage;
}

} // namespace qdo
