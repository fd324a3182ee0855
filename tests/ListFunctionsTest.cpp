// The handle-free flat functions, through the C interface, byte for byte.
#include "capi/qdo.h"
#include "capi/qdosc.h"
#include "support/Bytes.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <thread>
#include <vector>

namespace qdo {
namespace {

using test::Hex;
using test::ToHex;

// A counted string in memory of exactly the size its text needs (or more, for outputs), so that
// the sanitizers catch any read or write beyond it.
class Record {
public:
    explicit Record(std::string_view text, size_t room = 0)
        : bytes_(2 + std::max(text.size(), room), '\xA5') {
        bytes_[0] = static_cast<char>(text.size() & 0xFF);
        bytes_[1] = static_cast<char>(text.size() >> 8);
        std::memcpy(bytes_.data() + 2, text.data(), text.size());
    }
    static Record Output() { return Record("", QDO_STRING_MAX); }

    QDOString* get() { return reinterpret_cast<QDOString*>(bytes_.data()); }
    size_t Length() const {
        return static_cast<uint8_t>(bytes_[0]) | (static_cast<uint8_t>(bytes_[1]) << 8);
    }
    std::string Text() const { return std::string(bytes_.data() + 2, Length()); }
    const std::vector<char>& Bytes() const { return bytes_; }

private:
    std::vector<char> bytes_;
};

TEST(ListFunctions, RecordLayoutIsPacked) {
    static_assert(sizeof(QDOString) == 2 + QDO_STRING_MAX);
    static_assert(offsetof(QDOString, Data) == 2);
    static_assert(alignof(QDOString) == 1);
}

TEST(ListFunctions, CountedStringsCarryNulBytesAndCutAt32768) {
    const std::string withNul("a\0b\0", 4);
    Record in(withNul);
    EXPECT_EQ(CountedToString(in.get()), withNul);

    Record out = Record::Output();
    StringToCounted(withNul, out.get());
    EXPECT_EQ(out.Text(), withNul);
    EXPECT_EQ(out.Bytes()[6], '\xA5'); // nothing written after the text

    std::string big(40000, 'q');
    big[32767] = 'L';
    StringToCounted(big, out.get());
    EXPECT_EQ(ToHex(std::string(out.Bytes().data(), 2)), "00 80");
    EXPECT_EQ(out.Text(), big.substr(0, 32768));

    Record max(std::string(65535, 'm'));
    EXPECT_EQ(CountedToString(max.get()).size(), 65535u);
}

TEST(ListFunctions, ListLength) {
    const struct {
        const char* bytes;
        int32_t count;
    } cases[] = {
        {"", 0},
        {"01", 0},
        {"01 01", 2},
        {"05 01 61 62 63 03 04 01 02 05 07 06 F8 80 D1 F0 08", 4},
        {"03 01 61 02", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        Record list(Hex(c.bytes));
        EXPECT_EQ(QDOListLength(list.get()), c.count);
    }
    EXPECT_EQ(QDOListLength(nullptr), 0);
}

TEST(ListFunctions, ListGet) {
    Record list(Hex("05 01 61 62 63 03 04 01 02 05 07 06 F8 80 D1 F0 08 01"));
    const char* expected[] = {"abc", "1", "-1", "1.5", "", ""};
    for (int32_t i = 1; i <= 6; ++i) {
        SCOPED_TRACE(i);
        Record out = Record::Output();
        EXPECT_EQ(QDOListGet(list.get(), i, out.get()), 1);
        EXPECT_EQ(out.Text(), expected[i - 1]);
    }
    Record empty("");
    Record out = Record::Output();
    EXPECT_EQ(QDOListGet(empty.get(), 1, out.get()), 1);
    EXPECT_EQ(out.Length(), 0u);
}

TEST(ListFunctions, ListGetCutsLongElementsAndRefusesBadArguments) {
    std::string text(40000, 'e');
    std::string element = Hex("00") + static_cast<char>((text.size() + 1) & 0xFF) +
                          static_cast<char>((text.size() + 1) >> 8) + '\x01' + text;
    Record list(element);
    Record out = Record::Output();
    EXPECT_EQ(QDOListGet(list.get(), 1, out.get()), 1);
    EXPECT_EQ(ToHex(std::string(out.Bytes().data(), 2)), "00 80");
    EXPECT_EQ(out.Text(), text.substr(0, 32768));

    Record untouched = Record::Output();
    const auto before = untouched.Bytes();
    EXPECT_EQ(QDOListGet(list.get(), 0, untouched.get()), 0);
    EXPECT_EQ(QDOListGet(list.get(), -5, untouched.get()), 0);
    EXPECT_EQ(QDOListGet(nullptr, 1, untouched.get()), 0);
    EXPECT_EQ(QDOListGet(list.get(), 1, nullptr), 0);
    EXPECT_EQ(untouched.Bytes(), before);
}

TEST(ListFunctions, ListSet) {
    const struct {
        const char* before;
        int32_t index;
        std::string value;
        const char* after;
    } cases[] = {
        {"", 3, "x", "01 01 03 01 78"},
        {"", 1, "123", "03 04 7B"},
        {"", 1, "-5", "03 05 FB"},
        {"", 1, "1.5", "07 06 F8 80 D1 F0 08"},
        {"", 1, "", "02 01"},
        {"", 1, std::string("\0", 1), "03 01 00"},
        {"03 01 61 03 01 62", 1, "zz", "04 01 7A 7A 03 01 62"},
        {"01", 1, "a", "01 03 01 61"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.before) + " @" + std::to_string(c.index));
        Record list(Hex(c.before), QDO_STRING_MAX);
        Record value(c.value);
        EXPECT_EQ(QDOListSet(list.get(), c.index, value.get()), 1);
        EXPECT_EQ(ToHex(list.Text()), ToHex(Hex(c.after)));
    }
}

TEST(ListFunctions, ListSetRefusesWhatItCannotStoreWhole) {
    Record value("v");
    Record longValue(std::string(65535, 'v'));
    Record almostFull(std::string(32000, 'w'));
    Record overflowingDecimal("-123456789012.5");
    const std::string original = Hex("03 01 61");
    const struct {
        int32_t index;
        Record* value;
    } refusals[] = {
        {0, &value},
        {-1, &value},
        {1, &longValue},          // over 65534 bytes: no element can hold it
        {1, &overflowingDecimal}, // its scaled value does not fit in 64 bits
        {40000, &value},          // the padding alone would outgrow the record
        {2147483647, &value},
    };
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.index);
        Record list(original, QDO_STRING_MAX);
        const auto before = list.Bytes();
        EXPECT_EQ(QDOListSet(list.get(), r.index, r.value->get()), 0);
        EXPECT_EQ(list.Bytes(), before);
    }

