// Reading decimal text as a signed 32-bit integer.
#include "classes/IntegerText.h"
#include "classes/Exceptions.h"

#include <gtest/gtest.h>

namespace qdo {
namespace {

TEST(IntegerText, OnlyWholeDecimalNumbersInRangeAreRead) {
    const struct {
        std::string text;
        bool valid;
        int32_t value;
    } cases[] = {
        {"0", true, 0},
        {"42", true, 42},
        {"+7", true, 7},
        {"-1", true, -1},
        {"007", true, 7},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, -2147483647 - 1},
        {"2147483648", false, 0},
        {"", false, 0},
        {"+", false, 0},
        {"-", false, 0},
        {"+-5", false, 0},
        {" 5", false, 0},
        {"5 ", false, 0},
        {"5x", false, 0},
        {"0x10", false, 0},
        {std::string("5\0", 2), false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int32_t value = 99;
        EXPECT_EQ(TryStrToInt(c.text, value), c.valid);
        EXPECT_EQ(value, c.valid ? c.value : 99);
        EXPECT_EQ(StrToIntDef(c.text, -9), c.valid ? c.value : -9);
        if (c.valid) {
            EXPECT_EQ(StrToInt(c.text), c.value);
        } else {
            EXPECT_THROW(StrToInt(c.text), EConvertError);
        }
    }
}

} // namespace
} // namespace qdo
