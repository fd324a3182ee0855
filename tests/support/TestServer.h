// A TTcpServer on 127.0.0.1 for tests, and a capture of application exceptions; both safe to
// feed from the server's threads.
#pragma once

#include "classes/Application.h"
#include "sockets/Sockets2.h"
#include "support/Loopback.h"

#include <mutex>
#include <string>
#include <vector>

namespace qdo::test {

// Listens (once activated) on 127.0.0.1 at a port the system chooses, unless given one, and
// records the error codes it reports.
class TestServer {
public:
    explicit TestServer(TServerSocketBlockMode mode = bmThreadBlocking,
                        const std::string& port = "0") {
        tcp.SetBlockMode(mode);
        tcp.SetLocalHost("127.0.0.1");
        tcp.SetLocalPort(port);
        tcp.OnError = [this](TObject*, int32_t code) {
            std::lock_guard lock(mutex_);
            errors_.push_back(code);
        };
    }

    uint16_t Port() const { return BoundPort(tcp.SocketHandle()); }
    std::vector<int32_t> Errors() const {
        std::lock_guard lock(mutex_);
        return errors_;
    }

private:
    // Before the server: its threads may report errors until it is destroyed.
    mutable std::mutex mutex_;
    std::vector<int32_t> errors_;

public:
    TTcpServer tcp;
};

// Routes application exceptions into a list while it lives.
class CapturedExceptions {
public:
    CapturedExceptions() {
        SetApplicationExceptionHandler([this](std::exception_ptr e) {
            std::lock_guard lock(mutex_);
            messages_.push_back(ExceptionMessage(e));
        });
    }
    ~CapturedExceptions() { SetApplicationExceptionHandler(nullptr); }
    std::vector<std::string> Messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> messages_;
};

} // namespace qdo::test
