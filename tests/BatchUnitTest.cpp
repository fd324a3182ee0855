// Batches without a server: the job's reading of a batch request's payload, the client's
// splitting of a batch into requests and lines, the decoding of the records, and the requests
// TMDatabase::Run sends against an in-memory peer.
#include "connect/BatchLines.h"
#include "connect/DataLines.h"
#include "connect/Database.h"
#include "encodings/MRecords.h"
#include "server/BatchRequest.h"
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
using server::TRequest;
using server::TRequestKind;

TEST(BatchPayload, TheJobReadsTheOperationsTheClientWrites) {
    TMOperationBatch batch;
    batch.Set(TMRef("^A", {1}), std::string("v\0w", 3));
    batch.Get(TMRef("^A", {1}));
    batch.Kill(TMRef("^A"));
    batch.Increment(TMRef("^B"), 2);
    batch.Set(TMRef("^C"), "");
    const std::string payload = lines::BatchPayload(batch.Operations(), {0, batch.Size(), false});
    std::vector<TRequest> operations;
    std::string reason;
    ASSERT_TRUE(server::ParseBatch(payload, operations, reason)) << reason;
    ASSERT_EQ(operations.size(), batch.Size());
    const struct {
        TRequestKind kind;
        std::string first, second;
    } expected[] = {{TRequestKind::Write, "^A(1)", std::string("v\0w", 3)},
                    {TRequestKind::Read, "^A(1)", ""},
                    {TRequestKind::Kill, "^A", ""},
                    {TRequestKind::Read, "$I(^B,2)", ""},
                    {TRequestKind::Write, "^C", ""}};
    for (size_t i = 0; i < operations.size(); ++i) {
        EXPECT_EQ(operations[i].Kind, expected[i].kind) << i;
        EXPECT_EQ(operations[i].First, expected[i].first) << i;
        EXPECT_EQ(operations[i].Second, expected[i].second) << i;
    }
    EXPECT_TRUE(server::ParseBatch("", operations, reason));
    EXPECT_TRUE(operations.empty());
}

TEST(BatchPayload, APayloadThatIsNotWholeOperationsIsRefusedWhole) {
    const std::string bad[] = {
        "r" + Nul + "5" + Nul + "^A(1",                        // ends inside
        "r" + Nul,                                             // ends inside the prefix
        "x" + Nul + "3" + Nul + "w 1",                         // an Execute
        "b" + Nul + "0" + Nul,                                 // a batch inside
        "fl:0" + Nul,                                          // a group read
        "k" + Nul + "2" + Nul + "^Ar" + Nul + "x" + Nul + "^", // a bad length after a good one
        "q",                                                   // no request at all
    };
    for (const std::string& payload : bad) {
        SCOPED_TRACE(payload);
        std::vector<TRequest> operations;
        std::string reason;
        EXPECT_FALSE(server::ParseBatch(payload, operations, reason));
        EXPECT_FALSE(reason.empty());
    }
}

TRequest Op(TRequestKind kind, std::string first, std::string second = {}) {
    return TRequest{kind, std::move(first), std::move(second)};
}

TEST(BatchPacking, PlainReferencesGoInOneRunWithADelimiterNoFieldHolds) {
    const std::vector<TRequest> operations = {
        Op(TRequestKind::Write, "^A(1,\"x\")", std::string("\x01v\0", 3)),
        Op(TRequestKind::Read, "^A(1,\"x\")"), Op(TRequestKind::Kill, "^A"),
        Op(TRequestKind::Read, "$G(^A)"), // not plain: the run ends before it
        Op(TRequestKind::Read, "^A(1)")};
    server::TPackedRun run;
    ASSERT_EQ(server::PackRun(operations, 0, run), 3u);
    const char d = run.Delimiter;
    EXPECT_EQ(d, '\x02'); // \0 and \1 are in the value
    const std::string expected = std::string("w") + d + "^A" + d + "2" + d + "1" + d + "x" + d +
                                 std::string("\x01v\0", 3) + d + "r" + d + "^A" + d + "2" + d +
                                 "1" + d + "x" + d + "k" + d + "^A" + d + "0" + d;
    EXPECT_EQ(test::ToHex(run.Bytes), test::ToHex(expected));
    EXPECT_EQ(run.Starts, (std::vector<size_t>{1, 16, 27}));
    EXPECT_EQ(server::PackRun(operations, 3, run), 0u);
    EXPECT_EQ(server::PackRun(operations, 4, run), 1u);
    EXPECT_EQ(server::PackRun(operations, 5, run), 0u);
}

