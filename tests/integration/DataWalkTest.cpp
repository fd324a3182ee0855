// Against qdo-server: walks over children and subtrees fetched in batches. Every node comes
// once, in M's order, with its whole value; a loop left early stops; a tree that changes under
// a walk never makes it repeat or run for ever.
#include "SharedServer.h"
#include "connect/Database.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace qdo {
namespace {

using test::Open;
using test::Shared;

class DataWalk : public ::testing::Test {
protected:
    void SetUp() override {
        connect_ = Open(Shared());
        connect_->Kill("^DWalk");
    }
    void TearDown() override {
        if (connect_ && connect_->Active())
            connect_->Kill("^DWalk");
    }

    std::unique_ptr<TQdoConnect> connect_;
};

TEST_F(DataWalk, TenThousandChildrenForwardAndBackwardInBatches) {
    connect_->Execute("f i=1:1:10000 s ^DWalk(\"c\",i)=i*3 s:i#7=0 ^DWalk(\"c\",i,\"x\")=1");
    TMDatabase db(*connect_);
    for (const int32_t batchNodes : {1000, 333}) {
        for (const int direction : {1, -1}) {
            SCOPED_TRACE(std::to_string(batchNodes) + " per batch, direction " +
                         std::to_string(direction));
            TMWalkOptions options;
            options.Direction = direction;
            options.BatchNodes = batchNodes;
            int expected = direction > 0 ? 1 : 10000;
            for (const TMChild& child : db.Children(TMRef("^DWalk", {"c"}), options)) {
                ASSERT_EQ(child.Subscript, std::to_string(expected));
                ASSERT_EQ(child.Value, std::to_string(expected * 3));
                ASSERT_TRUE(child.HasValue);
                ASSERT_EQ(child.HasChildren, expected % 7 == 0);
                expected += direction;
            }
            EXPECT_EQ(expected, direction > 0 ? 10001 : 0);
        }
    }
    // Without values, by bytes: a batch of some 1 KB holds about 200 subscripts.
    TMWalkOptions keysOnly;
    keysOnly.Values = false;
    keysOnly.BatchBytes = 1000;
    int count = 0;
    for (const TMChild& child : db.Children(TMRef("^DWalk", {"c"}), keysOnly)) {
        EXPECT_TRUE(child.Value.empty());
        ++count;
    }
    EXPECT_EQ(count, 10000);
}

TEST_F(DataWalk, AnEmptyNodeHasNoChildrenAndNoSubtree) {
    TMDatabase db(*connect_);
    connect_->Write("^DWalk(\"leaf\")", "only a value");
    connect_->Write("^DWalk(\"next\",1)", "a sibling's child");
    for (const int direction : {1, -1}) {
        TMWalkOptions options;
        options.Direction = direction;
        for (const char* node : {"leaf", "missing"}) {
            SCOPED_TRACE(node);
            EXPECT_EQ(db.Children(TMRef("^DWalk", {node}), options).begin(), std::default_sentinel);
            EXPECT_EQ(db.Subtree(TMRef("^DWalk", {node}), options).begin(), std::default_sentinel);
        }
    }
}

TEST_F(DataWalk, LeavingALoopEarlyStopsTheWalk) {
    connect_->Execute("f i=1:1:100 s ^DWalk(i)=i");
    TMDatabase db(*connect_);
    TMWalkOptions options;
    options.BatchNodes = 10;
    auto children = db.Children(TMRef("^DWalk"), options);
    int seen = 0;
    for (const TMChild& child : children) {
        if (++seen == 15)
            break;
        (void)child;
    }
    // The range goes on where the loop stopped: from the 15th child.
    EXPECT_EQ(children.begin()->Subscript, "15");
}

TEST_F(DataWalk, ATreeChangedUnderAWalkIsWalkedOnFromTheLastNodeSeen) {
    connect_->Execute("f i=1:1:100 s ^DWalk(\"t\",i)=i");
    auto other = Open(Shared());
    TMDatabase db(*connect_);
    TMWalkOptions options;
    options.BatchNodes = 10;
    std::vector<int> seen;
    for (const TMChild& child : db.Children(TMRef("^DWalk", {"t"}), options)) {
        seen.push_back(std::stoi(child.Subscript));
        if (seen.back() == 15) // the rest of this batch is fetched already; the next ones change
            other->Execute("k ^DWalk(\"t\") f i=1:1:25 s ^DWalk(\"t\",i)=i s ^DWalk(\"t\",200)=0");
    }
    std::vector<int> expected;
    for (int i = 1; i <= 25; ++i)
        expected.push_back(i);
    expected.push_back(200);
    EXPECT_EQ(seen, expected);

    // A subtree whose next nodes are killed ends without repeating one.
    connect_->Execute("k ^DWalk f i=1:1:50 s ^DWalk(\"u\",i,1)=i");
    std::vector<std::string> nodes;
    for (const TMNode& node : db.Subtree(TMRef("^DWalk", {"u"}), options)) {
        nodes.push_back(node.Ref.Text());
        if (nodes.size() == 12)
            other->Execute("k ^DWalk(\"u\")");
    }
    EXPECT_EQ(nodes.size(), 20u);
}

TEST_F(DataWalk, ASubtreeComesInQueryOrderWithValuesOfEverySize) {
    TMDatabase db(*connect_);
    const std::vector<size_t> sizes = {0, 1, 32767, 32768, 1048576};
    std::vector<TMRef> refs;
    for (size_t i = 0; i < sizes.size(); ++i) {
        std::string value(sizes[i], '\0');
        for (size_t k = 0; k < value.size(); ++k)
            value[k] = static_cast<char>((k * 7 + i) % 256);
        // Awkward subscripts on the way: a NUL, a quote, something that looks like code.
        refs.emplace_back("^DWalk",
                          std::vector<TMSubscript>{"root", static_cast<int>(i),
                                                   std::string("\0\"", 2), "\") k ^DWalk ;"});
        db.Set(refs.back(), value);
        if (i == 2)
            db.Set(TMRef("^DWalk", {"root", 2}), "the parent has a value too");
    }
    db.Set(TMRef("^DWalk", {"root"}), "the root itself is not below itself");
    db.Set(TMRef("^DWalk", {"rootless"}), "a neighbour, not below the root");
    std::vector<std::string> expectedForward;
    for (size_t i = 0; i < sizes.size(); ++i) {
        if (i == 2)
            expectedForward.push_back(TMRef("^DWalk", {"root", "2"}).Text());
        expectedForward.push_back(
            TMRef("^DWalk", {"root", std::to_string(i), std::string("\0\"", 2), "\") k ^DWalk ;"})
                .Text());
    }
    for (const bool values : {true, false}) {
        for (const int direction : {1, -1}) {
            SCOPED_TRACE(std::to_string(direction) + (values ? " with values" : ""));
            TMWalkOptions options;
            options.Direction = direction;
            options.Values = values;
            std::vector<std::string> walked;
            for (const TMNode& node : db.Subtree(TMRef("^DWalk", {"root"}), options)) {
                walked.push_back(node.Ref.Text());
                const std::string stored = db.Get(node.Ref);
                EXPECT_TRUE(values ? node.Value == stored : node.Value.empty())
                    << node.Ref.Text() << " " << node.Value.size() << " " << stored.size();
            }
            std::vector<std::string> expected = expectedForward;
            if (direction < 0)
                std::reverse(expected.begin(), expected.end());
            EXPECT_EQ(walked, expected);
        }
    }
    // The walk of a local tree, and of a whole global.
    connect_->Execute("k DWalkLocal s DWalkLocal(1)=1,DWalkLocal(1,2)=12,DWalkLocal(\"a\")=\"a\"");
    std::vector<std::string> local;
    for (const TMNode& node : db.Subtree(TMRef("DWalkLocal")))
        local.push_back(node.Ref.Text() + "=" + node.Value);
    EXPECT_EQ(local, (std::vector<std::string>{"DWalkLocal(\"1\")=1", "DWalkLocal(\"1\",\"2\")=12",
                                               "DWalkLocal(\"a\")=a"}));
    size_t whole = 0;
    for (const TMNode& node : db.Subtree(TMRef("^DWalk"), {.Values = false})) {
        (void)node;
        ++whole;
    }
    EXPECT_EQ(whole, expectedForward.size() + 2);
}

} // namespace
} // namespace qdo
