// The data operations' requests against an in-memory peer: the exact line each call sends, one
// Execute per batch, each batch going on from the last node of the one before, nothing sent once
// a loop is left, and the OnGroupRead handler set aside and put back.
#include "connect/DataLines.h"
#include "connect/Database.h"
#include "connect/Qdoconnect.h"
#include "support/Connection.h"

#include <gtest/gtest.h>

namespace qdo {
namespace {

using test::AcceptInline;
using test::Chunk;
using test::OneArgument;
using test::OpenOn;
using ScriptedPeer = test::MemoryPeer;
using test::Ok;

TMWalkOptions Batches(int32_t nodes, int direction = 1) {
    TMWalkOptions options;
    options.BatchNodes = nodes;
    options.Direction = direction;
    return options;
}

TEST(DataWalkRequests, OneExecutePerBatchEachGoingOnFromTheLastChild) {
    const TMRef parent("^X", {"p\""});
    const TMWalkOptions options = Batches(2, -1);
    ScriptedPeer peer({
        AcceptInline(),
        ScriptedPeer::Expect(OneArgument('x', lines::ChildBatch(parent, "", options))),
        // The batch's reply split across chunks, inside a record.
        ScriptedPeer::Send(Chunk("N1:c111:3N1:b0") + Chunk("11:2M") + Ok),
        ScriptedPeer::Expect(OneArgument('x', lines::ChildBatch(parent, "b", options))),
        ScriptedPeer::Send(Chunk("N1:a011:1E") + Ok),
    });
    TQdoConnect connect;
    OpenOn(connect, peer);
    connect.SetRequestDeadline(2000); // a request the script does not expect fails, not hangs
    TMDatabase db(connect);
    std::vector<std::string> seen;
    for (const TMChild& child : db.Children(parent, options))
        seen.push_back(child.Ref.Text() + "=" + child.Value +
                       (child.HasChildren ? " and children" : ""));
    EXPECT_EQ(seen, (std::vector<std::string>{"^X(\"p\"\"\",\"c\")=3 and children",
                                              "^X(\"p\"\"\",\"b\")=2", "^X(\"p\"\"\",\"a\")=1"}));
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

TEST(DataWalkRequests, ASubtreeGoesOnFromItsLastNodeAndALeftLoopSendsNothingMore) {
    const TMRef root("^X", {1});
    const TMWalkOptions options = Batches(2);
    const std::vector<std::string> last = {"a", std::string("\0", 1)};
    ScriptedPeer peer({
        AcceptInline(),
        ScriptedPeer::Expect(OneArgument('x', lines::NodeBatch(root, true, {}, options))),
        ScriptedPeer::Send(Chunk("N1:v1:1:aN1:w2:1:a1:" + std::string(1, '\0') + "M") + Ok),
        ScriptedPeer::Expect(OneArgument('x', lines::NodeBatch(root, false, last, options))),
        ScriptedPeer::Send(Chunk("N1:x1:1:bN1:y1:1:cM") + Ok),
    });
    TQdoConnect connect;
    OpenOn(connect, peer);
    connect.SetRequestDeadline(2000); // a request the script does not expect fails, not hangs
    TMDatabase db(connect);
    std::vector<std::string> seen;
    for (const TMNode& node : db.Subtree(root, options)) {
        seen.push_back(node.Ref.Text() + "=" + node.Value);
        if (seen.size() == 3)
            break;
    }
    EXPECT_EQ(seen,
              (std::vector<std::string>{"^X(1,\"a\")=v", "^X(1,\"a\",$C(0))=w", "^X(1,\"b\")=x"}));
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    EXPECT_EQ(connect.OutgoingRequest(),
              OneArgument('x', lines::NodeBatch(root, false, last, options)));
}

TEST(DataWalkRequests, TheGroupReadHandlerIsSetAsideAndPutBackAfterAFailure) {
    const std::string error = "<ERROR>:,M7,:150372994,GVUNDEF" + test::Nul;
    ScriptedPeer peer({
        AcceptInline(),
        ScriptedPeer::Expect(OneArgument('r', "^X(\"a\")")),
        ScriptedPeer::Send(Chunk("12") + Chunk("34") + Ok),
        ScriptedPeer::Expect(OneArgument('x', lines::Query(TMRef("^X"), 1))),
        ScriptedPeer::Send(Chunk("N1:") + Chunk("1:q") + Ok),
        ScriptedPeer::Expect(OneArgument('r', "$D(^X)")),
        ScriptedPeer::Send(error),
    });
    TQdoConnect connect;
    OpenOn(connect, peer);
    connect.SetRequestDeadline(2000); // a request the script does not expect fails, not hangs
    int handed = 0;
    connect.OnGroupRead = [&](TObject*, const std::string&, bool&) { ++handed; };
    TMDatabase db(connect);
    EXPECT_EQ(db.Get(TMRef("^X", {"a"})), "1234");
    EXPECT_EQ(db.Query(TMRef("^X"))->Text(), "^X(\"q\")");
    EXPECT_THROW(db.Data(TMRef("^X")), EMServerError);
    EXPECT_EQ(handed, 0);
    ASSERT_TRUE(connect.OnGroupRead);
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
}

TEST(DataWalkRequests, TheOperationsSendTheseLines) {
    const TMRef x("^X", {"a\"", 2});
    const struct {
        std::string line;
        std::string expected;
    } cases[] = {
        {lines::GetOrDefault(x, "d\r"), "$G(^X(\"a\"\"\",2),\"d\"_$C(13))"},
        {lines::Order(x, -1), "$O(^X(\"a\"\"\",2),-1)"},
        {lines::Data(x), "$D(^X(\"a\"\"\",2))"},
        {lines::Increment(x, -0.5), "$I(^X(\"a\"\"\",2),-.5)"},
        {lines::Merge(TMRef("Y"), x), "m Y=^X(\"a\"\"\",2)"},
        {lines::Lock(x, 2.5), "l +^X(\"a\"\"\",2):2.5 w $t"},
        {lines::Unlock(x), "l -^X(\"a\"\"\",2)"},
        {lines::Function(TMEntryRef("f^r"), {"a\"", 1}), "$$f^r(\"a\"\"\",1)"},
        {lines::Function(TMEntryRef("f^r"), {}), "$$f^r"},
        {lines::Procedure(TMEntryRef("^r"), {std::string("\0", 1)}), "d ^r($C(0))"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.line, c.expected);
    EXPECT_THROW(lines::Lock(x, -1), EMRefError);
    EXPECT_THROW(lines::Increment(x, "1"), EMRefError);
    EXPECT_THROW(lines::ChildBatch(x, "", Batches(10, 0)), EMRefError);
    // The longest line GT.M compiles is sent; one byte more is refused.
    const size_t overhead = lines::Data(TMRef("^X", {""})).size();
    EXPECT_NO_THROW(lines::Data(TMRef("^X", {std::string(8192 - overhead, 'a')})));
    EXPECT_THROW(lines::Data(TMRef("^X", {std::string(8193 - overhead, 'a')})), EMRefError);
}

} // namespace
} // namespace qdo
