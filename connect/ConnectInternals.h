// What the library's own code and its tests may do to a connection beyond its public surface.
// Internal: not installed.
#pragma once

#include "connect/Qdoconnect.h"
#include "connect/Transport.h"

#include <memory>

namespace qdo {

// Puts `link` in place of the connection's link: the old one closes without a word to the
// server, the connection reads as inactive and forgets buffered bytes, and `link` reports to the
// connection from now on. Tests use it to run a connection over an in-memory link.
void UseTransport(TQdoConnect& connect, std::unique_ptr<TTransport> link);

} // namespace qdo
