// Transactions without a server: the line a transaction becomes (values inline while it fits,
// the longest sent first as locals when it does not), the requests Run sends against an
// in-memory peer, and the decoding of a transaction's reply.
#include "connect/DataLines.h"
#include "connect/Database.h"
#include "connect/Qdoconnect.h"
#include "connect/TransactionLine.h"
#include "encodings/MRecords.h"
#include "support/Connection.h"

#include <gtest/gtest.h>

namespace qdo {
namespace {

using test::AcceptInline;
using test::Chunk;
using test::Nul;
using test::Ok;
using test::OneArgument;
using test::OpenOn;
using Peer = test::MemoryPeer;

TEST(TransactionLine, EachOperationInOrderResultsWrittenAfterTheCommit) {
    TMTransaction tx;
    tx.Set(TMRef("^A", {1, "x\""}), std::string("v\0", 2));
    tx.Get(TMRef("^A", {1}));
    tx.Kill(TMRef("^B"));
    tx.Increment(TMRef("^C"), -0.5);
    tx.Merge(TMRef("^D", {2}), TMRef("^E"));
    tx.Function(TMEntryRef("f^r"), {"a", 3});
    const lines::TTransactionLine line = lines::Transaction(tx);
    EXPECT_EQ(line.Line, "n %qdotr,%qdoI TS (%qdotr):SERIAL s ^A(1,\"x\"\"\")=\"v\"_$C(0) "
                         "s %qdotr(1)=^A(1) k ^B s %qdotr(2)=$I(^C,-.5) m ^D(2)=^E "
                         "s %qdotr(3)=$$f^r(\"a\",3) s %qdotr=$TRESTART TC  w %qdotr,\":\" "
                         "f %qdoI=1:1:3 w $L(%qdotr(%qdoI)),\":\",%qdotr(%qdoI)");
    EXPECT_TRUE(line.LocalValues.empty());
    EXPECT_EQ(tx.ResultCount(), 3u);
}

// The line that just fits keeps its value inline; one byte more and the value goes first; of
// several, only the longest go, as many as the line needs.
TEST(TransactionLine, TheLongestValuesGoFirstOnlyWhenTheLineWouldNotFit) {
    const auto lineWith = [](size_t valueLength) {
        TMTransaction tx;
        tx.Set(TMRef("^A"), std::string(valueLength, 'v'));
        return lines::Transaction(tx);
    };
    const size_t overhead = lineWith(0).Line.size();
    EXPECT_EQ(lineWith(lines::MaxLineLength - overhead).Line.size(), lines::MaxLineLength);
    EXPECT_TRUE(lineWith(lines::MaxLineLength - overhead).LocalValues.empty());
    const lines::TTransactionLine moved = lineWith(lines::MaxLineLength - overhead + 1);
    EXPECT_EQ(moved.LocalValues, std::vector<size_t>{0});
    EXPECT_EQ(moved.Line, "n %qdotr,%qdoI TS (%qdotr):SERIAL s ^A=%qdotv(1) s %qdotr=$TRESTART TC  "
                          "k %qdotv w %qdotr,\":\"");

    TMTransaction tx;
    tx.Set(TMRef("^A", {0}), std::string(3500, 'a'));
    tx.Set(TMRef("^A", {1}), std::string(5000, 'b'));
    tx.Kill(TMRef("^A", {2}));
    tx.Set(TMRef("^A", {3}), std::string(4000, '\x01')); // $C(1,1,...): the longest code
    tx.Set(TMRef("^A", {4}), "small");
    const lines::TTransactionLine line = lines::Transaction(tx);
    EXPECT_EQ(line.LocalValues, (std::vector<size_t>{3, 1}));
    EXPECT_LE(line.Line.size(), lines::MaxLineLength);
    EXPECT_NE(line.Line.find("s ^A(3)=%qdotv(4) "), std::string::npos);
    EXPECT_NE(line.Line.find("s ^A(4)=\"small\" "), std::string::npos);
}

TEST(TransactionLine, RefusesWhatCannotRun) {
    TMTransaction tx;
    EXPECT_THROW(lines::Transaction(tx), EMRefError); // empty
    EXPECT_THROW(tx.Set(TMRef("local"), "v"), EMRefError);
    EXPECT_THROW(tx.Get(TMRef("%qdotr")), EMRefError);
    EXPECT_THROW(tx.Merge(TMRef("^A"), TMRef("b")), EMRefError);
    EXPECT_THROW(tx.Increment(TMRef("^A"), "01"), EMRefError);
    for (int i = 0; i < 40; ++i)
        tx.Kill(TMRef("^A", {std::string(100, '\x02')})); // code, not values, too long
    EXPECT_THROW(lines::Transaction(tx), EMRefError);
}

TEST(TransactionReply, DecodesTheRestartsAndEachResult) {
    const auto decoded = DecodeTransactionReply(std::string("3:2:ab0:4:\0\"\n:", 14), 3);
    EXPECT_EQ(decoded.Restarts, 3);
    EXPECT_EQ(decoded.Values, (std::vector<std::string>{"ab", "", std::string("\0\"\n:", 4)}));
    EXPECT_EQ(DecodeTransactionReply("0:", 0).Restarts, 0);

    const struct {
        const char* reply;
        size_t results;
    } bad[] = {
        {"", 0},       {"0", 0},       {"x:", 0},    {"01:", 0},   {"0:", 1},    {"0:3:ab", 1},
        {"0:2:ab", 0}, {"0:2:abc", 1}, {"0:-1:", 1}, {"0:2ab", 1}, {"9999:", 0},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.reply);
        EXPECT_THROW(DecodeTransactionReply(b.reply, b.results), EConvertError);
    }
}

// Run sends the values that do not fit first, then the line, and reads the results; after an
// error it kills the values it sent, and raises the error.
TEST(TransactionRun, SendsLongValuesFirstAndKillsThemAfterAnError) {
    TMTransaction tx;
    const std::string big(9000, 'b');
    tx.Set(TMRef("^A"), big);
    tx.Get(TMRef("^B"));
    const lines::TTransactionLine line = lines::Transaction(tx);
    const std::string write = "w" + Nul + "9" + Nul + "%qdotv(1)" + "9000" + Nul + big;
    Peer peer({
        AcceptInline(),
        Peer::Expect(write),
        Peer::Send(Ok),
        Peer::Expect(OneArgument('x', line.Line)),
        Peer::Send(Chunk("2:") + Chunk("3:xyz") + Ok),
        Peer::Expect(write),
        Peer::Send(Ok),
        Peer::Expect(OneArgument('x', line.Line)),
        Peer::Send("<ERROR>:,M7,:%GTM-E-GVUNDEF, Global variable undefined: ^B" + Nul),
        Peer::Expect(OneArgument('k', "%qdotv")),
        Peer::Send(Ok),
    });
    TQdoConnect connect;
    OpenOn(connect, peer);
    connect.SetRequestDeadline(2000);
    TMDatabase db(connect);
    const TMTransactionResult result = db.Run(tx);
    EXPECT_EQ(result.Restarts, 2);
    EXPECT_EQ(result.Values, std::vector<std::string>{"xyz"});
    EXPECT_THROW(db.Run(tx), EMServerError);
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

} // namespace
} // namespace qdo
