// The frames a job sends back: chunks of a value, the end marker, errors.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qdo::server {

// The most payload bytes of one chunk. The client's receive buffer holds 32768 bytes, header
// included.
inline constexpr size_t MaxChunk = 32000;

// A frame without payload: `text` and NUL ("<OK>:token", "<NO JOB>").
std::string Frame(std::string_view text);
// "<GO ON>:n" NUL payload; the payload must be at most MaxChunk bytes.
void AppendChunk(std::string& out, std::string_view payload);
// The value as chunks of at most MaxChunk bytes; nothing for the empty value.
void AppendValue(std::string& out, std::string_view value);
// "<OK>" NUL.
void AppendOk(std::string& out);
// "<ERROR>:" ecode ":" text NUL, with any NUL byte of ecode and text dropped.
void AppendError(std::string& out, std::string_view ecode, std::string_view text);

} // namespace qdo::server
