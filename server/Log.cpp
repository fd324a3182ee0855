#include "server/Log.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace qdo::server {

namespace {

std::atomic<int> threshold{static_cast<int>(TLogLevel::Info)};
std::string role = "server";

const char* Name(TLogLevel level) {
    switch (level) {
    case TLogLevel::Error:
        return "error";
    case TLogLevel::Warning:
        return "warning";
    case TLogLevel::Info:
        return "info";
    case TLogLevel::Debug:
        return "debug";
    }
    return "info";
}

} // namespace

void SetLogLevel(TLogLevel level) {
    threshold = static_cast<int>(level);
}

bool ParseLogLevel(const std::string& text, TLogLevel& level) {
    for (TLogLevel l : {TLogLevel::Error, TLogLevel::Warning, TLogLevel::Info, TLogLevel::Debug}) {
        if (text == Name(l)) {
            level = l;
            return true;
        }
    }
    return false;
}

void SetLogRole(const std::string& name) {
    role = name;
}

void Log(TLogLevel level, const std::string& message) {
    if (static_cast<int>(level) > threshold)
        return;
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    // One write per line, so that lines of several processes do not interleave.
    const std::string line = std::string(stamp) + " " + Name(level) + " [" + role + " " +
                             std::to_string(getpid()) + "] " + message + "\n";
    [[maybe_unused]] ssize_t n = ::write(2, line.data(), line.size());
}

} // namespace qdo::server
