// The M list byte format: exact encodings, counting and reading.
#include "classes/Exceptions.h"
#include "encodings/Mlist.h"
#include "support/Bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace qdo {
namespace {

using test::Hex;
using test::ToHex;

std::string Decoded(const std::string& bytes, int32_t index) {
    TMList list;
    list.SetAllList(bytes);
    return list.GetList(index);
}

int32_t Count(const std::string& bytes) {
    TMList list;
    list.SetAllList(bytes);
    return list.GetLength();
}

TEST(MlistCodec, MixedListEncodesAndReadsBack) {
    TMList list;
    list.SetList(1, "abc");
    list.SetList(2, "1");
    list.SetList(3, "-1");
    list.SetList(4, "1.5");
    EXPECT_EQ(ToHex(list.AllList()), ToHex(Hex("05 01 61 62 63 | 03 04 01 | 02 05 | "
                                               "07 06 F8 80 D1 F0 08")));
    TMList read;
    read.SetAllList(list.AllList());
    ASSERT_EQ(read.GetLength(), 4);
    EXPECT_EQ(read.GetList(1), "abc");
    EXPECT_EQ(read.GetList(2), "1");
    EXPECT_EQ(read.GetList(3), "-1");
    EXPECT_EQ(read.GetList(4), "1.5");
}

struct IntegerCase {
    int64_t value;
    const char* bytes;
};

TEST(MlistCodec, IntegersEncodeExactlyAndReadBack) {
    const IntegerCase cases[] = {
        {0, "02 04"},
        {1, "03 04 01"},
        {127, "03 04 7F"},
        {128, "03 04 80"},
        {255, "03 04 FF"},
        {256, "04 04 00 01"},
        {-1, "02 05"},
        {-2, "03 05 FE"},
        {-255, "03 05 01"},
        {-256, "03 05 00"},
        {-257, "04 05 FF FE"},
        {std::numeric_limits<int64_t>::max(), "0A 04 FF FF FF FF FF FF FF 7F"},
        {std::numeric_limits<int64_t>::min(), "0A 05 00 00 00 00 00 00 00 80"},
    };
    TMList list;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        std::string element = list.MakeIntList(c.value);
        EXPECT_EQ(ToHex(element), ToHex(Hex(c.bytes)));
        EXPECT_EQ(Decoded(element, 1), std::to_string(c.value));
    }
}

struct DecimalCase {
    long double value;
    const char* bytes;
    const char* text;
};

TEST(MlistCodec, DecimalsEncodeAtScaleEightAndReadWithFifteenDigits) {
    const DecimalCase cases[] = {
        {1.5L, "07 06 F8 80 D1 F0 08", "1.5"},
        {-1.5L, "07 07 F8 80 2E 0F F7", "-1.5"},
        {0.25L, "07 06 F8 40 78 7D 01", "0.25"},
        {0.0L, "03 06 F8", "0"},
        {1e-9L, "03 06 F8", "0"},
        {-0.00000001L, "03 07 F8", "-1E-8"},
        {0.00000001L, "04 06 F8 01", "1E-8"},
        {0.1L, "06 06 F8 80 96 98", "0.1"},
        {-0.25L, "07 07 F8 C0 87 82 FE", "-0.25"},
    };
    TMList list;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string element = list.MakeFloatList(c.value);
        EXPECT_EQ(ToHex(element), ToHex(Hex(c.bytes)));
        EXPECT_EQ(Decoded(element, 1), c.text);
    }
}

TEST(MlistCodec, DecimalsRoundToTheNearestEighthPlace) {
    TMList list;
    EXPECT_EQ(Decoded(list.MakeFloatList(0.123456784L), 1), "0.12345678");
    EXPECT_EQ(Decoded(list.MakeFloatList(0.123456786L), 1), "0.12345679");
    EXPECT_EQ(Decoded(list.MakeFloatList(-0.123456786L), 1), "-0.12345679");
    EXPECT_EQ(Decoded(list.MakeFloatList(92233720368.5L), 1), "92233720368.5");
}

TEST(MlistCodec, DecimalBeyondSixtyFourBitsFails) {
    TMList list;
    for (long double v : {1e11L, -1e11L, 1e12L, 9.3e10L}) {
        SCOPED_TRACE(static_cast<double>(v));
        EXPECT_THROW(list.MakeFloatList(v), EListError);
    }
    // Just inside: 9.2e10 x 10^8 < 2^63.
    EXPECT_NO_THROW(list.MakeFloatList(9.2e10L));
    EXPECT_THROW(list.MakeFloatList(std::numeric_limits<long double>::infinity()), EListError);
    EXPECT_THROW(list.MakeFloatList(std::numeric_limits<long double>::quiet_NaN()), EListError);
}

