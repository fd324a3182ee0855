// Writing M lists: the type SetList chooses, padding, replacement, lb over tagged values.
#include "classes/Exceptions.h"
#include "classes/FloatText.h"
#include "classes/FormatSettings.h"
#include "encodings/Mlist.h"
#include "support/Bytes.h"

#include <gtest/gtest.h>

#include <charconv>
#include <random>

namespace qdo {
namespace {

using test::Hex;
using test::ToHex;

uint8_t TypeOfOnlyElement(const TMList& list) {
    const std::string& b = list.AllList();
    return static_cast<uint8_t>(b[0] == 0 ? b[3] : b[1]);
}

struct TypeCase {
    const char* text;
    uint8_t type;
    const char* reads = nullptr; // when it reads back otherwise than written
};

TEST(MlistWrite, SetListChoosesTheTypeFromTheText) {
    const TypeCase cases[] = {
        // Canonical 64-bit integers.
        {"123", 4},
        {"0", 4},
        {"-5", 5},
        {"9223372036854775807", 4},
        {"-9223372036854775808", 5},
        // Not canonical integers, not decimals either.
        {"007", 1},
        {"+5", 1},
        {"-0", 1},
        {"", 1},
        {"9223372036854775808", 1},
        {" 1", 1},
        {"1 ", 1},
        {"0x10", 1},
        // Decimals: the text is the general-format rendering of its own value.
        {"1.5", 6},
        {"-0.25", 7},
        {"1E3", 6, "1000"},
        {"0.0001", 6},
        {"-1E-8", 7},
        {"9999999.99999999", 6},
        {"92233720368.5", 6},
        {"1.5E-7", 6},
        {"-123.0625", 7},
        // Not canonical decimals.
        {"1.50", 1},
        {".5", 1},
        {"1e3", 1},
        {"0.00001", 1},
        {"1.", 1},
        {"-.5", 1},
        {"1E+3", 1},
        {"NAN", 1},
        {"INF", 1},
        {"1,5", 1},
        // Canonical, but not carried exactly by 8 places read back with 15 digits: kept as
        // text rather than changed.
        {"0.123456789", 1},
        {"1E-9", 1},
        {"12345678.12345678", 1},
        {"999999999.99999999", 1},
        // 10^12 and above are never decimals.
        {"1E12", 1},
        {"1.5E12", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TMList list;
        list.SetList(1, c.text);
        EXPECT_EQ(int(TypeOfOnlyElement(list)), int(c.type)) << ToHex(list.AllList());
        EXPECT_EQ(list.GetList(1), c.reads ? c.reads : c.text);
    }
}

TEST(MlistWrite, DecimalsThatCannotBeScaledInto64BitsFail) {
    for (const char* text : {"-123456789012.5", "99999999999.5", "-99999999999.5"}) {
        SCOPED_TRACE(text);
        TMList list;
        list.SetAllList(Hex("02 04"));
        EXPECT_THROW(list.SetList(1, text), EListError);
        EXPECT_EQ(ToHex(list.AllList()), "02 04");
    }
}

TEST(MlistWrite, DecimalTestFollowsTheProcessSeparator) {
    SetDecimalSeparator(',');
    TMList list;
    list.SetList(1, "1.5");
    list.SetList(2, "1,5");
    list.SetList(3, "-0,25");
    long double parsed = list.StrToFloatDef("2,75", -1);
    long double notParsed = list.StrToFloatDef("2.75", -1);
    long double plainParsed = StrToFloatDef("2.75", -1);
    SetDecimalSeparator('.');

    EXPECT_EQ(ToHex(list.AllList()), ToHex(Hex("05 01 31 2E 35 | 07 06 F8 80 D1 F0 08 | "
                                               "07 07 F8 C0 87 82 FE")));
    EXPECT_EQ(list.GetList(1), "1.5");
    EXPECT_EQ(list.GetList(2), "1.5");
    EXPECT_EQ(list.GetList(3), "-0.25");
    EXPECT_EQ(parsed, 2.75L);
    EXPECT_EQ(notParsed, -1);
    EXPECT_EQ(plainParsed, 2.75L);
}

// How SetList chose an element when every text that reads as a number went through its float
// value and that value's text: the oracle for reading plain decimals from their digits.
std::string ElementByRoundTrip(const std::string& text, char separator) {
    TMList list;
    int64_t integer = 0;
    std::from_chars(text.data(), text.data() + text.size(), integer);
    if (std::to_string(integer) == text)
        return list.MakeIntList(integer);
    long double decimal = 0;
    const int precision = static_cast<int>(std::min<size_t>(text.size(), 100)) - 1;
    if (TryTextToFloat(text, separator, decimal) &&
        FormatFloatGeneral(decimal, precision, separator) == text && decimal < 1e12L) {
        std::string element = list.MakeFloatList(decimal);
        TMList read;
        read.SetAllList(element);
        long double back = 0;
        if (TryTextToFloat(read.GetList(1), '.', back) && back == decimal)
            return element;
    }
    return list.MakeStringList(text);
}

// Texts near the boundaries of that decision: signs, leading and trailing zeros, up to 16
// digits on either side of the separator (or the other separator), exponents, stray bytes.
std::string NumberLikeText(std::mt19937_64& random, char separator) {
    const auto pick = [&](uint64_t n) { return random() % n; };
    const auto digits = [&](uint64_t most) {
        std::string run(pick(most + 1), '0');
        for (char& c : run)
            c = static_cast<char>('0' + (pick(3) == 0 ? 0 : pick(10)));
        return run;
    };
    if (pick(8) == 0) { // anything of these characters
        const std::string alphabet = std::string("0123456789012345-+eE x") + separator;
        std::string text(pick(12), ' ');
        for (char& c : text)
            c = alphabet[pick(alphabet.size())];
        return text;
    }
    std::string text = pick(3) == 0 ? "-" : pick(20) == 0 ? "+" : "";
    text += pick(4) == 0 ? "0" : digits(pick(3) == 0 ? 16 : 6);
    if (pick(5) != 0) {
        text += pick(30) == 0 ? (separator == '.' ? ',' : '.') : separator;
        text += std::string(pick(4) == 0 ? pick(6) : 0, '0') + digits(pick(3) == 0 ? 16 : 9);
    }
    if (pick(15) == 0)
        text += (pick(2) ? "E" : "e") + std::string(pick(2) ? "-" : "") + digits(2);
    return text;
}

TEST(MlistWrite, SetListDecidesAsTheFloatRoundTripDoes) {
    std::mt19937_64 random(11);
    int decimals = 0;
    for (const char separator : {'.', ','}) {
        SetDecimalSeparator(separator);
        for (int i = 0; i < 60000; ++i) {
            const std::string text = NumberLikeText(random, separator);
            std::string expected;
            try {
                expected = ElementByRoundTrip(text, separator);
            } catch (const EListError&) {
                expected = "fails";
            }
            TMList list;
            try {
                list.SetList(1, text);
            } catch (const EListError&) {
                list.SetAllList("fails");
            }
            if (list.AllList() != expected) {
                ADD_FAILURE() << "\"" << text << "\" with separator " << separator << ": "
                              << ToHex(list.AllList()) << " instead of " << ToHex(expected);
                break;
            }
            decimals += expected.size() > 2 && (expected[1] == 6 || expected[1] == 7);
        }
    }
    SetDecimalSeparator('.');
    EXPECT_GT(decimals, 10000); // the generator reaches the decimals, not only strings
}

struct SetCase {
    const char* before;
    int32_t index;
    const char* value;
    const char* after;
};

TEST(MlistWrite, SetListPlacesTheElement) {
    const SetCase cases[] = {
        {"", 1, "x", "03 01 78"},
        {"", 3, "x", "01 01 03 01 78"}, // pads with undefined elements
        {"02 04 02 04", 5, "x", "02 04 02 04 01 01 03 01 78"},
        {"02 04 02 04", 3, "x", "02 04 02 04 03 01 78"},
        {"01", 1, "a", "01 03 01 61"}, // a single byte counts as empty
        {"03 01 61 03 01 62 03 01 63", 2, "xy", "03 01 61 04 01 78 79 03 01 63"},
        {"03 01 61 03 01 62", 1, "", "02 01 03 01 62"}, // empty text: an empty string
        {"01 01", 2, "7", "01 03 04 07"},
        {"03 01 61 02", 1, "b", "03 01 61 02 03 01 62"}, // malformed: appended after
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.before) + " @" + std::to_string(c.index));
        TMList list;
        list.SetAllList(Hex(c.before));
        list.SetList(c.index, c.value);
        EXPECT_EQ(ToHex(list.AllList()), ToHex(Hex(c.after)));
    }
}

TEST(MlistWrite, ReplaceListSwapsLongAndShortElements) {
    TMList list;
    list.SetList(1, "a");
    list.SetList(2, std::string(300, 'y'));
    list.SetList(3, "c");
    list.ReplaceList(2, list.MakeIntList(-1));
    EXPECT_EQ(ToHex(list.AllList()), "03 01 61 02 05 03 01 63");
    list.ReplaceList(1, list.MakeStringList(std::string(254, 'z')));
    EXPECT_EQ(list.GetLength(), 3);
    EXPECT_EQ(list.GetList(1), std::string(254, 'z'));
    EXPECT_EQ(list.GetList(2), "-1");
    EXPECT_EQ(list.GetList(3), "c");
}

// An element taken from the list itself stays intact however the list's bytes move.
TEST(MlistWrite, ReplaceListTakesAnElementOfTheSameList) {
    TMList list;
    list.SetList(1, std::string(40, 'q'));
    list.SetList(2, "b");
    const std::string first = list.AllList().substr(0, 42);
    list.ReplaceList(9, std::string_view(list.AllList()).substr(0, 42));
    list.ReplaceList(2, std::string_view(list.AllList()).substr(0, 42));
    EXPECT_EQ(list.GetLength(), 9);
    EXPECT_EQ(list.GetList(2), std::string(40, 'q'));
    EXPECT_EQ(list.GetList(9), std::string(40, 'q'));
    EXPECT_EQ(list.AllList().substr(0, 42), first);
}

TEST(MlistWrite, TooLongElementFailsAndLeavesTheList) {
    TMList list;
    list.SetAllList(Hex("03 01 61"));
    EXPECT_THROW(list.SetList(1, std::string(65535, 'x')), EListError);
    EXPECT_EQ(ToHex(list.AllList()), "03 01 61");
    EXPECT_NO_THROW(list.SetList(1, std::string(65534, 'x')));
    EXPECT_EQ(list.GetList(1).size(), 65534u);
}

TEST(MlistWrite, LbEncodesEveryKindOfTaggedValue) {
    const std::string longText = "long";
    const TVarRec values[] = {
        TVarRec(int32_t{-2}),               // 0: integer
        TVarRec(true),                      // 1: boolean, skipped
        TVarRec::Char('c'),                 // 2: character, skipped
        TVarRec(1.5L),                      // 3: extended
        TVarRec::ShortString("ss"),         // 4: short string
        TVarRec::Pointer(&longText),        // 5: pointer -> undefined
        TVarRec::PChar("pc"),               // 6: C string pointer -> undefined
        TVarRec::OfKind(TVarRec::vtObject), // 7..10 skipped
        TVarRec::OfKind(TVarRec::vtClass),
        TVarRec::OfKind(TVarRec::vtWideChar),
        TVarRec::OfKind(TVarRec::vtPWideChar),
        TVarRec(longText),                    // 11: long string
        TVarRec::OfKind(TVarRec::vtCurrency), // 12 and above skipped
        TVarRec::OfKind(TVarRec::vtInt64),
        TVarRec::OfKind(255),
    };
    TMList list;
    EXPECT_EQ(ToHex(list.lb(values, 14)),
              ToHex(Hex("03 05 FE | 07 06 F8 80 D1 F0 08 | 04 01 73 73 | 01 | 01 | "
                        "06 01 6C 6F 6E 67")));
    EXPECT_EQ(list.lb(values, -1), "");
    EXPECT_EQ(ToHex(list.lb(values, 0)), "03 05 FE");
}

TEST(MlistWrite, LbOverABooleanAndALongStringGivesOneElement) {
    const TVarRec values[] = {TVarRec(false), TVarRec("x")};
    TMList list(values, 1);
    EXPECT_EQ(ToHex(list.AllList()), "03 01 78");
    EXPECT_EQ(list.GetLength(), 1);
}

TEST(MlistWrite, LbFailsPast32768Bytes) {
    const std::string big(32766, 'x');  // element of 32770 bytes (long form)
    const std::string fits(32764, 'x'); // element of exactly 32768 bytes
    TMList list;
    const TVarRec tooBig[] = {TVarRec(big)};
    const TVarRec exact[] = {TVarRec(fits)};
    const TVarRec exactThenSkipped[] = {TVarRec(fits), TVarRec(true)};
    const TVarRec exactThenOne[] = {TVarRec(fits), TVarRec::Pointer(nullptr)};
    try {
        list.lb(tooBig, 0);
        FAIL() << "no exception";
    } catch (const EListError& e) {
        EXPECT_EQ(e.Message(), "MAX LIST LENGTH (32768) EXCEEDED");
    }
    EXPECT_EQ(list.lb(exact, 0).size(), 32768u);
    EXPECT_EQ(list.lb(exactThenSkipped, 1).size(), 32768u);
    EXPECT_THROW(list.lb(exactThenOne, 1), EListError);
    EXPECT_THROW(TMList(tooBig, 0), EListError);
}

} // namespace
} // namespace qdo