    // A list that would grow past 32768 bytes is refused rather than cut into a malformed one.
    Record list(original, QDO_STRING_MAX);
    EXPECT_EQ(QDOListSet(list.get(), 2, almostFull.get()), 1);
    const auto before = list.Bytes();
    EXPECT_EQ(QDOListSet(list.get(), 3, almostFull.get()), 0);
    EXPECT_EQ(list.Bytes(), before);
    EXPECT_EQ(QDOListLength(list.get()), 2);

    EXPECT_EQ(QDOListSet(nullptr, 1, value.get()), 0);
    EXPECT_EQ(QDOListSet(list.get(), 1, nullptr), 0);
}

TEST(ListFunctions, AListOfExactly32768BytesIsSetAndReadWhole) {
    // A long-form string element takes 4 bytes beside its data.
    const struct {
        size_t data;
        int32_t result;
    } cases[] = {{32763, 1}, {32764, 1}, {32765, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        const std::string text(c.data, 'v');
        Record value(text);
        Record list(std::string(), QDO_STRING_MAX);
        EXPECT_EQ(QDOListSet(list.get(), 1, value.get()), c.result);
        if (c.result == 0) {
            EXPECT_EQ(list.Bytes(), Record(std::string(), QDO_STRING_MAX).Bytes());
            continue;
        }
        EXPECT_EQ(list.Text().size(), c.data + 4);
        EXPECT_EQ(QDOListLength(list.get()), 1);
        Record out = Record::Output();
        EXPECT_EQ(QDOListGet(list.get(), 1, out.get()), 1);
        EXPECT_EQ(out.Text(), text);
    }
}

TEST(ListFunctions, Text) {
    const struct {
        std::string text;
        std::string expression;
    } cases[] = {
        {"", "\"\""},
        {"a\r\nb", "\"a\"_$C(13,10)_\"b\""},
        {std::string("x\0", 2), "\"x\"_$C(0)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expression);
        Record text(c.text);
        Record out = Record::Output();
        EXPECT_EQ(QDOText(text.get(), out.get()), 1);
        EXPECT_EQ(out.Text(), c.expression);
    }
}

TEST(ListFunctions, TextNeverCutsItsResult) {
    // 32765 letters give a literal of 32767 bytes; 32766 letters one of 32768.
    Record fits(std::string(32765, 'a'));
    Record out = Record::Output();
    EXPECT_EQ(QDOText(fits.get(), out.get()), 1);
    EXPECT_EQ(out.Length(), 32767u);

    Record tooLong(std::string(32766, 'a'));
    Record untouched = Record::Output();
    const auto before = untouched.Bytes();
    EXPECT_EQ(QDOText(tooLong.get(), untouched.get()), 0);
    EXPECT_EQ(untouched.Bytes(), before);

    // Control bytes grow fast: 65535 of them would need far more than 32767 bytes.
    Record controls(std::string(65535, '\r'));
    EXPECT_EQ(QDOText(controls.get(), untouched.get()), 0);
    EXPECT_EQ(untouched.Bytes(), before);

    EXPECT_EQ(QDOText(nullptr, untouched.get()), 0);
    EXPECT_EQ(QDOText(fits.get(), nullptr), 0);
}

TEST(ListFunctions, SafeOnManyThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 2000; ++i) {
                Record list("", QDO_STRING_MAX);
                std::string text = std::to_string(t * 10000 + i) + ".5";
                Record value(text);
                Record out = Record::Output();
                if (QDOListSet(list.get(), 2, value.get()) != 1 ||
                    QDOListGet(list.get(), 2, out.get()) != 1 || out.Text() != text)
                    ++failures[static_cast<size_t>(t)];
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

} // namespace
} // namespace qdo
