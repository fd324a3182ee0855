// The exported functions of failover over a list of servers.
#include "capi/Boundary.h"
#include "capi/qdosc.h"
#include "connect/Qdoconnect.h"

namespace {

// Refuses a change of the servers to try while the connection is open: they decide where it
// runs.
void RequireClosed(const qdo::TQdoConnect& connect) {
    if (connect.Active())
        throw qdo::Exception("The server list and the preference for a secondary cannot change "
                             "while the connection is open; close it first.");
}

} // namespace

extern "C" {

QDO_EXPORT int32_t QDOSetServers(QDOHandle handle, const char* list) {
    return qdo::RunOnHandle(handle, [&](qdo::TQdoConnect& connect) {
        RequireClosed(connect);
        try {
            connect.SetServers(list != nullptr ? list : "");
        } catch (const qdo::EMConnectError& e) {
            // A malformed list: the message names the entry; the code of a refused property
            // has no QDO_ERROR_ of its own.
            throw qdo::Exception(e.what());
        }
    });
}

QDO_EXPORT int32_t QDOSetServerTryTimeOut(QDOHandle handle, int32_t milliseconds) {
    return qdo::RunOnHandle(handle, [&](qdo::TQdoConnect& connect) {
        if (milliseconds < 0 || milliseconds > 6000000)
            throw qdo::Exception("A server's try time-out is 0 (the time-out) to 6000000 "
                                 "milliseconds.");
        connect.SetServerTryTimeOut(milliseconds);
    });
}

QDO_EXPORT int32_t QDOSetPreferSecondary(QDOHandle handle, int32_t prefer) {
    return qdo::RunOnHandle(handle, [&](qdo::TQdoConnect& connect) {
        RequireClosed(connect);
        connect.SetPreferSecondary(prefer != 0);
    });
}

QDO_EXPORT int32_t QDOGetCurrentServer(QDOHandle handle, QDOString* out) {
    return qdo::RunOnHandle(handle, [&](qdo::TQdoConnect& connect) {
        qdo::RequireRecords({out});
        qdo::StringToCounted(connect.CurrentServer(), out);
    });
}

} // extern "C"
