// The pure rules of the JSON mapping on byte strings: UTF-8 checks, string escapes, JSON numbers
// to canonical M numbers and back, the export's records, and the import's refusals that come
// before anything would be sent (invalid JSON and its offset, nesting deeper than M allows).
#include "connect/Database.h"
#include "connect/Json.h"
#include "connect/Qdoconnect.h"
#include "encodings/JsonText.h"
#include "encodings/MRecords.h"

#include <gtest/gtest.h>

#include <sstream>

namespace qdo {
namespace {

TEST(JsonText, Utf8IsCheckedStrictly) {
    const struct {
        std::string bytes;
        bool valid;
    } cases[] = {
        {"", true},
        {"plain ascii \x01\x7f", true},
        {"\xc3\xa9", true},             // é
        {"\xe2\x82\xac", true},         // €
        {"\xf0\x9f\x98\x80", true},     // an emoji
        {"\xf4\x8f\xbf\xbf", true},     // U+10FFFF
        {std::string("a\0b", 3), true}, // NUL is a character
        {"\xc3", false},                // cut short
        {"\xe2\x82", false},            // cut short
        {"\x80", false},                // a continuation byte first
        {"\xc0\xaf", false},            // overlong '/'
        {"\xe0\x80\xaf", false},        // overlong
        {"\xed\xa0\x80", false},        // a surrogate
        {"\xf4\x90\x80\x80", false},    // above U+10FFFF
        {"\xff", false},                // never in UTF-8
        {"\xc3\x28", false},            // no continuation
        {"caf\xe9", false},             // Latin-1
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
}

TEST(JsonText, StringsEscapeQuotesBackslashesAndControlCharacters) {
    const struct {
        std::string bytes;
        std::string json;
    } cases[] = {
        {"", "\"\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"a\\b", "\"a\\\\b\""},
        {"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
        {std::string("\0\x01\x1f", 3), "\"\\u0000\\u0001\\u001f\""},
        {"/ \x7f \xc3\xa9", "\"/ \x7f \xc3\xa9\""}, // written as they are
    };
    for (const auto& c : cases) {
        std::string out;
        AppendJsonString(out, c.bytes);
        EXPECT_EQ(out, c.json);
    }
}

TEST(JsonText, JsonNumbersBecomeCanonicalMNumbersExactly) {
    const struct {
        const char* json;
        const char* m;
    } cases[] = {
        {"0", "0"},
        {"-0", "0"},
        {"0.000", "0"},
        {"0e99999", "0"},
        {"1", "1"},
        {"-12", "-12"},
        {"1.50", "1.5"},
        {"0.5", ".5"},
        {"-0.25", "-.25"},
        {"1e3", "1000"},
        {"1E+3", "1000"},
        {"2.5E-2", ".025"},
        {"-125e-2", "-1.25"},
        {"100", "100"},
        {"123456789012345678", "123456789012345678"},   // 18 digits
        {"1234567890123456780", "1234567890123456780"}, // 18 significant digits
        {"1e46", "10000000000000000000000000000000000000000000000"},
        {"1e-43", ".0000000000000000000000000000000000000000001"},
        {"0.000000000000000000000000000000000000000000100",
         ".0000000000000000000000000000000000000000001"},
    };
    for (const auto& c : cases) {
        std::string reason;
        const auto m = MNumberFromJson(c.json, &reason);
        ASSERT_TRUE(m) << c.json << ": " << reason;
        EXPECT_EQ(*m, c.m) << c.json;
        EXPECT_TRUE(IsMCanonicalNumber(*m)) << c.json;
    }
}

TEST(JsonText, NumbersMCannotHoldExactlyAreRefusedWithTheReason) {
    const struct {
        const char* json;
        const char* reason;
    } cases[] = {
        {"1234567890123456789", "18 significant"},
        {"0.1234567890123456789", "18 significant"},
        {"1.0000000000000000001", "18 significant"},
        {"1e47", "range"},
        {"-1e47", "range"},
        {"1e-44", "range"},
        {"1e999999999999999999999", "range"},
        {"1e-999999999999999999999", "range"},
        {"01", "not a JSON number"},
        {"1.", "not a JSON number"},
        {".5", "not a JSON number"},
        {"+1", "not a JSON number"},
        {"1e", "not a JSON number"},
        {"", "not a JSON number"},
        {"1 ", "not a JSON number"},
    };
    for (const auto& c : cases) {
        std::string reason;
        EXPECT_FALSE(MNumberFromJson(c.json, &reason)) << c.json;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.json << ": " << reason;
    }
}

TEST(JsonText, CanonicalMNumbersAreWrittenAsJsonNumbers) {
    const struct {
        const char* m;
        const char* json;
    } cases[] = {
        {"0", "0"},   {".5", "0.5"},    {"-.25", "-0.25"},
        {"12", "12"}, {"-1.5", "-1.5"}, {"100000000000000000000", "100000000000000000000"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JsonNumberFromM(c.m), c.json);
        // and back: the JSON number names the same M number
        EXPECT_EQ(MNumberFromJson(c.json, nullptr).value_or("?"), c.m);
    }
}

TEST(JsonRecords, NodeBatchesAndRootsDecode) {
    const auto batch = DecodeJsonNodeBatch("N1:v0:2:O1:aL1:bN0:1:1:L1:cM");
    ASSERT_EQ(batch.Records.size(), 2u);
    EXPECT_FALSE(batch.AtEnd);
    EXPECT_EQ(batch.Records[0].Value, "v");
    EXPECT_EQ(batch.Records[0].Common, 0u);
    ASSERT_EQ(batch.Records[0].Levels.size(), 2u);
    EXPECT_EQ(batch.Records[0].Levels[0].Shape, 'O');
    EXPECT_EQ(batch.Records[0].Levels[1].Subscript, "b");
    EXPECT_EQ(batch.Records[1].Value, "");
    EXPECT_EQ(batch.Records[1].Common, 1u);
    EXPECT_TRUE(DecodeJsonNodeBatch("E").AtEnd);

    const auto root = DecodeJsonRoot("O11:v");
    EXPECT_EQ(root.Shape, 'O');
    EXPECT_TRUE(root.HasValue);
    EXPECT_EQ(root.Value, "v");
    EXPECT_EQ(DecodeJsonRoot("X0").Shape, 'X');
    EXPECT_EQ(DecodeJsonRoot("A0").Shape, 'A');
}

TEST(JsonRecords, MalformedRecordsAreRefused) {
    for (const char* reply : {"", "N1:v0:0:E",     // a record that names no node
                              "N1:v0:1:A1:aE",     // the node itself cannot be an array
                              "N1:v0:2:L1:aL1:bE", // a leaf above a node
                              "N1:v0:1:Q1:aE", "N1:v0:1:L1:aEx", "N1:v0:1:L1:a"})
        EXPECT_THROW(DecodeJsonNodeBatch(reply), EConvertError) << reply;
    for (const char* reply : {"", "X1", "X11:v", "L0", "A11:v", "Q0", "O0x"})
        EXPECT_THROW(DecodeJsonRoot(reply), EConvertError) << reply;
}

// Import errors found before any value is complete: nothing is sent, so no server is needed
// (a set on this connection, which is not open, would raise another error).
class JsonImportRefusal : public ::testing::Test {
protected:
    EMJsonError Refusal(const std::string& document, const TMRef& root = TMRef("^J")) {
        TQdoConnect connection;
        TMDatabase database(connection);
        std::istringstream in(document);
        try {
            ImportJson(database, root, in);
        } catch (const EMJsonError& error) {
            return error;
        }
        ADD_FAILURE() << "no EMJsonError for " << document;
        return EMJsonError("none");
    }
};

TEST_F(JsonImportRefusal, InvalidJsonGivesTheByteOffset) {
    const struct {
        std::string document;
        int64_t offset;
    } cases[] = {
        {"", 0},
        {"   ", 3},
        {"{\"a\" 1}", 5},
        {"[[] []]", 4},
        {"[tru]", 4},
        {"{\"a\":}", 5},
        {"[\"\xff\"]", 2},    // not UTF-8
        {"[\"a\nb\"]", 3},    // a raw control character in a string
        {"[\"\\ud800\"]", 8}, // a lone surrogate
        {"[] []", 3},         // something after the value
        {"[-a]", 2},
        {"{\"a\":[", 6},                  // cut short
        {std::string("[]\0[", 4), 2},     // a NUL does not end the document
        {std::string("[\"a\0\"]", 6), 3}, // nor does it stand in a string
        {std::string("\0", 1), 0},
    };
    for (const auto& c : cases) {
        const EMJsonError error = Refusal(c.document);
        EXPECT_EQ(error.Offset(), c.offset)
            << testing::PrintToString(c.document) << ": " << error.Message();
        EXPECT_NE(error.Message().find("byte offset " + std::to_string(error.Offset())),
                  std::string::npos)
            << error.Message();
        if (c.document.find('\0') != std::string::npos) {
            EXPECT_NE(error.Message().find("a NUL byte"), std::string::npos) << error.Message();
        }
    }
}

TEST_F(JsonImportRefusal, NestingDeeperThanMAllowsIsRefused) {
    // 31 levels of arrays put the innermost values at 31 subscripts; a 32nd level is refused.
    const auto nested = [](int depth) {
        return std::string(static_cast<size_t>(depth), '[') +
               std::string(static_cast<size_t>(depth), ']');
    };
    EXPECT_NE(Refusal(nested(32)).Message().find("deeper than M's 31 subscripts"),
              std::string::npos);
    // The root's own subscripts count: below ^J(1,2,...,30) there is room for one level only.
    std::vector<TMSubscript> thirty;
    for (int i = 1; i <= 30; ++i)
        thirty.emplace_back(i);
    EXPECT_NE(Refusal(nested(2), TMRef("^J", thirty)).Message().find("deeper"), std::string::npos);
    // The same document deep enough but a million levels long is refused as soon as it is too
    // deep, whatever follows.
    EXPECT_NE(Refusal(std::string(1000000, '[')).Message().find("deeper"), std::string::npos);
}

TEST_F(JsonImportRefusal, TheEmptyKeyHoldsAScalarOnly) {
    EXPECT_NE(Refusal("{\"\":{}}").Message().find("key \"\""), std::string::npos);
    EXPECT_NE(Refusal("{\"a\":{\"\":[]}}").Message().find("key \"\""), std::string::npos);
}

} // namespace
} // namespace qdo