TEST(MlistCodec, StringHeadersSwitchToLongFormAt254DataBytes) {
    TMList list;
    struct Case {
        size_t length;
        const char* header;
        size_t total;
    } cases[] = {
        {0, "02 01", 2},           {253, "FF 01", 255},           {254, "00 FF 00 01", 258},
        {300, "00 2D 01 01", 304}, {65534, "00 FF FF 01", 65538},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        std::string text(c.length, 'x');
        std::string element = list.MakeStringList(text);
        std::string header = Hex(c.header);
        EXPECT_EQ(ToHex(element.substr(0, header.size())), ToHex(header));
        EXPECT_EQ(element.size(), c.total);
        EXPECT_EQ(Decoded(element, 1), text);
    }
    EXPECT_THROW(list.MakeStringList(std::string(65535, 'x')), EListError);
}

TEST(MlistCodec, UndefinedElementIsOneByte) {
    TMList list;
    EXPECT_EQ(ToHex(list.MakeEmptyList()), "01");
}

struct CountCase {
    const char* bytes;
    int32_t count;
};

TEST(MlistCodec, CountsWellFormedAndMalformedLists) {
    const CountCase cases[] = {
        {"", 0},
        {"01", 0}, // a single byte counts as empty, whatever it is
        {"05", 0},
        {"00", 0},
        {"01 01", 2},    // two undefined elements
        {"00 00 00", 1}, // long form, N = 0: undefined
        {"00 00", 0},    // long form cut short
        {"00 01", 0},
        {"03 01 61 02", 0}, // last element claims more than remains
        {"05 01 61", 0},
        {"00 02 00 01 61", 1},
        {"00 03 00 01 61", 0},
        {"02 01 02 01 02 01", 3},
        {"03 04 01 00", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(Count(Hex(c.bytes)), c.count);
    }
}

struct ReadCase {
    const char* bytes;
    int32_t index;
    std::string text;
};

TEST(MlistCodec, ReadsEveryTypeAndOddElements) {
    const ReadCase cases[] = {
        {"01 01", 1, ""},
        {"01 01", 2, ""},
        {"00 00 00", 1, ""},
        {"02 04", 1, "0"},   // integer without digits
        {"02 05", 1, "-1"},  // negative integer without digits
        {"03 02 41", 1, ""}, // unknown type codes read as empty
        {"03 09 41", 1, ""},
        {"02 06", 1, ""}, // decimal without its scale byte
        {"02 07", 1, ""},
        {"00 01 00 06", 1, ""},
        {"03 06 F8", 1, "0"},
        {"03 06 FE", 1, "0"},
        {"04 06 FE 05", 1, "0.05"}, // scale byte FE: two places
        {"04 06 FF 0F", 1, "1.5"},  // scale byte FF: one place
        {"03 07 FF", 1, "-0.1"},
        {"03 01 61 02 04", 2, "0"},
        {"03 01 61", 2, ""},    // beyond the last element
        {"03 01 61 02", 1, ""}, // malformed list: every element empty
        // 9 digit bytes: only the low 64 bits count.
        {"0B 04 01 00 00 00 00 00 00 00 01", 1, "1"},
        // The largest magnitudes the two integer types can hold.
        {"0A 04 FF FF FF FF FF FF FF FF", 1, "18446744073709551615"},
        {"0A 05 00 00 00 00 00 00 00 00", 1, "-18446744073709551616"},
        {"0A 05 00 00 00 00 00 00 00 80", 1, "-9223372036854775808"},
        // Long form, type 1 with the bytes as they are, NUL included.
        {"00 04 00 01 00 22 41", 1, std::string("\0\"A", 3)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.bytes) + " #" + std::to_string(c.index));
        EXPECT_EQ(Decoded(Hex(c.bytes), c.index), c.text);
    }
}