TEST(BatchPacking, RunsEndWhereNoByteIsLeftOrTheyWouldPassOneMebibyte) {
    std::string every(256, '\0');
    for (size_t i = 0; i < every.size(); ++i)
        every[i] = static_cast<char>(i);
    const std::string half = std::string(600000, 'v');
    const struct {
        std::vector<TRequest> operations;
        size_t packed;
    } cases[] = {
        {{Op(TRequestKind::Write, "^A(1)", every)}, 0},           // no byte left
        {{Op(TRequestKind::Write, "^A(1)", every.substr(0, 255)), // 255 bytes used
          Op(TRequestKind::Write, "^A(2)", every.substr(255))},
         1},
        {{Op(TRequestKind::Write, "^A(1)", half), Op(TRequestKind::Write, "^A(2)", half)}, 1},
        {{Op(TRequestKind::Write, "^A(1)", std::string(1048576, 'v'))}, 0}, // alone past 1 MiB
        {{Op(TRequestKind::Read, "^A(1,2,3)"), Op(TRequestKind::Read, "^A(1,2,3,4)")}, 1},
        {{Op(TRequestKind::Read, "^|\"x\"|A(1)")}, 0}, // extended: not plain
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        server::TPackedRun run;
        EXPECT_EQ(server::PackRun(cases[i].operations, 0, run), cases[i].packed) << i;
        if (cases[i].packed > 0) {
            EXPECT_EQ(run.Bytes.back(), run.Delimiter) << i;
        }
        EXPECT_LE(run.Bytes.size(), server::TPackedRun::MaxBytes) << i;
    }
}

TEST(BatchRecords, WrittenByTheJobAndReadByTheClient) {
    std::string reply;
    server::AppendValueRecord(reply, std::string("a\0:", 3));
    server::AppendDoneRecord(reply);
    server::AppendValueRecord(reply, "");
    TMBatchRecords records = DecodeBatchReply(reply, "VDV");
    EXPECT_FALSE(records.Failed);
    EXPECT_EQ(records.Values, (std::vector<std::string>{std::string("a\0:", 3), "", ""}));
    server::AppendFailureRecord(reply, ",M7,", "150372994,GVUNDEF");
    records = DecodeBatchReply(reply, "VDVV");
    EXPECT_TRUE(records.Failed);
    EXPECT_EQ(records.Values.size(), 3u);
    EXPECT_EQ(records.ECode, ",M7,");
    EXPECT_EQ(records.Text, "150372994,GVUNDEF");

    const struct {
        std::string reply, expected;
    } bad[] = {
        {"", "V"},     {"D", "V"}, {"V1:a", "D"},  {"DD", "D"}, {"V2:a", "V"},  {"F1:x1:yD", "DD"},
        {"F1:x", "D"}, {"X", "X"}, {"V01:a", "V"}, {"Va", "V"}, {"DV1:a", "D"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.reply + " for " + b.expected);
        EXPECT_THROW(DecodeBatchReply(b.reply, b.expected), EConvertError);
    }
    EXPECT_TRUE(DecodeBatchReply("F1:x1:y", "D").Failed);
    EXPECT_THROW(DecodeBatchReply("DF1:x1:y", "D"), EConvertError);
}

