// What the command-line client shows of a value: plain text as it is, anything else as printable
// M; and JSON strings that carry any bytes.
#include "tools/qdo/Display.h"

#include <gtest/gtest.h>

#include <string>

namespace qdo::tool {
namespace {

using namespace std::string_literals;

TEST(ToolDisplay, PlainTextIsUtf8WithoutControls) {
    const struct {
        std::string bytes;
        bool plain;
    } cases[] = {
        {"", true},
        {"hello, world ~", true},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", true}, // two, three and four bytes
        {"tab\there", false},
        {"nul\0"s, false},
        {"del\x7f", false},
        {"\x1b[31mred", false},      // an escape sequence
        {"c1 \xc2\x9b", false},      // U+009B, CSI for some terminals
        {"\xc2\xa0", true},          // U+00A0, the first after the C1 controls
        {"\xc3", false},             // cut short
        {"\xe2\x82", false},         // cut short
        {"\xc0\xaf", false},         // overlong
        {"\xed\xa0\x80", false},     // a surrogate
        {"\xf4\x90\x80\x80", false}, // past U+10FFFF
        {"\x80", false},             // a continuation byte alone
        {"\xff", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(IsPlainText(c.bytes), c.plain);
        if (c.plain) {
            EXPECT_EQ(Shown(c.bytes), c.bytes);
        }
    }
}

TEST(ToolDisplay, OtherValuesAreShownAsPrintableM) {
    const struct {
        std::string bytes;
        std::string shown;
    } cases[] = {
        {"a\nb", "\"a\"_$C(10)_\"b\""},
        {"say \"hi\"\x7f", "\"say \"\"hi\"\"\"_$C(127)"},
        {"\xc2\x9b", "$C(194,155)"},
        {"x\x01\xff", "\"x\"_$C(1)_$C(255)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Shown(c.bytes), c.shown);
    // More than 255 bytes of 128 and up take several $C calls.
    const std::string shown = Shown(std::string(300, '\x80'));
    EXPECT_EQ(shown.find("_$C("), 3 + 255 * 4); // "$C(" 255 codes of "128," less one "," and ")"
    std::string controlsAndHighBytes = "\x01\x7f\x80\xff\n";
    controlsAndHighBytes.append(300, '\x9b');
    for (const char c : Shown(controlsAndHighBytes))
        EXPECT_TRUE(c >= 0x20 && c < 0x7f) << int(c);
}

TEST(ToolDisplay, JsonStringsEscapeEveryByteThatIsNotPrintableAscii) {
    EXPECT_EQ(JsonString(""), "\"\"");
    EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonString("\n\0\x7f\xc3\xa9"s), "\"\\u000a\\u0000\\u007f\\u00c3\\u00a9\"");
}

} // namespace
} // namespace qdo::tool
