// How qdo's shell cuts a typed line into its command's words: M code and references keep their
// quotes and spaces, other words take shell quoting.
#include "tools/qdo/LineSplit.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace qdo::tool {
namespace {

using Words = std::vector<std::string>;

TEST(ToolLineSplit, EachCommandTakesItsWordsItsOwnWay) {
    const struct {
        std::string line;
        Words words;
    } cases[] = {
        {"", {}},
        {" \t \n", {}},
        {"get ^X", {"get", "^X"}},
        {"  get   ^X(1,\"a b\")  \r\n", {"get", "^X(1,\"a b\")"}},
        {"get ^X(\"say \"\"hi there\"\"\")", {"get", "^X(\"say \"\"hi there\"\"\")"}},
        {"get ^X($E(\"a b\",1, 2))", {"get", "^X($E(\"a b\",1, 2))"}},
        {"walk --json ^X(\"(\")", {"walk", "--json", "^X(\"(\")"}},
        {"kill ^X ^Y", {"kill", "^X", "^Y"}}, // the parser refuses the second
        {"x  w \"a  b\",!  ", {"x", "--", "w \"a  b\",!"}},
        {"t f i=1:1:3 w i,!", {"t", "--", "f i=1:1:3 w i,!"}},
        {"x", {"x"}},
        {"x -1", {"x", "--", "-1"}},
        {"set ^X(\"k y\") two  words \"q\"", {"set", "^X(\"k y\")", "--", "two  words \"q\""}},
        {"set ^X -", {"set", "^X", "--", "-"}},
        {"set ^X", {"set", "^X"}},
        {"send Ev a 'b' c", {"send", "Ev", "--", "a 'b' c"}},
        {"send 'my event' p", {"send", "my event", "--", "p"}},
        {"send Ev", {"send", "Ev"}},
        {"listen A \"B C\" 'D\"E' F\\ G", {"listen", "A", "B C", "D\"E", "F G"}},
        {"listen \"a\\\"b\"", {"listen", "a\"b"}},
        {"blob put \"/tmp/my file\" --name x", {"blob", "put", "/tmp/my file", "--name", "x"}},
        {"help walk", {"help", "walk"}},
        // The commands on typed references take M words too: quotes and spaces stay.
        {"ls ^X(\"a b\") -r", {"ls", "^X(\"a b\")", "-r"}},
        {"incr ^X(\"n\") -1", {"incr", "^X(\"n\")", "-1"}},
        {"call -f f^r \"a b\" 1 \"x\"_$C(0)", {"call", "-f", "f^r", "\"a b\"", "1", "\"x\"_$C(0)"}},
        {"lock ^X(\"it's\") 5", {"lock", "^X(\"it's\")", "5"}},
        // export and import: REF an M word, options and FILE shell words.
        {"export ^X(\"a b\") 'my file.json'", {"export", "^X(\"a b\")", "my file.json"}},
        {"import --replace ^X(\"it's\") \"a b\"", {"import", "--replace", "^X(\"it's\")", "a b"}},
        {"import ^X(1) f --replace", {"import", "^X(1)", "f", "--replace"}},
        {"tx 'ops file'", {"tx", "ops file"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(SplitShellLine(c.line), c.words);
    }
}

TEST(ToolLineSplit, AnOperationLineIsMWords) {
    EXPECT_EQ(SplitMWords("  set ^X(\"a b\",1)\t\"two  words\"_$C(0) "),
              (Words{"set", "^X(\"a b\",1)", "\"two  words\"_$C(0)"}));
    EXPECT_EQ(SplitMWords(""), Words{});
    EXPECT_THROW(SplitMWords("set ^X \"open"), std::invalid_argument);
}

TEST(ToolLineSplit, OpenQuotesAndParenthesesAreRefused) {
    for (const std::string line : {"get ^X(\"a", "get ^X(1", "get ^X(\"a\"\"", "set ^X(1 v",
                                   "listen 'A", "listen \"A", "send \"E p"}) {
        SCOPED_TRACE(line);
        EXPECT_THROW(SplitShellLine(line), std::invalid_argument);
    }
}

} // namespace
} // namespace qdo::tool