// Requests hold up to the byte limit, an operation larger than it alone; lines hold up to
// GT.M's limit, an operation too long for a line goes as its own request.
TEST(BatchSplit, RequestsAndLinesStayUnderTheirLimits) {
    TMOperationBatch batch;
    for (int i = 0; i < 10; ++i)
        batch.Set(TMRef("^A"), std::string(1000, 'x')); // 1,012 bytes as a request
    batch.Set(TMRef("^A"), std::string(5000, 'y'));
    batch.Kill(TMRef("^A"));
    const auto& ops = batch.Operations();
    const auto requests = lines::SplitRequests(ops, 3036);
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[0].End, 3u); // three fit exactly
    EXPECT_EQ(requests[3].End, 10u);
    EXPECT_EQ(requests[4].Begin, 10u); // larger than the limit: alone
    EXPECT_EQ(requests[4].End, 11u);
    EXPECT_EQ(requests[5].End, 12u);
    for (const auto& part : requests)
        EXPECT_TRUE(part.End - part.Begin == 1 || lines::BatchPayload(ops, part).size() <= 3036);

    const auto linesOf = lines::SplitLines(ops);
    for (const auto& part : linesOf) {
        if (part.Alone)
            continue;
        EXPECT_LE(lines::BatchLine(ops, part).size(), lines::MaxLineLength);
    }
    ASSERT_EQ(linesOf.size(), 2u);
    EXPECT_EQ(linesOf.front().End, 7u); // seven values of 1,000 bytes fit in 8,192
    EXPECT_EQ(linesOf.back().End, 12u);

    TMOperationBatch huge;
    huge.Get(TMRef("^A"));
    huge.Set(TMRef("^A"), std::string(9000, '"'));
    huge.Get(TMRef("^A"));
    const auto parts = lines::SplitLines(huge.Operations());
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_TRUE(parts[1].Alone);
    EXPECT_FALSE(parts[2].Alone);
}

// The probe is asked once; batches go as "b" requests; a failure in the second request names
// its index in the whole batch, with the results before it.
TEST(BatchRun, ProbesOnceThenSendsBatchRequestsAndNamesTheFailedOperation) {
    TMOperationBatch batch;
    batch.Set(TMRef("^A"), "1");
    batch.Get(TMRef("^A"));
    batch.Kill(TMRef("^B"));
    batch.Get(TMRef("^C"));
    TMBatchOptions options;
    options.RequestBytes = 15; // two operations a request
    const auto& ops = batch.Operations();
    const std::string first = lines::BatchPayload(ops, {0, 2, false});
    const std::string second = lines::BatchPayload(ops, {2, 4, false});
    Peer peer({
        AcceptInline(),
        Peer::Expect(OneArgument('r', "$$batch^qdosrv()")),
        Peer::Send(Chunk("1") + Ok),
        Peer::Expect(OneArgument('b', first)),
        Peer::Send(Chunk("DV1:1") + Ok),
        Peer::Expect(OneArgument('b', second)),
        Peer::Send(Chunk("DF4:,M7,7:GVUNDEF") + Ok),
        Peer::Expect(OneArgument('b', first)),
        Peer::Send(Chunk("D") + Chunk("V1:1") + Ok),
        Peer::Expect(OneArgument('b', second)),
        Peer::Send(Chunk("DV0:") + Ok),
    });
    TQdoConnect connect;
    OpenOn(connect, peer);
    connect.SetRequestDeadline(2000);
    TMDatabase db(connect);
    try {
        db.Run(batch, options);
        FAIL() << "the batch did not fail";
    } catch (const EMBatchError& e) {
        EXPECT_EQ(e.FailedIndex, 3u);
        EXPECT_EQ(e.Results, (std::vector<std::string>{"", "1", ""}));
        EXPECT_EQ(e.ECode, ",M7,");
        EXPECT_EQ(e.ServerText, "GVUNDEF");
    }
    EXPECT_EQ(db.Run(batch, options), (std::vector<std::string>{"", "1", "", ""}));
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

// A server without batches (the probe is an M error) gets generated lines.
TEST(BatchRun, AServerWithoutBatchesGetsGeneratedLines) {
    TMOperationBatch batch;
    batch.Set(TMRef("^A"), "x\"");
    batch.Get(TMRef("^A"));
    const std::string line = lines::BatchLine(batch.Operations(), {0, 2, false});
    EXPECT_NE(line.find(" s ^A=\"x\"\"\" w \"D\" s %qdoV=^A w \"V\",$L(%qdoV),\":\",%qdoV"),
              std::string::npos)
        << line;
    Peer peer({
        AcceptInline(),
        Peer::Expect(OneArgument('r', "$$batch^qdosrv()")),
        Peer::Send("<ERROR>:,Z150373340,:150373340,LABELMISSING" + Nul),
        Peer::Expect(OneArgument('x', line)),
        Peer::Send(Chunk("DV2:x\"") + Ok),
    });
    TQdoConnect connect;
    OpenOn(connect, peer);
    connect.SetRequestDeadline(2000);
    TMDatabase db(connect);
    EXPECT_EQ(db.Run(batch), (std::vector<std::string>{"", "x\""}));
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

} // namespace
} // namespace qdo
