// The password of the command-line client: never from its command line.
#pragma once

#include <string>

namespace qdo::tool {

// QDO_PASSWORD when it is set, else the line typed on the terminal without echo after
// "Password for USER: ". Fails with std::runtime_error when neither is there.
std::string PasswordFor(const std::string& user);

} // namespace qdo::tool
