#include "connect/Qdoconnect.h"

#include <vector>

namespace qdo {

namespace {

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

// matches(i, j) says whether text[i..] matches pattern[j..]. With n = len(text) and
// m = len(pattern):
//   matches(n, j)  = pattern[j..] is empty or exactly one any-wildcard
//   matches(i, m)  = false for i < n
//   one-wildcard   : matches(i, j) = matches(i + 1, j + 1)
//   any-wildcard   : matches(i, j) = matches(k, j + 1) for some k in i..n
//   other byte c   : matches(i, j) = text[i] == c and matches(i + 1, j + 1)
// The table is filled from the end of the text backwards, one row of the pattern at a time;
// `reachable[j]` carries the "for some k" of the any-wildcard rule as an OR over the rows done.
bool MatchString(std::string_view text, std::string_view pattern, bool caseSensitive,
                 char oneWildcard, char anyWildcard) {
    const size_t n = text.size();
    const size_t m = pattern.size();
    auto textAt = [&](size_t i) { return caseSensitive ? text[i] : UpperAscii(text[i]); };
    std::vector<char> p(pattern.begin(), pattern.end());
    if (!caseSensitive)
        for (char& c : p)
            c = UpperAscii(c);

    // Row i = n.
    std::vector<char> row(m + 1, 0);
    row[m] = 1;
    if (m >= 1 && p[m - 1] == anyWildcard)
        row[m - 1] = 1;
    std::vector<char> reachable(row);

    std::vector<char> next(m + 1, 0);
    for (size_t i = n; i-- > 0;) {
        next[m] = 0;
        for (size_t j = m; j-- > 0;) {
            const char c = p[j];
            bool match;
            if (c == oneWildcard)
                match = row[j + 1];
            else if (c == anyWildcard)
                match = next[j + 1] || reachable[j + 1];
            else
                match = textAt(i) == c && row[j + 1];
            next[j] = match;
        }
        row.swap(next);
        for (size_t j = 0; j <= m; ++j)
            reachable[j] = reachable[j] || row[j];
    }
    return row[0];
}

} // namespace qdo
