// The server's log: one line per event that matters, on stderr.
//
//   2026-12-08T18:05:01Z info [listener 1234] listening on 127.0.0.1:7001
//
// Every message is escaped whole (EscapeForLog) as it is written, so that no text in it, a
// client's least of all, can break a line or forge one.
#pragma once

#include <string>

namespace qdo::server {

enum class TLogLevel { Error = 0, Warning = 1, Info = 2, Debug = 3 };

// Lines below this level are not written. Reads "error", "warning", "info" or "debug".
void SetLogLevel(TLogLevel level);
bool ParseLogLevel(const std::string& text, TLogLevel& level);
// The role written in every line: "listener" or "job".
void SetLogRole(const std::string& role);

// Where lines go: descriptor 2 unless a job has made that a pipe of GT.M's (GtmErrors.h) and
// saved the real standard error as `fd`.
void SetLogDescriptor(int fd);

void Log(TLogLevel level, const std::string& message);
// Logs a text of several lines (a GT.M tool's output) as one line each, every one after
// `heading`; empty lines are left out.
void LogLines(TLogLevel level, const std::string& heading, const std::string& text);
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
