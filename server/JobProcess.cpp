#include "server/JobProcess.h"

#include <csignal>
#include <cstdlib>
#include <sys/prctl.h>
#include <unistd.h>

namespace qdo::server {

bool BecomeJobProcess(pid_t listener) {
    // The listener calls setpgid for the child too, so that the group exists whichever of the
    // two runs first.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != listener)
        return false;
    std::atexit(EndJobProcessGroup);
    return true;
}

void EndJobProcessGroup() {
    // The group's signal reaches the sender too: ignored here, it does not cut the job's own
    // ending short.
    std::signal(SIGTERM, SIG_IGN);
    if (getpgrp() == getpid())
        ::kill(0, SIGTERM);
}

void SignalJob(pid_t job, int signal) {
    if (::kill(-job, signal) != 0)
        ::kill(job, signal);
}

} // namespace qdo::server
