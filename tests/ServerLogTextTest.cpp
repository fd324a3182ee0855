// What of a text reaches the server's log: escaping on byte strings, the message mnemonic of an
// M error, the host of a peer, and the summaries of refusal floods on a clock of the test's.
#include "server/LogText.h"
#include "server/RefusalLog.h"

#include <gtest/gtest.h>

#include <string>

namespace qdo::server {
namespace {

using namespace std::string_literals;

TEST(ServerLogText, EscapeKeepsPrintableTextAndEscapesEverythingElse) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"", ""},
        {"plain text 127.0.0.1:7001 ~!", "plain text 127.0.0.1:7001 ~!"},
        {"a\\b", "a\\\\b"}, // a backslash cannot pass for an escape
        {"one\ntwo\rthree\tfour", "one\\ntwo\\rthree\\tfour"},
        {"x\n2026-12-09T00:00:00Z error [listener 1] forged",
         "x\\n2026-12-09T00:00:00Z error [listener 1] forged"},
        {"\x1b[31mred\x1b]0;title\x07", "\\x1B[31mred\\x1B]0;title\\x07"},
        {"nul\0in"s, "nul\\x00in"},
        {"del\x7f", "del\\x7F"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"c1 \xc2\x9b"
         "31m \xc2\x85",
         "c1 \\xC2\\x9B31m \\xC2\\x85"},                                  // CSI and NEL as C1
        {"\xe2\x80\xa8 \xe2\x80\xae", "\\xE2\\x80\\xA8 \\xE2\\x80\\xAE"}, // line separator, RLO
        {"stray \x80 \xbf", "stray \\x80 \\xBF"},
        {"cut \xe2\x82", "cut \\xE2\\x82"}, // a sequence that ends early
        {"overlong \xc0\xaf \xe0\x80\xaf", "overlong \\xC0\\xAF \\xE0\\x80\\xAF"},
        {"surrogate \xed\xa0\x80", "surrogate \\xED\\xA0\\x80"},
        {"too high \xf4\x90\x80\x80 \xf5", "too high \\xF4\\x90\\x80\\x80 \\xF5"},
        {"\xff\xfe", "\\xFF\\xFE"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        const std::string escaped = EscapeForLog(c.in);
        EXPECT_EQ(escaped, c.out);
        for (unsigned char byte : escaped)
            EXPECT_TRUE(byte >= 0x20 && byte != 0x7f) << static_cast<int>(byte);
    }
}

TEST(ServerLogText, EveryByteValueComesOutOnOneLineWithoutControls) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    for (const std::string& text : {all, all + all.substr(0x80) + all.substr(0xc0, 3)}) {
        const std::string escaped = EscapeForLog(text);
        // None of these bytes make a whole UTF-8 sequence, so none of 0x80 and above is kept.
        for (unsigned char byte : escaped)
            EXPECT_TRUE(byte >= 0x20 && byte < 0x7f) << static_cast<int>(byte);
    }
}

TEST(ServerLogText, MnemonicIsTheMessageNameAndNothingElse) {
    const struct {
        std::string status;
        std::string mnemonic;
    } cases[] = {
        {"150373850,+1^x,%GTM-E-UNDEF, Undefined local variable: secret", "%GTM-E-UNDEF"},
        {"150372994,get+3^qdosrv,%GTM-E-GVUNDEF, Global variable undefined: ^X(\"%GTM-E-FAKE\")",
         "%GTM-E-GVUNDEF"},
        {"%QDO-E-NAMESPACE, Namespace does not exist: x", "%QDO-E-NAMESPACE"},
        {"%GTM-F-FORCEDHALT, Image HALTed by MUPIP STOP", "%GTM-F-FORCEDHALT"},
        {"100% -E-X, %gtm-e-lower, %GTM-EE-X, %GTM-E-", ""},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MessageMnemonic(c.status), c.mnemonic) << c.status;
}

