// Decimal text of extended floats: the general format and the locale-free reader.
#include "classes/FloatText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>

namespace qdo {
namespace {

struct FormatCase {
    long double value;
    int precision;
    const char* text;
};

TEST(FloatText, GeneralFormat) {
    const FormatCase cases[] = {
        {0.0L, 15, "0"},
        {-0.0L, 15, "0"},
        {1.5L, 15, "1.5"},
        {-1.5L, 15, "-1.5"},
        {0.0001L, 15, "0.0001"},
        {0.00001L, 15, "1E-5"},
        {1.5e-7L, 15, "1.5E-7"},
        {-2.5e-7L, 15, "-2.5E-7"},
        {1e20L, 15, "1E20"},
        {1.5e20L, 15, "1.5E20"},
        {123456789012345.0L, 15, "123456789012345"},
        {1234567890123456.0L, 15, "1.23456789012346E15"},
        {1000.0L, 2, "1E3"},
        {1000.0L, 4, "1000"},
        {100.0L, 2, "1E2"},
        {99.0L, 2, "99"},
        {99.6L, 2, "1E2"}, // rounding carries into a new digit
        {0.1L, 15, "0.1"},
        {1.0L / 3.0L, 15, "0.333333333333333"},
        {2.0L / 3.0L, 5, "0.66667"},
        {0.000123L, 15, "0.000123"},
        {0.0000123L, 15, "1.23E-5"},
        {1e-300L, 15, "1E-300"},
        {1e4000L, 15, "1E4000"},
        {12.0L, 1, "12"},                          // precision clamps to 2
        {1.0L / 3.0L, 40, "0.333333333333333333"}, // and to 18
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(FormatFloatGeneral(c.value, c.precision, '.'), c.text);
    }
    EXPECT_EQ(FormatFloatGeneral(-1.25L, 15, ','), "-1,25");
    EXPECT_EQ(FormatFloatGeneral(1.25e-9L, 15, ','), "1,25E-9");
    EXPECT_EQ(FormatFloatGeneral(std::numeric_limits<long double>::infinity(), 15, '.'), "INF");
    EXPECT_EQ(FormatFloatGeneral(-std::numeric_limits<long double>::infinity(), 15, '.'), "-INF");
    EXPECT_EQ(FormatFloatGeneral(std::numeric_limits<long double>::quiet_NaN(), 15, '.'), "NAN");
}

struct ParseCase {
    const char* text;
    char separator;
    bool ok;
    long double value;
};

TEST(FloatText, ExactDecimalsReadAsTheirNearestFloatReads) {
    struct Case {
        uint64_t magnitude;
        int places;
        bool negative;
        const char* text; // nullptr: too many digits for the precision
    };
    for (const Case& c :
         {Case{0, 5, true, "0"}, Case{1, 1, false, "0.1"}, Case{1, 4, false, "0.0001"},
          Case{1, 5, false, "1E-5"}, Case{125, 2, true, "-1.25"}, Case{1200, 2, false, "12"},
          Case{1, 27, false, "1E-27"}, Case{999999999999999, 0, false, "999999999999999"},
          Case{1000000000000000, 0, false, "1E15"}, Case{1000000000000001, 0, false, nullptr}}) {
        const auto text = FormatExactDecimal(c.magnitude, c.places, c.negative, 15, '.');
        if (c.text)
            EXPECT_EQ(text, std::optional<std::string>(c.text)) << c.magnitude;
        else
            EXPECT_FALSE(text) << c.magnitude;
    }
    EXPECT_EQ(FormatExactDecimal(25, 1, false, 15, ','), "2,5");

    // Against the float path: random magnitudes of 1 to `precision` digits and exact scales.
    std::mt19937_64 random(7);
    for (const int precision : {15, 18}) {
        for (int i = 0; i < 20000; ++i) {
            const int digits = 1 + static_cast<int>(random() % static_cast<uint64_t>(precision));
            uint64_t limit = 1;
            for (int d = 0; d < digits; ++d)
                limit *= 10;
            const uint64_t magnitude = random() % limit;
            const int places = static_cast<int>(random() % 28);
            const bool negative = random() % 2 == 0;
            long double power = 1;
            for (int p = 0; p < places; ++p)
                power *= 10; // exact up to 10^27
            const long double value = (negative ? -1 : 1) * (magnitude / power);
            EXPECT_EQ(FormatExactDecimal(magnitude, places, negative, precision, '.'),
                      FormatFloatGeneral(value, precision, '.'))
                << magnitude << "E-" << places;
        }
    }
}

TEST(FloatText, ReadsOnlyPlainDecimalNumbers) {
    const ParseCase cases[] = {
        {"1.5", '.', true, 1.5L},    {"-1.5", '.', true, -1.5L},  {"+2", '.', true, 2.0L},
        {"1e3", '.', true, 1000.0L}, {"1E-3", '.', true, 0.001L}, {"1E+3", '.', true, 1000.0L},
        {".5", '.', true, 0.5L},     {"5.", '.', true, 5.0L},     {"1,5", ',', true, 1.5L},
        {"1.5", ',', false, 0},      {"1,5", '.', false, 0},      {"", '.', false, 0},
        {"-", '.', false, 0},        {".", '.', false, 0},        {"e5", '.', false, 0},
        {"1e", '.', false, 0},       {"1e+", '.', false, 0},      {" 1", '.', false, 0},
        {"1 ", '.', false, 0},       {"1.2.3", '.', false, 0},    {"inf", '.', false, 0},
        {"nan", '.', false, 0},      {"0x10", '.', false, 0},     {"1e99999", '.', false, 0},
        {"--1", '.', false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        long double value = -42;
        EXPECT_EQ(TryTextToFloat(c.text, c.separator, value), c.ok);
        EXPECT_EQ(value, c.ok ? c.value : -42);
    }
}

} // namespace
} // namespace qdo
