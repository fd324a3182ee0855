// One redirecting qdo-server for the whole-system tests of a test program, started when the first
// test needs it (each test may run in a process of its own) and stopped when the program ends;
// and connections to it.
#pragma once

#include "ServerProcess.h"
#include "connect/Qdoconnect.h"

#include <memory>
#include <string>

namespace qdo::test {

ServerProcess& Shared();

// An active connection to `on`, switched to `nameSpace`.
std::unique_ptr<TQdoConnect> Open(ServerProcess& on, const std::string& nameSpace = "USER");

// The 256 byte values in order.
std::string AllBytes();

} // namespace qdo::test