TEST(ServerLogText, GtmLinesAreLoggedAtTheirSeverity) {
    EXPECT_EQ(GtmLineLevel("%GTM-E-DBRNDWN, Error during global database rundown"),
              TLogLevel::Error);
    EXPECT_EQ(GtmLineLevel("%GTM-F-GTMASSERT, assert failed"), TLogLevel::Error);
    EXPECT_EQ(GtmLineLevel("%GTM-W-MUNOTALLSEC, not all"), TLogLevel::Warning);
    EXPECT_EQ(GtmLineLevel("%GTM-I-MUJNLSTAT, End processing"), TLogLevel::Info);
    EXPECT_EQ(GtmLineLevel("ls: cannot access 'x': No such file"), TLogLevel::Info);
    EXPECT_EQ(GtmLineLevel("%QDO-E-OTHER, not GT.M's"), TLogLevel::Info);
}

TEST(ServerLogText, PeersAreGroupedByHostAndLongTextsShortened) {
    EXPECT_EQ(PeerHost("10.1.2.3:45678"), "10.1.2.3");
    EXPECT_EQ(PeerHost("[::1]:7001"), "::1");
    EXPECT_EQ(PeerHost("::1"), "::1");
    EXPECT_EQ(PeerHost("?"), "?");
    EXPECT_EQ(Shortened("abc", 3), "abc");
    EXPECT_EQ(Shortened("abcdef", 3), "abc ... (6 bytes in all)");
}

using Clock = TRefusalLog::Clock;

TEST(ServerRefusalLog, AFloodIsLoggedInFullThenCountedPerReasonAndHost) {
    TRefusalLog log(3, std::chrono::seconds(10));
    const Clock::time_point start{};
    int full = 0;
    for (int i = 0; i < 200; ++i)
        full += log.Note("10.0.0.1:" + std::to_string(1000 + i), "a wrong logon",
                         start + std::chrono::milliseconds(i));
    EXPECT_EQ(full, 3);
    // Another reason, and another host, have windows of their own.
    EXPECT_TRUE(log.Note("10.0.0.1:5", "not a request", start));
    EXPECT_TRUE(log.Note("10.0.0.2:5", "a wrong logon", start));
    EXPECT_EQ(log.NextSummary(), start + std::chrono::seconds(10));
    EXPECT_TRUE(log.TakeSummaries(start + std::chrono::seconds(9)).empty());
    const auto lines = log.TakeSummaries(start + std::chrono::seconds(10));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "refused 197 more connections from 10.0.0.1 (a wrong logon) in the last "
                        "10 s");
    EXPECT_FALSE(log.NextSummary());
    // The next window logs in full again.
    EXPECT_TRUE(log.Note("10.0.0.1:9", "a wrong logon", start + std::chrono::seconds(11)));
}

TEST(ServerRefusalLog, ARefusalAfterTheWindowBringsItsSummaryOutAndStopFlushesAll) {
    TRefusalLog log(1, std::chrono::seconds(10));
    const Clock::time_point start{};
    EXPECT_TRUE(log.Note("h:1", "r", start));
    EXPECT_FALSE(log.Note("h:2", "r", start + std::chrono::seconds(1)));
    EXPECT_TRUE(log.Note("h:3", "r", start + std::chrono::seconds(12)));
    EXPECT_FALSE(log.Note("h:4", "r", start + std::chrono::seconds(13)));
    EXPECT_FALSE(log.Note("h:5", "r", start + std::chrono::seconds(13)));
    const auto lines = log.TakeSummaries(start + std::chrono::seconds(14), true);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "refused 1 more connection from h (r) in the last 10 s");
    EXPECT_EQ(lines[1], "refused 2 more connections from h (r) in the last 2 s");
    EXPECT_TRUE(log.TakeSummaries(start + std::chrono::seconds(100), true).empty());
}

TEST(ServerRefusalLog, ManyHostsShareOneCountBeyondTheLimit) {
    TRefusalLog log(1, std::chrono::seconds(10), 4);
    const Clock::time_point start{};
    int full = 0;
    for (int i = 0; i < 100; ++i)
        full += log.Note("10.0.0." + std::to_string(i) + ":1", "r", start);
    EXPECT_EQ(full, 5); // four hosts of their own, then "other hosts" once in full
    const auto lines = log.TakeSummaries(start, true);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "refused 95 more connections from other hosts (r) in the last 1 s");
}

} // namespace
} // namespace qdo::server
