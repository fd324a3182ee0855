// The socket unit's start-up and shut-down, counted, and run once as the library loads and
// unloads.
#include "sockets/Sockets2.h"

#include <mutex>

namespace qdo {

namespace {

std::mutex unitMutex;
int32_t unitUsage = 0;

// POSIX sockets need no start-up or clean-up; these stand where a platform that does would
// start and stop its socket library, and return 0 for success as such a call would.
int PlatformStartup() {
    return 0;
}
int PlatformCleanup() {
    return 0;
}

// Starts the unit when the library loads and stops it when it unloads.
struct UnitLifetime {
    UnitLifetime() { SocketUnitStartup(); }
    ~UnitLifetime() {
        try {
            SocketUnitShutdown();
        } catch (...) {
        }
    }
} unitLifetime;

} // namespace

void SocketUnitStartup() {
    std::lock_guard lock(unitMutex);
    if (unitUsage == 0 && PlatformStartup() != 0)
        throw ESocketError("WSAStartup");
    ++unitUsage;
}

void SocketUnitShutdown() {
    std::lock_guard lock(unitMutex);
    if (unitUsage == 0)
        return;
    if (--unitUsage == 0 && PlatformCleanup() != 0)
        throw ESocketError("WSACleanup");
}

int32_t SocketUnitUsage() noexcept {
    std::lock_guard lock(unitMutex);
    return unitUsage;
}

} // namespace qdo
