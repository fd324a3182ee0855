// Wildcard matching.
#include "connect/Qdoconnect.h"
#include "support/MatchStringReference.h"

#include <gtest/gtest.h>

#include <random>

namespace qdo {
namespace {

struct MatchCase {
    const char* text;
    const char* pattern;
    bool caseSensitive;
    bool matches;
};

TEST(MatchString, QuestionMarkAndStar) {
    const MatchCase cases[] = {
        {"abc", "a*c", true, true},
        {"ac", "a*c", true, true},
        {"abc", "a?c", true, true},
        {"ac", "a?c", true, false},
        {"", "*", true, true},
        {"anything", "*", true, true},
        {"ab", "ab*", true, true}, // a trailing star matches the empty rest
        {"abc", "ab**", true, true},
        {"ab", "ab**", true, false}, // two stars left over are not exactly one
        {"", "**", true, false},
        {"a", "**", true, true},
        {"", "", true, true},
        {"a", "", true, false},
        {"", "?", true, false},
        {"", "a", true, false},
        {"abc", "abd", true, false},
        {"abc", "ABC", true, false},
        {"abc", "ABC", false, true},
        {"aBc", "A?C", false, true},
        {"abc", "ab", true, false},
        {"ab", "abc", true, false},
        {"aXbXc", "*X*X*", true, true},
        {"aaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*a*a*b", true, true},
        {"aaaaaaaaaaaaaaaaaaaaa", "*a*a*a*a*a*a*a*a*b", true, false},
        {"mississippi", "m*iss*ppi", true, true},
        {"mississippi", "m*iss*pi?", true, false},
        {"[]{}", "[*}", true, true},
        {"\xe4\xc4", "\xe4?", false, true}, // only a-z change case
        {"\xe4", "\xc4", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " ~ " + c.pattern);
        EXPECT_EQ(MatchString(c.text, c.pattern, c.caseSensitive, '?', '*'), c.matches);
    }
}

TEST(MatchString, EveryLetterMatchesItsOtherCaseOnlyWhenCaseIsIgnored) {
    EXPECT_TRUE(MatchString("zebra", "ZEBRA", false, '?', '*'));
    EXPECT_TRUE(MatchString("ZEBRA", "z*A", false, '?', '*'));
    EXPECT_FALSE(MatchString("zebra", "ZEBRA", true, '?', '*'));
    for (char lower = 'a'; lower <= 'z'; ++lower) {
        const std::string small(1, lower);
        const std::string capital(1, static_cast<char>(lower - 'a' + 'A'));
        SCOPED_TRACE(small);
        EXPECT_TRUE(MatchString(small, capital, false, '?', '*'));
        EXPECT_TRUE(MatchString(capital, small, false, '?', '*'));
        EXPECT_FALSE(MatchString(small, capital, true, '?', '*'));
    }
    // Only letters change case: '@' and '`' sit next to 'A' and 'a'.
    EXPECT_FALSE(MatchString("@", "`", false, '?', '*'));
    EXPECT_FALSE(MatchString("[", "{", false, '?', '*'));
}

TEST(MatchString, WildcardsAreTheCallersChoice) {
    EXPECT_TRUE(MatchString("abxc", "a%_c", true, '_', '%'));
    EXPECT_FALSE(MatchString("ab?c", "ab*c", true, '_', '%'));
    EXPECT_TRUE(MatchString("ab*c", "ab*c", true, '_', '%'));
    // The same byte for both acts as the one-byte wildcard (and as "exactly one any-wildcard"
    // at the end of the text).
    EXPECT_TRUE(MatchString("abc", "a#c", true, '#', '#'));
    EXPECT_FALSE(MatchString("abbc", "a#c", true, '#', '#'));
    EXPECT_TRUE(MatchString("", "#", true, '#', '#'));
    EXPECT_TRUE(MatchString(std::string("a\0b", 3), std::string("a\0*", 3), true, '?', '*'));
}

TEST(MatchString, LongPatternsWithManyStarsStayFast) {
    // The plain recursive scan takes exponential time on this; the table takes n x m steps.
    std::string text(3000, 'a');
    std::string pattern;
    for (int i = 0; i < 300; ++i)
        pattern += "*a";
    EXPECT_FALSE(MatchString(text, pattern + "b", true, '?', '*'));
    EXPECT_TRUE(MatchString(text, pattern + "*", true, '?', '*'));
}

TEST(MatchString, AgreesWithTheStepByStepScan) {
    std::mt19937 random(4242);
    const std::string alphabet = "ab?*Aa";
    const char wildcardPairs[][2] = {{'?', '*'}, {'*', '?'}, {'?', '?'}, {'a', '*'}, {'A', '*'}};
    for (int round = 0; round < 20000; ++round) {
        std::string text, pattern;
        for (size_t i = random() % 7; i > 0; --i)
            text += alphabet[random() % alphabet.size()];
        for (size_t i = random() % 7; i > 0; --i)
            pattern += alphabet[random() % alphabet.size()];
        const auto& pair = wildcardPairs[random() % 5];
        const bool caseSensitive = random() % 2;
        ASSERT_EQ(MatchString(text, pattern, caseSensitive, pair[0], pair[1]),
                  test::ReferenceMatch(text, pattern, caseSensitive, pair[0], pair[1]))
            << '"' << text << "\" ~ \"" << pattern << "\" one=" << pair[0] << " any=" << pair[1]
            << " cs=" << caseSensitive;
    }
}

} // namespace
} // namespace qdo
