// JSON import's requests against an in-memory peer: values go in batch requests of at most
// BatchNodes values, what is pending goes before an error is raised, and a value the server
// refuses stops the import with an EMServerError naming its node.
#include "connect/BatchLines.h"
#include "connect/Database.h"
#include "connect/Json.h"
#include "support/Connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <streambuf>

namespace qdo {
namespace {

using test::AcceptInline;
using test::Chunk;
using test::Ok;
using test::OneArgument;
using test::OpenOn;
using Peer = test::MemoryPeer;

// The batch request that sets ^J(i) to the value i for each i of [first, last].
std::string ImportBatchRequest(int first, int last) {
    TMOperationBatch batch;
    for (int i = first; i <= last; ++i)
        batch.Set(TMRef("^J", {i}), std::to_string(i));
    return OneArgument('b', lines::BatchPayload(batch.Operations(), {0, batch.Size(), false}));
}

// The reply to a batch request of `count` sets that all succeeded.
std::string ImportBatchDone(int count) {
    return Chunk(std::string(static_cast<size_t>(count), 'D')) + Ok;
}

// The script's start: the session, and the probe that finds the batch request offered.
std::vector<Peer::Step> ProbedScript(std::vector<Peer::Step> rest) {
    std::vector<Peer::Step> steps = {AcceptInline(),
                                     Peer::Expect(OneArgument('r', "$$batch^qdosrv()")),
                                     Peer::Send(Chunk("1") + Ok)};
    steps.insert(steps.end(), rest.begin(), rest.end());
    return steps;
}

uint64_t JsonImportOn(Peer& peer, std::istream& in, int32_t batchNodes) {
    TQdoConnect connect;
    OpenOn(connect, peer);
    connect.SetRequestDeadline(2000);
    TMDatabase db(connect);
    TMJsonImportOptions options;
    options.BatchNodes = batchNodes;
    return ImportJson(db, TMRef("^J"), in, options);
}

uint64_t JsonImportOn(Peer& peer, const std::string& document, int32_t batchNodes) {
    std::istringstream in(document);
    return JsonImportOn(peer, in, batchNodes);
}

TEST(JsonImportBatches, ValuesTravelInBatchRequestsOfAtMostBatchNodes) {
    Peer peer(ProbedScript({
        Peer::Expect(ImportBatchRequest(1, 2)),
        Peer::Send(ImportBatchDone(2)),
        Peer::Expect(ImportBatchRequest(3, 4)),
        Peer::Send(ImportBatchDone(2)),
        Peer::Expect(ImportBatchRequest(5, 5)),
        Peer::Send(ImportBatchDone(1)),
    }));
    EXPECT_EQ(JsonImportOn(peer, "[1,2,3,4,5]", 2), 5u);
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

TEST(JsonImportBatches, AnErrorSendsThePendingValuesFirst) {
    Peer peer(ProbedScript({
        Peer::Expect(ImportBatchRequest(1, 2)),
        Peer::Send(ImportBatchDone(2)),
        Peer::Expect(ImportBatchRequest(3, 3)), // complete before the error: set
        Peer::Send(ImportBatchDone(1)),
    }));
    try {
        JsonImportOn(peer, "[1,2,3,tru]", 2);
        ADD_FAILURE() << "no error";
    } catch (const EMJsonError& e) {
        EXPECT_EQ(e.Offset(), 10);
    }
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

// A stream that gives `text` at the first read and throws at the next, as a stream of the
// caller's may fail.
class ThrowingJsonSource : public std::streambuf {
public:
    explicit ThrowingJsonSource(std::string text) : text_(std::move(text)) {}

protected:
    std::streamsize xsgetn(char* into, std::streamsize count) override {
        if (given_)
            throw std::runtime_error("the source failed");
        given_ = true;
        const std::streamsize n = std::min<std::streamsize>(count, text_.size());
        std::copy_n(text_.data(), n, into);
        return n;
    }
    int_type underflow() override { throw std::runtime_error("the source failed"); }

private:
    std::string text_;
    bool given_ = false;
};

TEST(JsonImportBatches, AStreamThatThrowsHasThePendingValuesSentFirst) {
    Peer peer(ProbedScript({
        Peer::Expect(ImportBatchRequest(1, 2)),
        Peer::Send(ImportBatchDone(2)),
        Peer::Expect(ImportBatchRequest(3, 3)),
        Peer::Send(ImportBatchDone(1)),
    }));
    ThrowingJsonSource source("[1,2,3,");
    std::istream in(&source);
    EXPECT_THROW(JsonImportOn(peer, in, 2), std::runtime_error);
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

TEST(JsonImportBatches, AValueTheServerRefusesNamesItsNodeAndEndsTheImport) {
    Peer peer(ProbedScript({
        Peer::Expect(ImportBatchRequest(1, 3)),
        Peer::Send(Chunk("DF12:,Z150372778,6:REFUSE") + Ok), // the second set failed
    }));
    try {
        JsonImportOn(peer, "[1,2,3,4,5,6]", 3);
        ADD_FAILURE() << "no error";
    } catch (const EMBatchError& e) {
        ADD_FAILURE() << "the batch's own error: " << e.Message();
    } catch (const EMServerError& e) {
        EXPECT_EQ(e.ECode, ",Z150372778,");
        EXPECT_EQ(e.ServerText, "REFUSE");
        EXPECT_NE(e.Message().find("^J(2)"), std::string::npos) << e.Message();
    }
    peer.WaitForScript(); // nothing after the failed batch
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

} // namespace
} // namespace qdo
