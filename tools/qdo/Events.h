// Server events from the command line: listen to some until told to stop, or send one.
#pragma once

#include "connect/Qdoconnect.h"
#include "tools/qdo/Commands.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qdo::tool {

struct TListenOptions {
    int64_t Count = 0;  // stop after this many events (0: no limit)
    double Seconds = 0; // stop after this long (0: no limit)
};

// One line of listen's output, its line feed included: "EVENT PARAMS" with both shown safely
// (see Display.h), byte for byte with `output.Raw`, or with `output.Json` a JSON object
// {"event": ..., "params": ...} whose strings carry any bytes (see JsonString).
std::string EventLine(std::string_view name, std::string_view params, const TOutput& output);

// listen EVENT...: subscribes to the events and prints each one that arrives (EventLine), as it
// arrives, until Ctrl-C, `Count` events or `Seconds`; then unsubscribes. Each event waits on the
// server for the acknowledgement of the one before, so a slow reader holds the server's queue
// back rather than letting events pile up here. Fails with std::runtime_error when `Seconds` ran
// out before `Count` events came (they were printed all the same), with EMConnectionLost when
// the server closes the connection meanwhile, and as the library does when a subscription
// fails. Ctrl-C is caught (see Interrupt.h) and taken back when it ended the wait, so that it
// does not count as the interrupt of a request.
void Listen(TQdoConnect& connect, const std::vector<std::string>& events,
            const TListenOptions& options, const TOutput& output);

// send EVENT PARAMS: raises the event on the server with `params` (any bytes, up to the
// server's limit of name and parameters together); returns how many sessions listen to it (the
// server delivers it to each). The parameters travel as a value, never inside M code.
int32_t Send(TQdoConnect& connect, const std::string& event, const std::string& params);

} // namespace qdo::tool
