#include "protocol/Requests.h"

#include <charconv>

namespace qdo::protocol::request {

void AppendDecimal(std::string& out, size_t value) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

void OneArgument(std::string& out, char command, std::string_view argument) {
    out.clear();
    out += command;
    out += '\0';
    AppendDecimal(out, argument.size());
    out += '\0';
    out += argument;
}

void Write(std::string& out, std::string_view name, std::string_view value) {
    OneArgument(out, 'w', name);
    AppendDecimal(out, value.size());
    out += '\0';
    out += value;
}

void CallbackAnswer(std::string& out, std::string_view result) {
    OneArgument(out, 'c', result);
}

void Acknowledgement(std::string& out, std::string_view identifier, std::string_view answer) {
    out.assign("<CALLBACK>");
    out += identifier;
    out += ':';
    AppendDecimal(out, answer.size());
    out += '\0';
    out += answer;
}

void WithList(std::string& out, std::string_view prefix, std::string_view list) {
    out.assign(prefix);
    AppendDecimal(out, list.size());
    out += '\0';
    out += list;
}

void Terminated(std::string& out, std::string_view prefix, std::string_view text) {
    out.assign(prefix);
    out += text;
    out += '\0';
}

} // namespace qdo::protocol::request
