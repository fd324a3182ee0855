// The state of a connection's reply reader, as TQdoConnect::WaitState reports it.
#pragma once

#include <cstdint>

namespace qdo {

enum TWaitState : uint8_t {
    wsCommand = 0,  // the next bytes are a header
    wsLength = 1,   // a length-bearing header was read; its payload is awaited
    wsTerminal = 2, // the bytes are a terminal stream, up to a NUL
};

} // namespace qdo
