// The server's log: one line per event that matters, on stderr.
//
//   2026-12-08T18:05:01Z info [listener 1234] listening on 127.0.0.1:7001
#pragma once

#include <string>

namespace qdo::server {

enum class TLogLevel { Error = 0, Warning = 1, Info = 2, Debug = 3 };

// Lines below this level are not written. Reads "error", "warning", "info" or "debug".
void SetLogLevel(TLogLevel level);
bool ParseLogLevel(const std::string& text, TLogLevel& level);
// The role written in every line: "listener" or "job".
void SetLogRole(const std::string& role);

void Log(TLogLevel level, const std::string& message);
inline void LogError(const std::string& message) {
    Log(TLogLevel::Error, message);
}
inline void LogWarning(const std::string& message) {
    Log(TLogLevel::Warning, message);
}
inline void LogInfo(const std::string& message) {
    Log(TLogLevel::Info, message);
}
inline void LogDebug(const std::string& message) {
    Log(TLogLevel::Debug, message);
}

} // namespace qdo::server
