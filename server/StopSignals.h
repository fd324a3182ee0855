// The signals that stop a job, and where its main thread lets them in.
//
// GT.M handles SIGTERM (and SIGINT, SIGQUIT, SIGHUP) itself: its handler ends the job at M's next
// safe point. But the handler logs through syslog, which takes the time-zone and allocator locks:
// run while the job's own C++ code holds one of them (inside malloc or free, or localtime for a
// log line), it waits for that lock for ever, and the job hangs. So the job's main thread keeps
// these signals blocked, and lets them in only where it holds no such lock: inside GT.M (a call-in,
// where M must stay stoppable, and whose code defers the handler's work to a safe point), and
// while it waits for input (ppoll with them unblocked). A stop that comes while they are held
// waits, pending, for the next of those places. Every other thread of a job blocks all signals.
#pragma once

#include <csignal>
#include <initializer_list>
#include <pthread.h>

namespace qdo::server {

// SIGTERM, SIGINT, SIGQUIT and SIGHUP.
inline const sigset_t& StopSignals() {
    static const sigset_t signals = [] {
        sigset_t set;
        sigemptyset(&set);
        for (int signal : {SIGTERM, SIGINT, SIGQUIT, SIGHUP})
            sigaddset(&set, signal);
        return set;
    }();
    return signals;
}

// Blocks the stop signals in the calling thread (a job's main thread) from now on, and notes the
// mask to wait with: the thread's mask before, without them.
void HoldStopSignals();

// For the scope of a GT.M call: lets the stop signals in, and restores the mask after.
class TStopSignalsLetIn {
public:
    TStopSignalsLetIn() { pthread_sigmask(SIG_UNBLOCK, &StopSignals(), &previous_); }
    ~TStopSignalsLetIn() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    TStopSignalsLetIn(const TStopSignalsLetIn&) = delete;
    TStopSignalsLetIn& operator=(const TStopSignalsLetIn&) = delete;

private:
    sigset_t previous_;
};

// For the scope of C++ code that M calls (inside a call-in, where they are let in): holds the
// stop signals, and restores the mask after, when one that came meanwhile is taken by GT.M.
// Header-only: the M-calls library uses it without linking the server's code.
class TStopSignalsHeld {
public:
    TStopSignalsHeld() { pthread_sigmask(SIG_BLOCK, &StopSignals(), &previous_); }
    ~TStopSignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    TStopSignalsHeld(const TStopSignalsHeld&) = delete;
    TStopSignalsHeld& operator=(const TStopSignalsHeld&) = delete;

private:
    sigset_t previous_;
};

// Waits until `fd` has something to read (or its peer has gone) or `waitMs` have passed (-1:
// without limit), letting the stop signals in meanwhile. Interrupted: a signal came, and GT.M's
// handler has run; the caller lets the stop take effect (a call into GT.M) before it waits
// again.
enum class TInputWait { Ready, TimedOut, Interrupted };
TInputWait WaitForInput(int fd, int waitMs);

} // namespace qdo::server
