// A job process's place among processes: it lives in a process group of its own, so that the
// processes its M code starts (ZSYSTEM, PIPE devices, JOB) can be ended with it, and it dies with
// the listener that forked it.
#pragma once

#include <sys/types.h>

namespace qdo::server {

// Run by the job right after the fork: makes the job the leader of a new process group, asks for
// SIGTERM when the listener `listener` dies, and returns false when the listener is gone already
// (it died before the request took hold), in which case the job must end at once. Also arranges
// that the job's group is ended when the process exits through exit() (GT.M ends a job so on
// HALT and on SIGTERM).
bool BecomeJobProcess(pid_t listener);

// Signals SIGTERM to every other process of the calling job's group: what its M code started.
// The job itself ignores SIGTERM from then on, so it must be on its way out.
void EndJobProcessGroup();

// Run by the listener: signals the job `job` and its whole group with `signal`; only the job
// when its group is not made yet.
void SignalJob(pid_t job, int signal);

} // namespace qdo::server
