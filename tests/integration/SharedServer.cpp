#include "SharedServer.h"

#include <gtest/gtest.h>

namespace qdo::test {

namespace {

std::unique_ptr<ServerProcess> shared;

class SharedServerEnvironment : public ::testing::Environment {
public:
    void TearDown() override { shared.reset(); }
};
const auto* environment = ::testing::AddGlobalTestEnvironment(new SharedServerEnvironment);

} // namespace

ServerProcess& Shared() {
    if (!shared)
        shared = std::make_unique<ServerProcess>();
    return *shared;
}

std::unique_ptr<TQdoConnect> Open(ServerProcess& on, const std::string& nameSpace) {
    auto connect = std::make_unique<TQdoConnect>();
    connect->SetServerAddress("127.0.0.1");
    connect->SetServerPort(on.Port());
    connect->SetActive(true);
    connect->Execute("zn \"" + nameSpace + "\"");
    return connect;
}

std::string AllBytes() {
    std::string bytes;
    for (int b = 0; b < 256; ++b)
        bytes += static_cast<char>(b);
    return bytes;
}

} // namespace qdo::test
