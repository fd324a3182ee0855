#include "server/Restriction.h"

#include "server/Sanitized.h"

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <seccomp.h>
#include <stdexcept>

namespace qdo::server {

void ForbidNewProcesses() {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (filter == nullptr)
        throw std::runtime_error("cannot make a seccomp filter");
    const auto deny = SCMP_ACT_ERRNO(EPERM);
    // Every thread of the process, GT.M's included, if it has any.
    int result = seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1);
    for (int call : {SCMP_SYS(fork), SCMP_SYS(vfork), SCMP_SYS(execve), SCMP_SYS(execveat)})
        if (result == 0)
            result = seccomp_rule_add(filter, deny, call, 0);
    // GT.M's JOB makes a pipe before it forks and takes a failed fork for a broken assertion that
    // ends the process; a pipe refused is an M error. Nothing of a job makes a pipe once GT.M has
    // started, but a PIPE device, which is refused anyway. A sanitizer's runtime does (to test
    // whether memory can be read): there, JOB ends the job.
    if (!SanitizedBuild)
        for (int call : {SCMP_SYS(pipe), SCMP_SYS(pipe2)})
            if (result == 0)
                result = seccomp_rule_add(filter, deny, call, 0);
    // clone with CLONE_THREAD clear in its first argument, the flags: a new process.
    const scmp_arg_cmp process{0, SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0};
    if (result == 0)
        result = seccomp_rule_add_array(filter, deny, SCMP_SYS(clone), 1, &process);
    if (result == 0)
        result = seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
    if (result == 0)
        result = seccomp_load(filter);
    seccomp_release(filter);
    if (result != 0)
        throw std::runtime_error(std::string("cannot install the seccomp filter: ") +
                                 std::strerror(-result));
}

bool ExplainRestriction(std::string& status) {
    // GT.M reports a refused fork or exec with the text of EPERM (ENO1); file access that is
    // refused reads "Permission denied" (EACCES) instead.
    if (status.find("Operation not permitted") == std::string::npos)
        return false;
    status += ", %QDO-E-RESTRICTED, this server runs with --restrict: client code may not start "
              "processes (ZSYSTEM, PIPE devices, JOB)";
    return true;
}

} // namespace qdo::server
