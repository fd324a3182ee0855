// The words of the wire protocol that the library and the reference server share: the markers of
// reply frames and the size limits that tie the two sides together. Internal: not installed.
//
// A reply frame is a header (bytes other than NUL: optional stray bytes, a marker such as
// "<OK>", optional ":" fields), one NUL byte, and after the length-bearing markers a payload of
// as many bytes as the header's last field says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qdo::protocol {

// The client's receive buffer: no header, and no payload, may be longer.
inline constexpr int32_t ReceiveBufferSize = 32768;

// The most payload bytes a server puts into one chunk.
inline constexpr size_t MaxChunk = 32000;

// The longest header of a chunk: "<GO ON>:" and the digits of MaxChunk.
inline constexpr size_t MaxChunkHeader = 8 + 5;

// A whole chunk, header, NUL and payload, fits the client's receive buffer, so that a chunk
// never has to be read in two parts.
static_assert(MaxChunkHeader + 1 + MaxChunk <= static_cast<size_t>(ReceiveBufferSize));

// Reply markers.
inline constexpr std::string_view MarkerOk = "<OK>";                     // end of a reply
inline constexpr std::string_view MarkerGoOn = "<GO ON>";                // a data chunk
inline constexpr std::string_view MarkerCallback = "<CALLBACK>";         // a callback request
inline constexpr std::string_view MarkerServerEvent = "<ONMSGCALLBACK>"; // a pushed event
inline constexpr std::string_view MarkerTerminal = "<TERMINAL>";         // terminal output
inline constexpr std::string_view MarkerError = "<ERROR>";               // an M error
inline constexpr std::string_view MarkerConnect = "<CONNECT>";           // a redirect
inline constexpr std::string_view MarkerInvalidType = "<INVALID TYPE>";  // refusals
inline constexpr std::string_view MarkerNoJob = "<NO JOB>";
inline constexpr std::string_view MarkerNoSession = "<NO SESSION>";

// The longest header a session reply (redirect, accept, refusal) needs: a marker, a port and a
// token. Longer text before the first NUL is not a session reply.
inline constexpr size_t MaxSessionReplyHeader = 1024;

// What an M error reply holds when a command line ends as a break of flow.
inline constexpr std::string_view BreakFlowCode = "ZBRKF";

} // namespace qdo::protocol
