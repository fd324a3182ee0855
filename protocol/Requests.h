// The requests a client sends, built into a reused string. Internal: not installed.
//
// Lengths are byte counts in decimal digits; arguments go byte for byte, NUL, CR and LF
// included, with nothing quoted or escaped.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qdo::protocol::request {

void AppendDecimal(std::string& out, size_t value);

// command, NUL, length, NUL, argument: "r", "x", "k" and "t" requests.
void OneArgument(std::string& out, char command, std::string_view argument);
// "w", NUL, name length, NUL, name, value length, NUL, value.
void Write(std::string& out, std::string_view name, std::string_view value);
// "c", NUL, result length, NUL, result: the answer to a callback.
void CallbackAnswer(std::string& out, std::string_view result);
// "<CALLBACK>", identifier, ":", answer length, NUL, answer: the acknowledgement of a message
// that the server pushed.
void Acknowledgement(std::string& out, std::string_view identifier, std::string_view answer);
// prefix, length of `list`, NUL, list: "fl:", "si:" and "MR:cr:<namespace>:" requests.
void WithList(std::string& out, std::string_view prefix, std::string_view list);
// prefix, text, NUL: the logon "lg:<token>", the open-session "MR:op:<session>" and the cancel
// "MR:bfl:<session>" requests.
void Terminated(std::string& out, std::string_view prefix, std::string_view text);

} // namespace qdo::protocol::request
