#include "tools/qdo/LineSplit.h"

#include <stdexcept>

namespace qdo::tool {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

void SkipBlanks(std::string_view line, size_t& at) {
    while (at < line.size() && IsBlank(line[at]))
        ++at;
}

// The M word at `at`: up to a blank outside parentheses and string literals.
std::string MWord(std::string_view line, size_t& at) {
    const size_t start = at;
    int depth = 0;
    bool quoted = false;
    for (; at < line.size(); ++at) {
        const char c = line[at];
        if (c == '"')
            quoted = !quoted; // "" inside a literal closes and reopens it: the same state
        else if (quoted)
            continue;
        else if (c == '(')
            ++depth;
        else if (c == ')')
            --depth;
        else if (IsBlank(c) && depth <= 0)
            break;
    }
    if (quoted)
        throw std::invalid_argument("a string literal is not closed: " +
                                    std::string(line.substr(start, at - start)));
    if (depth > 0)
        throw std::invalid_argument("a parenthesis is not closed: " +
                                    std::string(line.substr(start, at - start)));
    return std::string(line.substr(start, at - start));
}

// The shell word at `at`, its quotes taken away.
std::string ShellWord(std::string_view line, size_t& at) {
    std::string word;
    char quote = 0;
    for (; at < line.size(); ++at) {
        const char c = line[at];
        if (quote != 0) {
            if (c == quote)
                quote = 0;
            else if (c == '\\' && quote == '"' && at + 1 < line.size() &&
                     (line[at + 1] == '"' || line[at + 1] == '\\'))
                word += line[++at];
            else
                word += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '\\' && at + 1 < line.size()) {
            word += line[++at];
        } else if (IsBlank(c)) {
            break;
        } else {
            word += c;
        }
    }
    if (quote != 0)
        throw std::invalid_argument(std::string("a ") + (quote == '"' ? "double" : "single") +
                                    " quote is not closed");
    return word;
}

using TWordReader = std::string (*)(std::string_view, size_t&);

void AddWords(std::string_view line, size_t& at, TWordReader read,
              std::vector<std::string>& words) {
    for (SkipBlanks(line, at); at < line.size(); SkipBlanks(line, at))
        words.push_back(read(line, at));
}

void AddRest(std::string_view line, size_t at, std::vector<std::string>& words) {
    SkipBlanks(line, at);
    if (at < line.size()) {
        words.emplace_back("--");
        words.emplace_back(line.substr(at));
    }
}

} // namespace

std::vector<std::string> SplitShellLine(std::string_view line) {
    size_t end = line.size();
    while (end > 0 && (IsBlank(line[end - 1]) || line[end - 1] == '\n' || line[end - 1] == '\r'))
        --end;
    line = line.substr(0, end);
    size_t at = 0;
    SkipBlanks(line, at);
    std::vector<std::string> words;
    if (at == line.size())
        return words;
    const size_t nameStart = at;
    while (at < line.size() && !IsBlank(line[at]))
        ++at;
    const std::string name(line.substr(nameStart, at - nameStart));
    words.push_back(name);
    if (name == "x" || name == "t") {
        AddRest(line, at, words);
    } else if (name == "set" || name == "send") {
        SkipBlanks(line, at);
        if (at < line.size())
            words.push_back(name == "set" ? MWord(line, at) : ShellWord(line, at));
        AddRest(line, at, words);
    } else if (name == "get" || name == "kill" || name == "walk" || name == "data" ||
               name == "order" || name == "query" || name == "incr" || name == "lock" ||
               name == "unlock" || name == "call" || name == "ls" || name == "tree") {
        AddWords(line, at, MWord, words);
    } else if (name == "export" || name == "import") {
        bool referenceRead = false;
        for (SkipBlanks(line, at); at < line.size(); SkipBlanks(line, at)) {
            const bool reference = !referenceRead && line[at] != '-';
            words.push_back(reference ? MWord(line, at) : ShellWord(line, at));
            referenceRead = referenceRead || reference;
        }
    } else {
        AddWords(line, at, ShellWord, words);
    }
    return words;
}

std::vector<std::string> SplitMWords(std::string_view line) {
    std::vector<std::string> words;
    size_t at = 0;
    AddWords(line, at, MWord, words);
    return words;
}

} // namespace qdo::tool
