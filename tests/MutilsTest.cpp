// M literal quoting: MText and StrToCharStr.
#include "encodings/Mutils.h"
#include "connect/Qdoconnect.h"
#include "support/MExpressionDecoder.h"

#include <gtest/gtest.h>

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

TEST(Mutils, StrToCharStrWritesEveryByteAsACode) {
    EXPECT_EQ(StrToCharStr("ab"), "$C(97,98)");
    EXPECT_EQ(StrToCharStr("\r\n"), "$C(13,10)");
    EXPECT_EQ(StrToCharStr(""), "\"\"");
    EXPECT_EQ(StrToCharStr(std::string("\0\xff", 2)), "$C(0,255)");
}

} // namespace
} // namespace qdo
