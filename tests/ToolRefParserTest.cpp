// How qdo's shell reads typed references and values into parts: strings with "" doubling and
// $C codes, canonical numbers only, and a clear refusal of anything else; and the typed form it
// prints reads back as the same parts.
#include "tools/qdo/RefParser.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace qdo::tool {
namespace {

// "s:" and the bytes of a string, "n:" and the text of a number.
std::string Parts(const TMRef& ref) {
    std::string parts = ref.Name();
    for (const TMSubscript& s : ref.Subscripts())
        parts += std::string("|") + (s.IsNumber() ? "n:" : "s:") + s.Value();
    return parts;
}

TEST(ToolRefParser, ReferencesAreReadIntoTheirParts) {
    const struct {
        std::string typed;
        std::string parts;
    } cases[] = {
        {"^X", "^X"},
        {"x1", "x1"},
        {"%Z", "%Z"},
        {"^X(1)", "^X|n:1"},
        {"^X(-.5,0,123456789012345678)", "^X|n:-.5|n:0|n:123456789012345678"},
        {"^X(\"a\",1)", "^X|s:a|n:1"},
        {"^X(\"\")", "^X|s:"},
        {"^X(\"say \"\"hi\"\"\")", "^X|s:say \"hi\""},
        {"^X(\"01\",\"1E3\")", "^X|s:01|s:1E3"},
        {"^X(\"a\"_$C(0)_\"b\")", std::string("^X|s:a\0b", 8)},
        {"^X($c(13,10),$CHAR(255)_\"\")", "^X|s:\r\n|s:\xff"},
        {"^X(\"(\",\")\",\",\")", "^X|s:(|s:)|s:,"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        EXPECT_EQ(Parts(ParseMRef(c.typed)), c.parts);
    }
}

TEST(ToolRefParser, AnythingElseIsRefusedSayingWhatIsWrong) {
    const struct {
        std::string typed;
        std::string says;
    } cases[] = {
        {"^X(01)", "\"01\" is not a canonical number"},
        {"^X(1.0)", "not a canonical number"},
        {"^X(1E3)", "not a canonical number"},
        {"^X(+1)", "expected a number"},
        {"^X(-0)", "not a canonical number"},
        {"^X(1234567890123456789)", "not a canonical number"},
        {"^X()", "expected a number"},
        {"^X(1", "expected ',' or ')'"},
        {"^X(1))", "unexpected ')'"},
        {"^X(\"a)", "the string is not closed"},
        {"^X(a)", "expected a number"},
        {"^X($G(^Y))", "only $C(...)"},
        {"^X($C(256))", "from 0 to 255"},
        {"^X($C())", "from 0 to 255"},
        {"^X(\"a\"_b)", "expected a \"string\""},
        {"^X(\"a\" )", "expected ',' or ')'"},
        {"^|\"E\"|X", "unexpected '|' at column 2"},
        {"@X", "unexpected '@' at column 1"},
        {"^X,^Y", "unexpected ','"},
        {"X Y", "unexpected ' '"},
        {"", "Invalid variable name"},
        {"^ABCDEFGHIJKLMNOPQRSTUVWXYZ123456", "Invalid variable name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        try {
            ParseMRef(c.typed);
            ADD_FAILURE() << "read";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

TEST(ToolRefParser, WhatIsPrintedReadsBackAsTheSameParts) {
    const std::vector<std::string> subscripts = {"1",
                                                 "-.5",
                                                 "01",
                                                 "",
                                                 "a\"b",
                                                 std::string("\0\x01", 2),
                                                 "\x7f\xff",
                                                 "caf\xc3\xa9",
                                                 "1E3",
                                                 "a,b)",
                                                 std::string(300, '\x02')};
    const std::string typed = TypedRef("^X", subscripts);
    const TMRef read = ParseMRef(typed);
    ASSERT_EQ(read.Subscripts().size(), subscripts.size()) << typed;
    for (size_t i = 0; i < subscripts.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(read.Subscripts()[i].Value(), subscripts[i]);
        EXPECT_EQ(read.Subscripts()[i].IsNumber(), i < 2);
    }
    EXPECT_EQ(TypedRef("X", {}), "X");
    EXPECT_EQ(TypedValue("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(ParseMValue("-12").Value(), "-12");
    EXPECT_THROW(ParseMValue("1 "), std::invalid_argument);
}

} // namespace
} // namespace qdo::tool
