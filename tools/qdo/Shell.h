// The client's shell: commands read from standard input and run one after another on one
// session, as the command line takes them (see LineSplit.h for how a line becomes words).
#pragma once

#include "tools/qdo/Commands.h"
#include "tools/qdo/Session.h"

namespace qdo::tool {

// On a terminal: a prompt with line editing, history and completion (LineEditor.h); Ctrl-C
// drops the line being typed, and ends a running command (see Interrupt.h): listen ends as
// usual; any other command ends by closing its session, which is opened anew (the server
// cannot stop a running line, which may run on there to its end). Otherwise the lines
// are read as a script. A failed command says why on stderr and the shell goes on; a session
// that was lost is opened again for the next command. Ends at quit, exit or the end of input.
// Returns the exit status: on a terminal 0, for a script that of the last command that failed
// (0 when none did), or exitConnection when no session could be opened.
// `output`: the display flags that every command starts from (qdo --raw).
int RunShell(TServerOptions& server, const TOutput& output);

} // namespace qdo::tool
