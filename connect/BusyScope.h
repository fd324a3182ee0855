// Raises a connection's busy count for the life of a scope. Internal to the library.
#pragma once

#include "connect/Qdoconnect.h"

namespace qdo {

// While a scope holds one, the connection's socket blocks and idle notifications are off;
// leaving the scope, normally or by an exception, lowers the count again. (SetBlocked never
// throws: it swallows failures of the block-mode switch.)
class TBusyScope {
public:
    explicit TBusyScope(TQdoConnect& connect) : connect_(connect) { connect_.SetBlocked(true); }
    ~TBusyScope() { connect_.SetBlocked(false); }
    TBusyScope(const TBusyScope&) = delete;
    TBusyScope& operator=(const TBusyScope&) = delete;

private:
    TQdoConnect& connect_;
};

} // namespace qdo
