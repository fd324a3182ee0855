// Reading a password for `qdo-server passwd`: from the terminal without echo (asked twice),
// or, for scripts, the first line of standard input.
#pragma once

#include <string>

namespace qdo::server {

// Fails with std::runtime_error when no password comes, or the two typed differ.
std::string ReadNewPassword(const std::string& user);

} // namespace qdo::server
