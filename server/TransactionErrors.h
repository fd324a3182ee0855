// The errors that tell a client what became of a transaction its code did not finish.
//
// GT.M keeps no transaction past the M code that started it: when the frame that ran TSTART
// quits with the transaction still open (a command line that ends before its TCOMMIT, a routine
// that quits inside one), it raises TPQUIT, and the job's trap rolls the transaction back. So no
// transaction ever stays open from one request to the next; these name the two ways a request's
// code can end with one open, so that the client hears it was rolled back.
#pragma once

#include "server/MError.h"

namespace qdo::server {

// When `error` is GT.M's TPQUIT, makes it ",UQDOTPOPEN," with a text that says the transaction
// was rolled back (the caller has seen to that) and where its code ended, when that was not the
// end of the request's own line or expression. Returns whether it did.
bool NameTransactionLeftOpen(TMError& error);

// The error of a request whose M code left the server's entry before that entry ended (a
// ZGOTO to the bottom of the stack, or a QUIT in an error trap of the client's own): the
// request has no result, and GT.M has discarded any transaction it left open.
TMError EntryLeftEarly();

} // namespace qdo::server
