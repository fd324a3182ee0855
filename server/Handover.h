// Handing a session to a job started before it was needed.
//
// The listener keeps a few spare jobs that have started GT.M already, each waiting on its end
// of a local datagram socket pair; a session that becomes real goes to one of them in a single
// message (the client's descriptor, the job port's, and the session's start) instead of to a
// process forked then, which would make the client wait for GT.M to start.
#pragma once

#include "server/JobStart.h"
#include "server/UniqueFd.h"

#include <optional>
#include <string>
#include <string_view>

namespace qdo::server {

// A session as the job receives it.
struct THandover {
    TUniqueFd Client;
    TUniqueFd JobPort; // none: an inline session, which has no port of its own
    TJobStart Start;
};

// Sends the session of `client` (with its port `jobPort`, or -1 inline) starting with `start`
// through `control`; false when the job at the other end is gone. The descriptors stay open
// here too: the caller closes its copies.
bool SendHandover(int control, int client, int jobPort, const TJobStart& start);

// Waits as long as it takes for what comes through `control`: Received, with `handover` filled
// in (its descriptors now this process's); Closed when the listener closed its end or sent
// something that is not a handover; Interrupted by a signal, so that the caller can let a stop
// take effect before it waits again.
enum class THandoverWait { Received, Closed, Interrupted };
THandoverWait ReceiveHandover(int control, THandover& handover);

// A message's bytes, without its descriptors: five fields, each a 32-bit length in host order
// and that many bytes (session, namespace, user, received, token). Exposed for tests.
std::string EncodeHandoverStart(const TJobStart& start);
std::optional<TJobStart> DecodeHandoverStart(std::string_view bytes);

} // namespace qdo::server
