// How qdo's tx and batch read an operations file: one operation a line with typed references
// and values, comments and blank lines skipped, and a refusal that names the line.
#include "tools/qdo/OperationLines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qdo::tool {
namespace {

// One operation as "KIND ref-text value-kind:value", for comparing whole files at once.
std::string OperationLinesSummary(const std::vector<TOperationLine>& operations) {
    std::string summary;
    for (const TOperationLine& op : operations) {
        summary += std::to_string(op.Line) + ":" + OperationText(op) + "|" +
                   (op.Value.IsNumber() ? "n:" : "s:") + op.Value.Value() + "\n";
    }
    return summary;
}

TEST(ToolOperationLines, EachLineIsOneOperationWithTypedWords) {
    const std::string file = "# a comment\n"
                             "set ^X(\"a b\",1) \"two  words\"\r\n"
                             "\n"
                             "  \t\n"
                             "   set ^X(2) -.5\n"
                             "set ^X(3) \"q\"\"\"_$C(0,10)\n"
                             "kill ^X(\"k\")\n"
                             "get ^X(\"a b\",1)\n"
                             "incr ^X(\"n\")\n"
                             "incr ^X(\"n\") -2\n"
                             "incr ^X(\"n\") \"5\"\n"
                             "  # indented comment\n"
                             "get x"; // a last line without its line feed
    EXPECT_EQ(OperationLinesSummary(ParseOperationLines(file)),
              "2:set ^X(\"a b\",1) \"two  words\"|s:two  words\n"
              "5:set ^X(2) -.5|n:-.5\n" +
                  std::string("6:set ^X(3) \"q\"\"\"_$C(0,10)|s:q\"\0\n\n", 34) +
                  "7:kill ^X(\"k\")|n:1\n"
                  "8:get ^X(\"a b\",1)|n:1\n"
                  "9:incr ^X(\"n\") 1|n:1\n"
                  "10:incr ^X(\"n\") -2|n:-2\n"
                  "11:incr ^X(\"n\") 5|n:5\n" // the text of a number is that number
                  "13:get x|n:1\n");
    EXPECT_TRUE(ParseOperationLines("").empty());
    EXPECT_TRUE(ParseOperationLines("\n# only comments\n\n").empty());
}

TEST(ToolOperationLines, ALineThatIsNoOperationIsRefusedByItsNumber) {
    const struct {
        std::string file;
        std::string message; // a part of it
    } cases[] = {
        {"get ^X\nfrobnicate ^X\n", "line 2: there is no operation frobnicate"},
        {"set ^X\n", "line 1: set takes 2 words after it, not 1"},
        {"set ^X 1 2\n", "line 1: set takes 2 words"},
        {"get ^X ^Y\n", "line 1: get takes 1 words after it, not 2"},
        {"kill\n", "line 1: kill takes 1"},
        {"incr ^X 1 2\n", "line 1: incr takes 1 or 2 words"},
        {"\n\nget ^X(01)\n", "line 3: \"01\" is not a canonical number"},
        {"set ^X hello\n", "line 1: expected a number, a \"string\" or $C(...)"},
        {"set ^X(\"open) 1\n", "line 1: a string literal is not closed"},
        {"set ^X \"a\"_b\n", "line 1: "},
        {"incr ^X \"ten\"\n", "line 1: incr adds a canonical number, not \"ten\""},
        {"get @X\n", "line 1: "},
        {"SET ^X 1\n", "line 1: there is no operation SET"}, // the names are lower case
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        try {
            ParseOperationLines(c.file);
            ADD_FAILURE() << "no error";
        } catch (const EOperationLineError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

} // namespace
} // namespace qdo::tool