TEST(MlistCodec, ElementsReadInAnyOrderAndAfterEveryChange) {
    // Reading in order resumes where the last read stopped: every order must still give each
    // element, and a changed list must not be read from where the old one was.
    TMList list;
    std::string bytes;
    for (int i = 1; i <= 300; ++i)
        bytes += list.MakeStringList(
            std::string(static_cast<size_t>(i), static_cast<char>('a' + i % 26)));
    list.SetAllList(bytes);
    const auto expected = [](int i) {
        return std::string(static_cast<size_t>(i), static_cast<char>('a' + i % 26));
    };
    for (int i = 1; i <= 300; ++i)
        ASSERT_EQ(list.GetList(i), expected(i)) << i;
    for (int i : {300, 1, 150, 149, 151, 2, 299, 299, 1})
        EXPECT_EQ(list.GetList(i), expected(i)) << i;
    EXPECT_EQ(list.GetList(301), "");
    EXPECT_EQ(list.GetList(300), expected(300));

    list.SetList(2, "changed");
    EXPECT_EQ(list.GetList(2), "changed");
    EXPECT_EQ(list.GetList(3), expected(3));
    list.SetAllList(list.MakeStringList("only"));
    EXPECT_EQ(list.GetList(1), "only");
    EXPECT_EQ(list.GetList(2), "");
    list.ReplaceList(3, list.MakeIntList(7));
    EXPECT_EQ(list.GetList(3), "7");
    EXPECT_EQ(list.GetList(1), "only");
}

TEST(MlistCodec, HugeDecimalDigitRunsReadAsInfinityNotGarbage) {
    // 3000 digit bytes overflow the extended float; the text says so instead of NAN.
    std::string data = "\xF8" + std::string(3000, '\xFF');
    std::string element = std::string("\x00", 1) + static_cast<char>((data.size() + 1) & 0xFF) +
                          static_cast<char>((data.size() + 1) >> 8) + '\x06' + data;
    EXPECT_EQ(Decoded(element, 1), "INF");
    element[3] = '\x07';
    EXPECT_EQ(Decoded(element, 1), "-1E-8");
}

TEST(MlistCodec, IndicesBelowOneFail) {
    TMList list;
    list.SetAllList(Hex("03 01 61"));
    for (int32_t index : {0, -1, std::numeric_limits<int32_t>::min()}) {
        EXPECT_THROW(list.GetList(index), EListError);
        EXPECT_THROW(list.SetList(index, "x"), EListError);
        EXPECT_THROW(list.SetIli(index, 1), EListError);
        EXPECT_THROW(list.ReplaceList(index, Hex("02 04")), EListError);
    }
    EXPECT_EQ(ToHex(list.AllList()), "03 01 61");
}

TEST(MlistCodec, GetIliReadsOnlyDecimal32BitIntegers) {
    TMList list;
    list.SetList(1, "42");
    list.SetList(2, "-2147483648");
    list.SetList(3, "2147483648");
    list.SetList(4, "1.5");
    list.SetList(5, "abc");
    list.SetList(6, "");
    EXPECT_EQ(list.GetIli(1), 42);
    EXPECT_EQ(list.GetIli(2), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(list.GetIli(3), 0);
    EXPECT_EQ(list.GetIli(4), 0);
    EXPECT_EQ(list.GetIli(5), 0);
    EXPECT_EQ(list.GetIli(6), 0);
    EXPECT_EQ(list.GetIli(7), 0);
    list.SetIli(7, -12);
    EXPECT_EQ(ToHex(list.MakeIntList(-12)),
              ToHex(list.AllList().substr(list.AllList().size() - 3)));
    EXPECT_EQ(list.GetIli(7), -12);
}

TEST(MlistCodec, CountIsCachedUntilTheListChanges) {
    TMList list;
    list.SetAllList(Hex("02 04 02 04"));
    EXPECT_EQ(list.GetLength(), 2);
    list.SetAllList(Hex("02 04"));
    EXPECT_EQ(list.GetLength(), 1);
    list.SetList(3, "x");
    EXPECT_EQ(list.GetLength(), 3);
    list.ClearList();
    EXPECT_EQ(ToHex(list.AllList()), "02 04 01 03 01 78");
    EXPECT_EQ(list.GetLength(), 3);
}

TEST(MlistCodec, AsStringDoublesQuotes) {
    TMList list;
    list.SetAllList(std::string("\x04\x01\"a\"", 5));
    EXPECT_EQ(list.AsString(), std::string("\x04\x01\"\"a\"\"", 7));
}

TEST(MlistCodec, IsEmptyTellsWhetherTheElementReadsEmpty) {
    TMList list;
    list.SetAllList(Hex("01 02 01 03 01 61"));
    EXPECT_TRUE(list.IsEmpty(1));
    EXPECT_TRUE(list.IsEmpty(2));
    EXPECT_FALSE(list.IsEmpty(3));
    EXPECT_TRUE(list.IsEmpty(4));
}

} // namespace
} // namespace qdo
