#include "server/Log.h"

#include "server/LogText.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace qdo::server {

namespace {

std::atomic<int> threshold{static_cast<int>(TLogLevel::Info)};
std::string role = "server";
std::atomic<int> descriptor{2};

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

void SetLogDescriptor(int fd) {
    descriptor = fd;
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
                             std::to_string(getpid()) + "] " + EscapeForLog(message) + "\n";
    [[maybe_unused]] ssize_t n = ::write(descriptor, line.data(), line.size());
}

void LogLines(TLogLevel level, const std::string& heading, const std::string& text) {
    if (static_cast<int>(level) > threshold)
        return;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") != std::string::npos)
            Log(level, heading + line);
        start = end + 1;
    }
}

} // namespace qdo::server
