#include "server/MSyntax.h"

namespace qdo::server {

namespace {

bool IsLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i]))
            return false;
    return true;
}

// A string literal at `pos`: its value, and `pos` moved past its closing quote.
std::optional<std::string> StringLiteral(std::string_view text, size_t& pos) {
    if (pos >= text.size() || text[pos] != '"')
        return std::nullopt;
    std::string value;
    for (size_t i = pos + 1; i < text.size(); ++i) {
        if (text[i] != '"') {
            value += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '"') {
            value += '"';
            ++i;
            continue;
        }
        pos = i + 1;
        return value;
    }
    return std::nullopt;
}

// A canonical integer at `pos`.
std::optional<std::string> CanonicalInteger(std::string_view text, size_t& pos) {
    size_t i = pos;
    if (i < text.size() && text[i] == '-')
        ++i;
    const size_t first = i;
    while (i < text.size() && IsDigit(text[i]))
        ++i;
    const size_t digits = i - first;
    if (digits == 0 || digits > 15)
        return std::nullopt;
    if (text[first] == '0' && (digits > 1 || first != pos)) // "01" and "-0" are not canonical
        return std::nullopt;
    std::string value(text.substr(pos, i - pos));
    pos = i;
    return value;
}

} // namespace

std::optional<TPlainReference> ParsePlainReference(std::string_view text) {
    TPlainReference reference;
    size_t pos = 0;
    if (pos < text.size() && text[pos] == '^')
        ++pos;
    const size_t nameStart = pos;
    if (pos >= text.size() || !(IsLetter(text[pos]) || text[pos] == '%'))
        return std::nullopt;
    ++pos;
    while (pos < text.size() && (IsLetter(text[pos]) || IsDigit(text[pos])))
        ++pos;
    if (pos - nameStart > 31)
        return std::nullopt;
    reference.Name.assign(text.substr(0, pos));
    if (pos == text.size())
        return reference;
    if (text[pos] != '(')
        return std::nullopt;
    ++pos;
    while (true) {
        std::optional<std::string> subscript = pos < text.size() && text[pos] == '"'
                                                   ? StringLiteral(text, pos)
                                                   : CanonicalInteger(text, pos);
        if (!subscript || reference.Subscripts.size() == TPlainReference::MaxSubscripts)
            return std::nullopt;
        reference.Subscripts.push_back(std::move(*subscript));
        if (pos >= text.size())
            return std::nullopt;
        if (text[pos] == ',') {
            ++pos;
            continue;
        }
        if (text[pos] == ')' && pos + 1 == text.size())
            return reference;
        return std::nullopt;
    }
}

std::optional<std::string> ParseNamespaceSwitch(std::string_view line) {
    auto skipBlanks = [&](size_t& pos) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            ++pos;
    };
    size_t pos = 0;
    skipBlanks(pos);
    const size_t start = pos;
    while (pos < line.size() && IsLetter(line[pos]))
        ++pos;
    const std::string_view command = line.substr(start, pos - start);
    if (!EqualsIgnoringCase(command, "zn") && !EqualsIgnoringCase(command, "znspace"))
        return std::nullopt;
    if (pos >= line.size() || line[pos] != ' ')
        return std::nullopt;
    skipBlanks(pos);
    std::optional<std::string> name = StringLiteral(line, pos);
    if (!name)
        return std::nullopt;
    skipBlanks(pos);
    if (pos != line.size())
        return std::nullopt;
    return name;
}

bool IsNamespaceName(std::string_view name) {
    if (name.empty() || name.size() > 31)
        return false;
    for (char c : name)
        if (!(IsLetter(c) || IsDigit(c) || c == '%' || c == '_' || c == '-'))
            return false;
    return true;
}

} // namespace qdo::server
