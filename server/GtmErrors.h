// GT.M's own standard error in a job. GT.M writes some messages straight to descriptor 2 (a
// failed rundown, a journal or disk problem, a fatal error). A job makes descriptor 2 a pipe
// before GT.M starts; a thread of its own reads it and logs each line in the log's format, at
// error for "%GTM-E-" and "%GTM-F-" messages, warning for "%GTM-W-", info for anything else.
// The log itself goes on to the real standard error, saved beforehand.
//
// An error or fatal message on the pipe means GT.M may not have closed the databases cleanly:
// it is noted (NoteEngineUnclean), so that the job's exit status tells the listener. GT.M's
// FORCEDHALT, its message when it ends a job on SIGTERM (the listener's stop), is the one fatal
// message that is not: GT.M closes the databases then, and exits with JobExitStopped.
//
// GT.M may end the process itself (that stop, or a HALT in a client's line) through exit().
// A handler that runs after GT.M's own exit handler then logs what is left in the pipe and,
// should GT.M have written an error meanwhile, ends the process with JobExitUnclean.
#pragma once

#include <mutex>
#include <string>

namespace qdo::server {

class TGtmErrors {
public:
    // Saves the real standard error for the log and makes descriptor 2 the pipe. Must run
    // before GT.M starts. Fails with std::runtime_error.
    TGtmErrors();
    // Logs what is still in the pipe, and puts the real standard error back on descriptor 2.
    ~TGtmErrors();
    // Logs what is in the pipe now, without waiting for the thread.
    void Flush();
    TGtmErrors(const TGtmErrors&) = delete;
    TGtmErrors& operator=(const TGtmErrors&) = delete;

    // Starts the thread that reads the pipe, with all signals blocked so that they reach the
    // job's main thread. What GT.M wrote before waits in the pipe.
    void StartReader();

private:
    void ReadLoop();
    // Reads what is in the pipe and logs its whole lines; false at its end or on an error.
    bool DrainLocked();
    void LineLocked(const std::string& line);

    // Both stay open for the life of the process, never closed: the reader thread (detached)
    // may poll the pipe until the process ends, and log lines go to the real standard error up
    // to its end.
    int readEnd_ = -1;
    int realError_ = -1;
    std::mutex mutex_;
    std::string partial_; // the start of a line not ended yet
    bool closed_ = false; // descriptor 2 is the real standard error again
};

} // namespace qdo::server
