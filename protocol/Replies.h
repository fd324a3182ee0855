// The frames a server sends back: chunks of a value, the end marker, errors; and the reading of
// an error frame on the client's side. Internal: not installed.
#pragma once

#include "protocol/Vocabulary.h"

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace qdo::protocol::reply {

// A frame without payload: the marker, each field after a ":", and NUL ("<NO JOB>",
// "<OK>:token", "<CONNECT>:5001:token").
std::string Frame(std::string_view marker, std::initializer_list<std::string_view> fields = {});
// "<GO ON>:n" NUL payload; the payload must be at most MaxChunk bytes.
void AppendChunk(std::string& out, std::string_view payload);
// The value as chunks of at most MaxChunk bytes; nothing for the empty value.
void AppendValue(std::string& out, std::string_view value);
// "<OK>" NUL.
void AppendOk(std::string& out);
// "<ERROR>:" ecode ":" text NUL, with any NUL byte of ecode and text dropped.
void AppendError(std::string& out, std::string_view ecode, std::string_view text);

// The two fields of an M error's header "<ERROR>:ecode:text": the error's $ECODE (",M6,") and
// the server's text of it. Both are empty when the header is not an error frame; the text is
// everything after the second ":", colons included.
struct TErrorFields {
    std::string_view ECode;
    std::string_view Text;
};
TErrorFields ReadError(std::string_view header) noexcept;

} // namespace qdo::protocol::reply
