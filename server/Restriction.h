// Keeps a job's M code from starting processes (ZSYSTEM, PIPE devices, JOB): a seccomp filter
// that denies the system calls that make a process or run a program, installed once GT.M has
// started. Scanning command text would not do: indirection (@x) defeats it.
#pragma once

#include <string>

namespace qdo::server {

// Denies this process and all its threads: fork, vfork, clone without CLONE_THREAD, execve,
// execveat, pipe and pipe2 (EPERM; pipes stay allowed in a build with a sanitizer); clone3 (ENOSYS,
// so that the C library falls back to clone, which still starts threads). Fails with
// std::runtime_error.
void ForbidNewProcesses();

// Whether the $ZSTATUS text of an M error in a restricted job says that the filter refused a
// system call; if so, `status` gets a sentence added that says why.
bool ExplainRestriction(std::string& status);

} // namespace qdo::server
