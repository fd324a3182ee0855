// Sets a connection's OnGroupRead handler aside for the length of one typed call, internal to
// the library.
#pragma once

#include "connect/Qdoconnect.h"

namespace qdo {

// Sets the connection's OnGroupRead handler aside for one call, so that Read and Execute join
// every chunk of the reply into their result, and puts it back however the call ends. Only a
// handler that is set is touched.
class TGroupReadAside {
public:
    explicit TGroupReadAside(TQdoConnect& connection) : connection_(connection) {
        if (connection_.OnGroupRead) {
            saved_ = std::move(connection_.OnGroupRead);
            connection_.OnGroupRead = nullptr;
            active_ = true;
        }
    }
    ~TGroupReadAside() {
        if (active_)
            connection_.OnGroupRead = std::move(saved_);
    }
    TGroupReadAside(const TGroupReadAside&) = delete;
    TGroupReadAside& operator=(const TGroupReadAside&) = delete;

private:
    TQdoConnect& connection_;
    TMConnectGroupRead saved_;
    bool active_ = false;
};

} // namespace qdo
