// Resident memory of a process on this machine, from /proc/PID/status, in KiB (0 when it
// cannot be read): what benchmarks report to show that a transfer keeps memory flat.
#pragma once

#include <fstream>
#include <string>
#include <sys/types.h>
#include <unistd.h>

// Starts a new peak ("VmHWM") for `pid` from its present size: writes "5" to clear_refs.
inline void ResetPeakResident(pid_t pid) {
    std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
}

// `field` is "VmRSS" (resident now) or "VmHWM" (the peak so far).
inline long ResidentKiB(pid_t pid, const std::string& field = "VmRSS") {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    return 0;
}
