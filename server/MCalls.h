// The M calls of the server's routines (`$&qdo.name(...)` in qdosrv.m), in the shared library
// that GT.M loads through the external-call table DIR/qdo.xc. A job links the same library, so
// that the calls reach the job they run in through the hooks it sets; in any other M process
// using the data directory, the calls that need no job (sending events, calling a session's
// client) work on their own.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace qdo::server {

// What a job does for the M calls made inside it. Each returns "" or the code of an error,
// which the M routine raises as $ECODE ",U<code>,".
struct TJobHooks {
    std::string Session; // the job's session identifier
    std::function<std::string(std::string_view name, bool on, bool flag)> Subscribe;
    std::function<std::string(std::string_view command, std::string& answer)> Callback;
};

// Set by a job once, before its first request.
void SetJobHooks(TJobHooks* hooks);

// The path of the loaded M-calls library, for the external-call table.
std::string MCallsLibraryPath();

// Error codes of the M calls.
inline constexpr std::string_view ErrorNotInJob = "QDONOTJOB";
inline constexpr std::string_view ErrorNoRunDirectory = "QDONODATA";
inline constexpr std::string_view ErrorEventTooLong = "QDOEVENTTOOLONG";
inline constexpr std::string_view ErrorNoSession = "QDONOSESSION";
inline constexpr std::string_view ErrorClientTimeOut = "QDOCLIENTTIMEOUT";
inline constexpr std::string_view ErrorClientGone = "QDOCLIENTGONE";
inline constexpr std::string_view ErrorCallbackTooLong = "QDOCALLBACKTOOLONG";
inline constexpr std::string_view ErrorCallbackTimeOut = "QDOCALLBACKTIMEOUT";
inline constexpr std::string_view ErrorProtocol = "QDOPROTOCOL";

} // namespace qdo::server
