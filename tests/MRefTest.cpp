// M names, canonical numbers, references and entry references as M code; the record decoders.
#include "encodings/MRef.h"
#include "encodings/MRecords.h"
#include "encodings/Mutils.h"
#include "support/MExpressionDecoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qdo {
namespace {

TEST(MRef, NamesAreCheckedAndTheBadOneIsNamed) {
    for (const char* good :
         {"X", "^X", "%", "^%", "%Z9", "abc123", "^ABCDEFGHIJKLMNOPQRSTUVWXYZabcde"})
        EXPECT_NO_THROW(TMRef{good}) << good;
    const std::string bad[] = {"",
                               "^",
                               "^^X",
                               "1X",
                               "X_Y",
                               "X(1)",
                               "X Y",
                               "X\"",
                               "^X,^Y",
                               "%%",
                               "X%",
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdef", // 32 characters
                               std::string("X\0", 2),
                               "\xc3\xa9t\xc3\xa9",
                               "@X",
                               "|\"ENV\"|X"};
    for (const std::string& name : bad) {
        SCOPED_TRACE(name);
        try {
            TMRef ref(name);
            ADD_FAILURE() << "accepted";
        } catch (const EMRefError& e) {
            EXPECT_NE(e.Message().find("Invalid variable name"), std::string::npos);
            if (!name.empty() && name.find('\0') == std::string::npos) {
                EXPECT_NE(e.Message().find(MText(name)), std::string::npos) << e.Message();
            }
        }
    }
}

TEST(MRef, TextQuotesStringsAndWritesNumbersCanonically) {
    const struct {
        TMRef ref;
        std::string text;
    } cases[] = {
        {TMRef("^X"), "^X"},
        {TMRef("x", {"a"}), "x(\"a\")"},
        {TMRef("^X", {1, "1", "01", -0.5, 2.0, "a\"b"}), "^X(1,\"1\",\"01\",-.5,2,\"a\"\"b\")"},
        {TMRef("^X", {std::string("\0", 1), ""}), "^X($C(0),\"\")"},
        {TMRef("^X", {") k ^Y s z=("}), "^X(\") k ^Y s z=(\")"},
        {TMRef("^X", {"\"_$C(0)_\""}), "^X(\"\"\"_$C(0)_\"\"\")"},
        {TMRef("^X", {int64_t{-999999999999999999}}), "^X(-999999999999999999)"},
        {TMRef("^X", {TMSubscript::Number("1.25")}), "^X(1.25)"},
        {TMRef("^X", {1}).Child("c").Child(2u), "^X(1,\"c\",2)"},
        {TMRef("^X", {1, 2}).Parent(), "^X(1)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.ref.Text(), c.text);
    // Every string subscript, whatever its bytes, is one M expression that evaluates to it.
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    for (const std::string& s : {all, std::string(600, '\0'), std::string("\"\"\"")}) {
        const std::string text = TMRef("X", {s}).Text();
        ASSERT_EQ(text.substr(0, 2), "X(");
        EXPECT_EQ(test::EvaluateMExpression(text.substr(2, text.size() - 3)), s);
    }
}

TEST(MNumber, DoublesAreWrittenAsCanonicalNumbers) {
    const struct {
        double value;
        std::string text;
    } cases[] = {
        {0.0, "0"},
        {-0.0, "0"},
        {1.0, "1"},
        {-1.0, "-1"},
        {0.5, ".5"},
        {-0.5, "-.5"},
        {10.0, "10"},
        {1e20, "100000000000000000000"},
        {1.25e-5, ".0000125"},
        {123.456, "123.456"},
        {-0.001, "-.001"},
        {0.1, ".1"},
        {1.0 / 3, ".3333333333333333"},
        {1e46, "1" + std::string(46, '0')},
        {1e-43, "." + std::string(42, '0') + "1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MNumberText(c.value), c.text) << c.value;
        EXPECT_TRUE(IsMCanonicalNumber(MNumberText(c.value))) << c.value;
    }
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity(), 1e47, -1e300, 1e-44, 5e-324})
        EXPECT_THROW(MNumberText(bad), EMRefError) << bad;
    EXPECT_EQ(MNumberText(int64_t{999999999999999999}), "999999999999999999");
    EXPECT_THROW(MNumberText(int64_t{1000000000000000000}), EMRefError);
    EXPECT_THROW(TMSubscript(uint64_t{18446744073709551615u}), EMRefError);
    EXPECT_THROW(TMSubscript(std::nan("")), EMRefError);
}

TEST(MNumber, CanonicalNumberTexts) {
    const std::vector<std::string> canonical = {"0",
                                                "1",
                                                "-1",
                                                ".5",
                                                "-.5",
                                                "10",
                                                "1.5",
                                                "123456789012345678",
                                                "100000000000000000000",
                                                "-1" + std::string(46, '0'),
                                                ".123456789012345678",
                                                "1234567890.12345678"};
    for (const std::string& yes : canonical)
        EXPECT_TRUE(IsMCanonicalNumber(yes)) << yes;
    const std::vector<std::string> notCanonical = {"",
                                                   "-",
                                                   ".",
                                                   "-0",
                                                   "01",
                                                   "1.0",
                                                   "1.",
                                                   "0.5",
                                                   "-0.5",
                                                   "+1",
                                                   " 1",
                                                   "1 ",
                                                   "1E3",
                                                   "1e3",
                                                   "--1",
                                                   "1-",
                                                   "1..2",
                                                   "1.2.3",
                                                   "1234567890123456789",
                                                   "1.234567890123456789",
                                                   "1" + std::string(47, '0'),
                                                   "0x10",
                                                   "1,5",
                                                   "\"1\"",
                                                   "1) k ^X"};
    for (const std::string& no : notCanonical)
        EXPECT_FALSE(IsMCanonicalNumber(no)) << no;
    EXPECT_TRUE(IsMCanonicalNumber("." + std::string(42, '0') + "1"));
    EXPECT_FALSE(IsMCanonicalNumber("." + std::string(43, '0') + "1"));
    EXPECT_THROW(TMSubscript::Number("1.0"), EMRefError);
    EXPECT_TRUE(TMSubscript::Number("-2").IsNumber());
}

TEST(MRef, EntryReferences) {
    EXPECT_EQ(TMEntryRef("FUNC^%DH").Text(), "FUNC^%DH");
    EXPECT_EQ(TMEntryRef("^Routine").Text(), "^Routine");
    EXPECT_EQ(TMEntryRef("Label", "R2").Text(), "Label^R2");
    EXPECT_EQ(TMEntryRef("^R").Label(), "");
    for (const char* bad : {"", "Label", "^", "L^", "L^R^S", "L+1^R", "^R(1)", "L^R k ^X", "$$L^R",
                            "@X^R", "L^|\"ENV\"|R", "1^R"})
        EXPECT_THROW(TMEntryRef{bad}, EMRefError) << bad;
}

TEST(MRecords, BatchesDecodeToTheirRecords) {
    const std::string nul(1, '\0');
    const auto children = DecodeChildBatch("N1:a11"
                                           "3:v" +
                                               nul +
                                               "1"
                                               "N0:10"
                                               "N2:bc01"
                                               "3::::M",
                                           true);
    ASSERT_EQ(children.Records.size(), 3u);
    EXPECT_FALSE(children.AtEnd);
    EXPECT_EQ(children.Records[0].Subscript, "a");
    EXPECT_TRUE(children.Records[0].HasChildren && children.Records[0].HasValue);
    EXPECT_EQ(children.Records[0].Value, "v" + nul + "1");
    EXPECT_EQ(children.Records[1].Subscript, "");
    EXPECT_TRUE(children.Records[1].HasChildren && !children.Records[1].HasValue);
    EXPECT_EQ(children.Records[2].Value, ":::");
    EXPECT_TRUE(DecodeChildBatch("N1:x01E", false).AtEnd);
    EXPECT_EQ(DecodeChildBatch("N1:x01E", false).Records[0].Value, "");
    EXPECT_TRUE(DecodeChildBatch("E", true).Records.empty());

    const auto nodes = DecodeNodeBatch("N2:ab2:1:x0:N0:1:1:yE", true);
    ASSERT_EQ(nodes.Records.size(), 2u);
    EXPECT_TRUE(nodes.AtEnd);
    EXPECT_EQ(nodes.Records[0].Value, "ab");
    EXPECT_EQ(nodes.Records[0].Subscripts, (std::vector<std::string>{"x", ""}));
    EXPECT_EQ(nodes.Records[1].Subscripts, (std::vector<std::string>{"y"}));
    EXPECT_EQ(DecodeNodeBatch("N1:1:aM", false).Records[0].Subscripts[0], "a");

    EXPECT_FALSE(DecodeQueryReply("E"));
    EXPECT_EQ(*DecodeQueryReply("N2:1:a3:b\"c"), (std::vector<std::string>{"a", "b\"c"}));
}

TEST(MRecords, MalformedRepliesAreRefused) {
    for (const char* bad :
         {"", "N", "N1:", "N2:a11E", "N1:a1", "N1:a12E", "N1:a11", "X", "EE", "E ", "M1", "Nx:a11E",
          "N-1:a11E", "N1a11E", "N01:a11E", "N99999999999999999999999:aE"})
        EXPECT_THROW(DecodeChildBatch(bad, false), EConvertError) << bad;
    for (const char* bad :
         {"", "N", "N1:a", "N0:", "N3:abc1:", "N0:0:", "N0:0:EE", "N0:18446744073709551615:E"})
        EXPECT_THROW(DecodeNodeBatch(bad, true), EConvertError) << bad;
    for (const char* bad : {"", "M", "N", "N1:", "N1:1:aE", "E1", "N0:x"})
        EXPECT_THROW(DecodeQueryReply(bad), EConvertError) << bad;
}

TEST(MRecords, ARefusalGivesTheFirstFaultAndTheNonThrowingFormAgrees) {
    struct Case {
        const char* reply;
        const char* reason;
    };
    for (const Case& c :
         {Case{"N5:abc", "the reply ends inside a record"}, Case{"N1:a2", "a flag is not 0 or 1"},
          Case{"N1:a11x", "a record starts with neither N, E nor M"},
          Case{"N1:a11Ex", "bytes follow the end marker"}}) {
        TMBatch<TMChildRecord> batch;
        EXPECT_STREQ(TryDecodeChildBatch(c.reply, false, batch), c.reason) << c.reply;
        try {
            DecodeChildBatch(c.reply, false);
            ADD_FAILURE() << c.reply;
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(),
                      std::string("The server's records cannot be read: ") + c.reason + ".");
        }
    }
    TMBatch<TMChildRecord> batch;
    EXPECT_EQ(TryDecodeChildBatch("N1:a111:vN1:b10E", true, batch), nullptr);
    EXPECT_EQ(batch.Records.size(), 2u);
}

} // namespace
} // namespace qdo
