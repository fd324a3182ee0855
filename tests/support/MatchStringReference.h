// The wildcard match written step by step as a recursive scan, as slow as it is plain: the
// reference that the library's table-driven MatchString is checked against. Exponential on
// patterns with many any-wildcards; use it on short inputs only.
#pragma once

#include <string>
#include <string_view>

namespace qdo::test {

inline bool ReferenceMatchUpper(std::string s, std::string p, char one, char any) {
    while (!s.empty() && !p.empty()) {
        const char c = p.front();
        if (c == one) {
            s.erase(0, 1);
            p.erase(0, 1);
        } else if (c == any) {
            p.erase(0, 1);
            while (!ReferenceMatchUpper(s, p, one, any) && !s.empty())
                s.erase(0, 1);
        } else if (s.front() == c) {
            s.erase(0, 1);
            p.erase(0, 1);
        } else {
            s.clear();
        }
    }
    if (s.empty() && p.empty())
        return true;
    return p.size() == 1 && p[0] == any;
}

inline bool ReferenceMatch(std::string_view text, std::string_view pattern, bool caseSensitive,
                           char one, char any) {
    std::string s(text), p(pattern);
    if (!caseSensitive) {
        for (char& c : s)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 32);
        for (char& c : p)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 32);
    }
    return ReferenceMatchUpper(s, p, one, any);
}

} // namespace qdo::test
