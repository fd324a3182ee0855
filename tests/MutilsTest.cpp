// M literal quoting: MText and StrToCharStr.
#include "encodings/Mutils.h"
#include "connect/Qdoconnect.h"
#include "support/MExpressionDecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace qdo {
namespace {

TEST(Mutils, MTextWritesLiteralsAndCharacterCalls) {
    const struct {
        std::string text;
        std::string expression;
    } cases[] = {
        {"", R"("")"},
        {"abc", R"("abc")"},
        {R"(say "hi")", R"("say ""hi""")"},
        {"\"", R"("""")"},
        {"a\r\nb", R"("a"_$C(13,10)_"b")"},
        {"\r", "$C(13)"},
        {"\tx", R"($C(9)_"x")"},
        {std::string("x\0", 2), R"("x"_$C(0))"},
        {"\r\"", R"($C(13)_"""")"},
        {"a\"\r", R"("a"""_$C(13))"},
        {"\x1f\x7f", "$C(31)_\"\x7f\""},
        {"\xff\x80 ", "\"\xff\x80 \""},
        {std::string("\0\x01\x1f", 3), "$C(0,1,31)"},
        {"\"\"", R"("""""")"},
        {"a\rb\"c\n", R"("a"_$C(13)_"b""c"_$C(10))"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expression);
        EXPECT_EQ(MText(c.text), c.expression);
        EXPECT_EQ(test::EvaluateMExpression(c.expression), c.text);
    }
}

TEST(Mutils, MTextOfRandomBytesEvaluatesBackToThem) {
    std::mt19937 random(12345);
    // Mostly control bytes, quotes and letters, so that every transition occurs.
    const std::string alphabet = std::string("\0\r\n\x1f\"a \x7f\xff", 9);
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        size_t length = random() % 12;
        for (size_t i = 0; i < length; ++i)
            text += alphabet[random() % alphabet.size()];
        std::string expression = MText(text);
        ASSERT_EQ(test::EvaluateMExpression(expression), text) << expression;
    }
}

// The largest number of codes in one $C call of `expression`.
size_t MostCodesInOneCall(const std::string& expression) {
    size_t most = 0;
    for (size_t at = expression.find("$C("); at != std::string::npos;
         at = expression.find("$C(", at + 1)) {
        const size_t end = expression.find(')', at);
        most = std::max<size_t>(most, std::count(expression.begin() + static_cast<long>(at),
                                                 expression.begin() + static_cast<long>(end), ',') +
                                          1);
    }
    return most;
}

TEST(Mutils, LongRunsOfControlBytesTakeSeveralCharCalls) {
    for (size_t run : {size_t{1}, size_t{254}, size_t{255}, size_t{256}, size_t{510}, size_t{511},
                       size_t{1000}}) {
        SCOPED_TRACE(run);
        std::string controls;
        for (size_t i = 0; i < run; ++i)
            controls += static_cast<char>(i % 32);
        for (const std::string& text : {controls, "a" + controls + "b"}) {
            const std::string expression = MText(text);
            EXPECT_LE(MostCodesInOneCall(expression), MaxCharCodes);
            EXPECT_EQ(test::EvaluateMExpression(expression), text);
        }
    }
    std::string expected = "$C(1";
    for (size_t i = 1; i < MaxCharCodes; ++i)
        expected += ",1";
    EXPECT_EQ(MText(std::string(256, '\x01')), expected + ")_$C(1)");
}

TEST(Mutils, StrToCharStrWritesEveryByteAsACode) {
    EXPECT_EQ(StrToCharStr("ab"), "$C(97,98)");
    EXPECT_EQ(StrToCharStr("\r\n"), "$C(13,10)");
    EXPECT_EQ(StrToCharStr(""), "\"\"");
    EXPECT_EQ(StrToCharStr(std::string("\0\xff", 2)), "$C(0,255)");
    const std::string long_(600, 'z');
    const std::string expression = StrToCharStr(long_);
    EXPECT_LE(MostCodesInOneCall(expression), MaxCharCodes);
    EXPECT_EQ(test::EvaluateMExpression(expression), long_);
}

} // namespace
} // namespace qdo
