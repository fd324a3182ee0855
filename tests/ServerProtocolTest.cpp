// The server's pure pieces: cutting client requests, plain references, the namespace switch,
// reply frames, error replies, mailbox messages.
#include "protocol/Replies.h"
#include "server/MSyntax.h"
#include "server/Mailbox.h"
#include "server/RequestReader.h"
#include "support/Bytes.h"

#include <gtest/gtest.h>

namespace qdo::server {

using protocol::reply::AppendError;
using protocol::reply::AppendOk;
using protocol::reply::AppendValue;
namespace {

using test::ToHex;
using TResult = TRequestReader::TResult;

const std::string Z(1, '\0');

struct RequestCase {
    std::string bytes;
    TRequestKind kind;
    std::string first;
    std::string second;
};

TEST(ServerRequests, EveryRequestIsCutWholeFromEveryPrefix) {
    const RequestCase cases[] = {
        {"r" + Z + "5" + Z + "^X(1)", TRequestKind::Read, "^X(1)", ""},
        {"r" + Z + "0" + Z, TRequestKind::Read, "", ""},
        {"w" + Z + "2" + Z + "^X3" + Z + "a" + Z + "c", TRequestKind::Write, "^X", "a" + Z + "c"},
        {"w" + Z + "0" + Z + "0" + Z, TRequestKind::Write, "", ""},
        {"k" + Z + "2" + Z + "^X", TRequestKind::Kill, "^X", ""},
        {"x" + Z + "3" + Z + "w 1", TRequestKind::Execute, "w 1", ""},
        {"t" + Z + "3" + Z + "w 1", TRequestKind::Terminal, "w 1", ""},
        {"c" + Z + "2" + Z + "ok", TRequestKind::CallbackAnswer, "ok", ""},
        {"b" + Z + "5" + Z + "k" + Z + "1" + Z + "X", TRequestKind::Batch, "k" + Z + "1" + Z + "X",
         ""},
        {"fl:4" + Z + "\x04\x01^X", TRequestKind::GroupRead, "\x04\x01^X", ""},
        {"si:3" + Z +
             "\x03\x01"
             "a",
         TRequestKind::ClientAddress,
         "\x03\x01"
         "a",
         ""},
        {"lg:token" + Z, TRequestKind::Logon, "token", ""},
        {"st", TRequestKind::Store, "", ""},
        {"MR:op:S1" + Z + Z, TRequestKind::OpenSession, "S1", ""},
        {"MR:bfl:" + Z, TRequestKind::CancelGroupRead, "", ""},
        {"MR:cr:USER:2" + Z + "\x02\x01", TRequestKind::Create, "USER", "\x02\x01"},
        {"<CALLBACK>3:0" + Z, TRequestKind::Acknowledge, "3", ""},
    };
    TRequestReader reader(1 << 20);
    for (const auto& c : cases) {
        SCOPED_TRACE(ToHex(c.bytes));
        for (size_t cut = 0; cut < c.bytes.size(); ++cut) {
            TRequest request;
            size_t consumed = 0;
            std::string reason;
            // The Open-session request ends at its first NUL: its second NUL is the next one.
            const std::string_view part = std::string_view(c.bytes).substr(0, cut);
            const TResult r = reader.Next(part, request, consumed, reason);
            if (c.kind == TRequestKind::OpenSession && cut == c.bytes.size() - 1) {
                EXPECT_EQ(r, TResult::Whole);
                continue;
            }
            ASSERT_EQ(r, TResult::NeedMore) << "at " << cut << ": " << reason;
        }
        TRequest request;
        size_t consumed = 0;
        std::string reason;
        ASSERT_EQ(reader.Next(c.bytes + "r" + Z, request, consumed, reason), TResult::Whole)
            << reason;
        EXPECT_EQ(request.Kind, c.kind);
        EXPECT_EQ(ToHex(request.First), ToHex(c.first));
        EXPECT_EQ(ToHex(request.Second), ToHex(c.second));
        EXPECT_EQ(consumed,
                  c.kind == TRequestKind::OpenSession ? c.bytes.size() - 1 : c.bytes.size());
    }
}

TEST(ServerRequests, MalformedRequestsAreRefused) {
    const std::string cases[] = {
        "q",                                   // unknown command
        "r1",                                  // no NUL after the command
        "r" + Z + "x" + Z,                     // a length that is no number
        "r" + Z + Z,                           // an empty length
        "r" + Z + "12345678901" + Z,           // more digits than any length
        "r" + Z + "2000" + Z,                  // over the limit of this reader
        "w" + Z + "1" + Z + "a" + "999" + Z,   // a value over the limit
        "lg:" + std::string(2000, 't'),        // a token longer than any
        "MR:xx:",                              // an unknown session request
        "<CALLBACK>" + std::string(2000, '1'), // an identifier longer than any
    };
    TRequestReader reader(1000);
    for (const auto& bytes : cases) {
        SCOPED_TRACE(ToHex(bytes.substr(0, 20)));
        TRequest request;
        size_t consumed = 0;
        std::string reason;
        EXPECT_EQ(reader.Next(bytes, request, consumed, reason), TResult::Malformed);
        EXPECT_FALSE(reason.empty());
    }
}

TEST(ServerSyntax, PlainReferences) {
    const struct {
        std::string text;
        bool plain;
        std::string name;
        std::vector<std::string> subscripts;
    } cases[] = {
        {"^X", true, "^X", {}},
        {"x", true, "x", {}},
        {"%y", true, "%y", {}},
        {"^%Z9(1)", true, "^%Z9", {"1"}},
        {"^X(1,\"a\",-5,0)", true, "^X", {"1", "a", "-5", "0"}},
        {"^X(\"a\"\"b\",\"\")", true, "^X", {"a\"b", ""}},
        {"^X(1,2,3,4,5,6,7,8)", true, "^X", {"1", "2", "3", "4", "5", "6", "7", "8"}},
        {"^X(1,2,3,4,5,6,7,8,9)", false, "", {}},
        {"^X(01)", false, "", {}},
        {"^X(-0)", false, "", {}},
        {"^X(1.5)", false, "", {}},
        {"^X(1+1)", false, "", {}},
        {"^X(a)", false, "", {}},
        {"^X(1)+1", false, "", {}},
        {"^X(1", false, "", {}},
        {"^X()", false, "", {}},
        {"^X(\"a)", false, "", {}},
        {"$$f()", false, "", {}},
        {"^|\"g\"|X", false, "", {}},
        {"1", false, "", {}},
        {"", false, "", {}},
        {"^X(1234567890123456)", false, "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto reference = ParsePlainReference(c.text);
        ASSERT_EQ(reference.has_value(), c.plain);
        if (reference) {
            EXPECT_EQ(reference->Name, c.name);
            EXPECT_EQ(reference->Subscripts, c.subscripts);
        }
    }
}

TEST(ServerSyntax, NamespaceSwitch) {
    EXPECT_EQ(ParseNamespaceSwitch("zn \"USER\""), "USER");
    EXPECT_EQ(ParseNamespaceSwitch("  ZNSPACE  \"%SYS\"  "), "%SYS");
    EXPECT_EQ(ParseNamespaceSwitch("Zn \"a\"\"b\""), "a\"b");
    EXPECT_EQ(ParseNamespaceSwitch("zn \"\""), "");
    EXPECT_FALSE(ParseNamespaceSwitch("zn USER"));
    EXPECT_FALSE(ParseNamespaceSwitch("zn \"USER\" write 1"));
    EXPECT_FALSE(ParseNamespaceSwitch("znx \"USER\""));
    EXPECT_FALSE(ParseNamespaceSwitch("write \"zn\""));
    EXPECT_TRUE(IsNamespaceName("%SYS"));
    EXPECT_TRUE(IsNamespaceName("USER_2-b"));
    EXPECT_FALSE(IsNamespaceName(""));
    EXPECT_FALSE(IsNamespaceName("../etc"));
    EXPECT_FALSE(IsNamespaceName("a/b"));
    EXPECT_FALSE(IsNamespaceName(std::string(32, 'A')));
}

TEST(ServerFrames, ValuesAreCutIntoChunksOfAtMost32000Bytes) {
    std::string out;
    AppendValue(out, "");
    EXPECT_EQ(out, "");
    AppendValue(out, "abc");
    EXPECT_EQ(ToHex(out), ToHex("<GO ON>:3" + Z + "abc"));
    out.clear();
    AppendValue(out, std::string(32001, 'v'));
    EXPECT_EQ(out, "<GO ON>:32000" + Z + std::string(32000, 'v') + "<GO ON>:1" + Z + "v");
    out.clear();
    AppendOk(out);
    AppendError(out, ",M9,", "150373210,xec+3^x,%GTM-E-DIVZERO, Attempt" + Z + " to divide");
    EXPECT_EQ(
        ToHex(out),
        ToHex("<OK>" + Z + "<ERROR>:,M9,:150373210,xec+3^x,%GTM-E-DIVZERO, Attempt to divide" + Z));
}

TEST(ServerRequests, TheKindOfARequestShowsFromItsPrefix) {
    const struct {
        std::string bytes;
        TResult result;
        TRequestKind kind;
    } cases[] = {
        {"", TResult::NeedMore, TRequestKind::Read},
        {"MR:b", TResult::NeedMore, TRequestKind::Read},
        {"MR:bfl:", TResult::Whole, TRequestKind::CancelGroupRead},
        {"MR:op:abc", TResult::Whole, TRequestKind::OpenSession},
        {"r" + Z, TResult::Whole, TRequestKind::Read},
        {"w" + Z + "9999", TResult::Whole, TRequestKind::Write},
        {"GET / HTTP/1.1", TResult::Malformed, TRequestKind::Read},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToHex(c.bytes));
        TRequestKind kind = TRequestKind::Read;
        EXPECT_EQ(TRequestReader::KindOf(c.bytes, kind), c.result);
        if (c.result == TResult::Whole) {
            EXPECT_EQ(kind, c.kind);
        }
    }
}

TEST(ServerFrames, ErrorRepliesAreReadBackIntoTheirFields) {
    std::string frame;
    AppendError(frame, ",M9,", "150373210,+1^x,%GTM-E-DIVZERO: a: b");
    const std::string header = frame.substr(0, frame.size() - 1);
    const auto fields = protocol::reply::ReadError(header); // views into `header`
    EXPECT_EQ(fields.ECode, ",M9,");
    EXPECT_EQ(fields.Text, "150373210,+1^x,%GTM-E-DIVZERO: a: b");
    EXPECT_EQ(protocol::reply::ReadError("<OK>").ECode, "");
    EXPECT_EQ(protocol::reply::ReadError("<ERROR>bad:1").ECode, "");
}

TEST(Mailbox, MessagesSurviveTheirDatagramsAndNothingElseIsOne) {
    for (const TMailMessage& message :
         {TMailMessage{TMailMessage::Event, "Stock", "ACME" + Z + "12"},
          TMailMessage{TMailMessage::ClientCall, "/run/call-1-1.box", std::string(32700, 'c')},
          TMailMessage{TMailMessage::Answer, "", ""}, TMailMessage{TMailMessage::Cancel, "", ""},
          TMailMessage{TMailMessage::Attach, "token", ""}}) {
        const auto back = DecodeMail(EncodeMail(message));
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->Kind, message.Kind);
        EXPECT_EQ(back->First, message.First);
        EXPECT_EQ(back->Second, message.Second);
    }
    const std::string good = EncodeMail({TMailMessage::Event, "a", "b"});
    for (const std::string& bad :
         {std::string(), std::string("Z") + good.substr(1), good.substr(0, good.size() - 1),
          good + "x", std::string("E\xff\xff\xff\xff")}) {
        SCOPED_TRACE(ToHex(bad));
        EXPECT_FALSE(DecodeMail(bad).has_value());
    }
    EXPECT_TRUE(IsSessionName("0123456789abcdefABCDEF"));
    for (const std::string& bad :
         {std::string(), std::string("../x"), std::string(65, 'a'), std::string("a b"), "a" + Z})
        EXPECT_FALSE(IsSessionName(bad));
}

} // namespace
} // namespace qdo::server
