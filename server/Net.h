// Small socket helpers of the server.
#pragma once

#include "server/UniqueFd.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace qdo::server {

// The IPv4 address of `host` (a dotted address or a name such as "localhost"), as dotted text.
// Fails with std::runtime_error saying why, also for IPv6 addresses, which the server does
// not serve.
std::string ResolveHost(const std::string& host);
// Whether a dotted address is a loopback address (127.0.0.0/8).
bool IsLoopbackAddress(const std::string& address);
// A listening TCP socket on host:port (port 0: any free one); `host` as ResolveHost takes it.
// Fails with std::runtime_error.
TUniqueFd ListenOn(const std::string& host, uint16_t port, int backlog);
// The address a socket is bound to (local) or connected to (peer), as "1.2.3.4:5".
std::string LocalAddress(int fd);
std::string PeerAddress(int fd);
// The host part and port of a socket's local address.
std::string LocalHost(int fd);
uint16_t LocalPort(int fd);

// Sends all of `bytes`; false when the peer is gone. Never raises SIGPIPE.
bool SendAll(int fd, std::string_view bytes);

class TTlsLink;
// The same to a client that may speak TLS: through `tls` when it has one (each wait for room at
// most `waitMs`), else plain; false with errno set when the bytes could not all go.
bool SendAll(int fd, TTlsLink* tls, std::string_view bytes, int waitMs);
// Up to `room` bytes the client on `fd` has sent, without waiting: through `tls` when it has
// one, else plain; as recv gives them (-1 with errno EAGAIN: none yet).
ssize_t ReceiveNow(int fd, TTlsLink* tls, char* into, size_t room);

// A random identifier of 128 bits from the kernel, as 32 hexadecimal digits.
std::string RandomToken();

// Compares two texts in time that depends on their lengths only.
bool SameToken(std::string_view a, std::string_view b);

} // namespace qdo::server
