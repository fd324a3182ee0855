// The socket unit's own view of the platform: error numbers and the calling thread's last error.
// Internal to the library.
#pragma once

#include <cstdint>

namespace qdo::platform {

// Records `error` (a Windows Sockets number) as the calling thread's last socket error.
void SetLastSocketError(int32_t error) noexcept;
// Records errno, mapped, as the last socket error.
void SetLastSocketErrorFromErrno() noexcept;
// The Windows Sockets number of a getaddrinfo/getnameinfo failure.
int32_t SocketErrorFromResolver(int error, int savedErrno) noexcept;

// Windows Sockets numbers the unit reports itself.
inline constexpr int32_t WSAEWOULDBLOCK = 10035;
inline constexpr int32_t WSAEAFNOSUPPORT = 10047;
inline constexpr int32_t WSAHOST_NOT_FOUND = 11001;

} // namespace qdo::platform

namespace qdo {
class TClientSocketThread;
namespace platform {
// The client socket thread of the calling thread (set by the thread itself while it runs).
void SetCurrentClientSocketThread(TClientSocketThread* thread) noexcept;
} // namespace platform
} // namespace qdo
