// Against qdo-server, as a C caller would: the flat interface's data operations on references
// passed as QDORef. Hostile subscripts, values and arguments reach M as data (a canary global
// survives), walks see every node once and stop when told, and failures keep their codes.
#include "FlatSupport.h"
#include "SharedServer.h"
#include "capi/qdo.h"
#include "encodings/Mutils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace qdo {
namespace {

using test::Ref;
using test::Shared;
using test::Taken;

// Awkward subscripts: NUL, quotes, control bytes, code-like text, a 1,000-byte string, and
// strings that look like numbers but are not canonical ones.
const std::vector<std::string>& AwkwardStrings() {
    static const std::vector<std::string> strings = {
        "plain",
        "\"",
        "a\"b",
        std::string("nul\0inside", 10),
        std::string(1, '\0'),
        "\r\n\t\x1b\x7f",
        "\xff\xfe",
        "\") k ^FlatDataCanary s x=(\"",
        "@^FlatDataCanary",
        std::string(1000, 'z'),
        std::string(200, '\x01') + "\"" + std::string(200, '\x02'),
        "01",
        "1E3",
        "-0",
    };
    return strings;
}

std::vector<std::string> SubscriptsOf(const QDORef* node) {
    std::vector<std::string> result;
    for (size_t i = 0; i < node->count; ++i)
        result.emplace_back(node->subscripts[i].text, node->subscripts[i].length);
    return result;
}

class FlatData : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(QDOConnectOpen(h_), 1) << LastError();
        Execute("k ^FlatData s ^FlatDataCanary=\"alive\"");
    }
    void TearDown() override {
        EXPECT_EQ(Read("$G(^FlatDataCanary)"), "alive") << "some input ran as code";
        Execute("k ^FlatData,^FlatDataCanary");
        QDODestroyConnect(h_);
    }

    std::string LastError() const { return test::LastErrorOf(h_); }
    std::string Read(const std::string& expression) const { return test::ReadOn(h_, expression); }
    void Execute(const std::string& line) const {
        EXPECT_EQ(QDOExecuteLine(h_, line.data(), line.size(), nullptr, nullptr), 1) << LastError();
    }
    std::string Get(const Ref& ref) const {
        char* value = nullptr;
        size_t length = 0;
        EXPECT_EQ(QDOGetNode(h_, ref.get(), &value, &length), 1) << LastError();
        return Taken(value, length);
    }
    int32_t Data(const Ref& ref) const {
        int32_t data = -1;
        EXPECT_EQ(QDOData(h_, ref.get(), &data), 1) << LastError();
        return data;
    }

    QDOHandle h_ = QDOCreateConnect("127.0.0.1", Shared().Port(), "USER");
};

TEST_F(FlatData, AwkwardSubscriptsAndValuesNameExactlyTheirNode) {
    for (const std::string& s : AwkwardStrings()) {
        SCOPED_TRACE(MText(s.substr(0, 40)));
        const Ref node("^FlatData", {"s", s});
        ASSERT_EQ(QDOSetNode(h_, node.get(), s.data(), s.size()), 1) << LastError();
        EXPECT_TRUE(Get(node) == s);
        EXPECT_EQ(Data(node), 1);
        // The same node, named independently of the library's quoting.
        EXPECT_EQ(Read("$D(^FlatData(\"s\"," + StrToCharStr(s) + "))"), "1");
    }
    const Ref parent("^FlatData", {"s"});
    EXPECT_EQ(Data(parent), 10);
    // The last in byte order, since none of them is a canonical number.
    EXPECT_EQ(Read("$O(^FlatData(\"s\",\"\"),-1)"),
              *std::max_element(AwkwardStrings().begin(), AwkwardStrings().end()));
    ASSERT_EQ(QDOKillNode(h_, parent.get()), 1) << LastError();
    EXPECT_EQ(Data(parent), 0);
}

TEST_F(FlatData, NumbersAndTheirStringsNameOneNodeAndUndefinedNodesFail) {
    const Ref number("^FlatData", {"-.5"}, 1);
    const Ref string("^FlatData", {"-.5"});
    const Ref notTheNumber("^FlatData", {"-0.5"});
    ASSERT_EQ(QDOSetNode(h_, number.get(), "n", 1), 1) << LastError();
    EXPECT_EQ(Get(string), "n");
    EXPECT_EQ(Data(notTheNumber), 0);

    char* value = nullptr;
    size_t length = 0;
    EXPECT_EQ(QDOGetNode(h_, notTheNumber.get(), &value, &length), 0);
    EXPECT_EQ(QDOGetLastErrorCode(h_), QDO_ERROR_SERVER);
    EXPECT_NE(LastError().find("GVUNDEF"), std::string::npos) << LastError();
    const std::string fallback("fall\0back", 9);
    ASSERT_EQ(
        QDOGetNodeOr(h_, notTheNumber.get(), fallback.data(), fallback.size(), &value, &length), 1)
        << LastError();
    EXPECT_TRUE(Taken(value, length) == fallback);

    // A number that is not canonical is refused, and nothing was sent: the handle goes on.
    const Ref bad("^FlatData", {"-0.5"}, 1);
    EXPECT_EQ(QDOSetNode(h_, bad.get(), "x", 1), 0);
    EXPECT_EQ(QDOGetLastErrorCode(h_), QDO_ERROR_BAD_REFERENCE);
    EXPECT_EQ(Data(number), 1);
}

// Stops after `limit` children; collects them as "subscript/data=value".
struct Collected {
    std::vector<std::string> items;
    size_t limit = SIZE_MAX;
};
int32_t CollectChild(QDOHandle, void* context, const char* subscript, size_t length, int32_t data,
                     const char* value, size_t valueLength) {
    auto& c = *static_cast<Collected*>(context);
    c.items.push_back(std::string(subscript, length) + "/" + std::to_string(data) + "=" +
                      std::string(value ? value : "", value ? valueLength : 0));
    return c.items.size() < c.limit ? 1 : 0;
}
int32_t CollectNode(QDOHandle, void* context, const QDORef* node, const char* value,
                    size_t valueLength) {
    auto& c = *static_cast<Collected*>(context);
    std::string text;
    for (const std::string& s : SubscriptsOf(node))
        text += MText(s) + ",";
    c.items.push_back(text + "=" + std::string(value ? value : "", value ? valueLength : 0));
    return c.items.size() < c.limit ? 1 : 0;
}

TEST_F(FlatData, OrderQueryAndWalksSeeAwkwardSubscriptsInCollationOrder) {
    // Children 1, 2 (numbers), then the awkward strings in byte order; one child has children.
    std::vector<std::string> strings = AwkwardStrings();
    std::sort(strings.begin(), strings.end());
    for (const std::string& s : strings) {
        const Ref node("^FlatData", {s});
        ASSERT_EQ(QDOSetNode(h_, node.get(), "v", 1), 1) << LastError();
    }
    const Ref one("^FlatData", {"1"}, 1), two("^FlatData", {"2", "x"}, 1);
    ASSERT_EQ(QDOSetNode(h_, one.get(), "1", 1), 1);
    ASSERT_EQ(QDOSetNode(h_, two.get(), "2x", 2), 1);
    std::vector<std::string> expected = {"1/1=1", "2/10="};
    for (const std::string& s : strings)
        expected.push_back(s + "/1=v");

    // $ORDER from the first, step by step.
    std::vector<std::string> ordered;
    for (std::string at;;) {
        const Ref ref("^FlatData", {at});
        char* next = nullptr;
        size_t length = 0;
        ASSERT_EQ(QDOOrder(h_, ref.get(), 1, &next, &length), 1) << LastError();
        at = Taken(next, length);
        if (at.empty())
            break;
        ordered.push_back(at);
    }
    ASSERT_EQ(ordered.size(), expected.size());
    EXPECT_EQ(ordered[2], strings[0]);

    // Children in batches of 3 nodes and in one batch, forward and backward.
    const Ref root("^FlatData", {});
    for (const QDOWalkOptions options : {QDOWalkOptions{1, 3, 0, 1}, QDOWalkOptions{1, 0, 0, 1}}) {
        Collected children;
        ASSERT_EQ(QDOWalkChildren(h_, root.get(), &options, CollectChild, &children), 1)
            << LastError();
        EXPECT_TRUE(children.items == expected);
    }
    Collected backward;
    const QDOWalkOptions down{-1, 4, 0, 1};
    ASSERT_EQ(QDOWalkChildren(h_, root.get(), &down, CollectChild, &backward), 1) << LastError();
    EXPECT_TRUE(std::equal(backward.items.begin(), backward.items.end(), expected.rbegin()));

    // The same children batch by batch, as an iterator would fetch them.
    Collected batched;
    std::string after;
    for (int32_t atEnd = 0; !atEnd;) {
        const size_t before = batched.items.size();
        const QDOWalkOptions small{1, 5, 0, 1};
        ASSERT_EQ(QDOChildBatch(h_, root.get(), after.data(), after.size(), &small, CollectChild,
                                &batched, &atEnd),
                  1)
            << LastError();
        ASSERT_LE(batched.items.size() - before, 5u);
        if (batched.items.size() > before)
            after = ordered[batched.items.size() - 1];
    }
    EXPECT_TRUE(batched.items == expected);

    // $QUERY from the root reaches ^FlatData(1), then ^FlatData(2,"x").
    Collected queried;
    int32_t found = 0;
    ASSERT_EQ(QDOQuery(h_, root.get(), 1, CollectNode, &queried, &found), 1) << LastError();
    ASSERT_EQ(found, 1);
    const Ref afterOne("^FlatData", {"1"}, 1);
    ASSERT_EQ(QDOQuery(h_, afterOne.get(), 1, CollectNode, &queried, &found), 1) << LastError();
    EXPECT_EQ(queried.items, (std::vector<std::string>{"\"1\",=", "\"2\",\"x\",="}));
    const Ref last("^FlatData", {strings.back()});
    ASSERT_EQ(QDOQuery(h_, last.get(), 1, CollectNode, &queried, &found), 1) << LastError();
    EXPECT_EQ(found, 0);
}

TEST_F(FlatData, ASubtreeWalkStoppedEarlyLeavesTheHandleReady) {
    for (int i = 1; i <= 10; ++i)
        Execute("s ^FlatData(\"t\"," + std::to_string(i) + ",$C(0))=" + std::to_string(i * i));
    const Ref root("^FlatData", {"t"});
    const QDOWalkOptions batches{1, 3, 0, 1};
    Collected all;
    ASSERT_EQ(QDOWalkSubtree(h_, root.get(), &batches, CollectNode, &all), 1) << LastError();
    ASSERT_EQ(all.items.size(), 10u);
    EXPECT_EQ(all.items[0], "\"t\",\"1\",$C(0),=1");
    EXPECT_EQ(all.items[9], "\"t\",\"10\",$C(0),=100");

    Collected four;
    four.limit = 4; // inside the second batch
    ASSERT_EQ(QDOWalkSubtree(h_, root.get(), &batches, CollectNode, &four), 1) << LastError();
    EXPECT_EQ(four.items, std::vector<std::string>(all.items.begin(), all.items.begin() + 4));
    EXPECT_EQ(Read("$G(^FlatData(\"t\",5,$C(0)))"), "25"); // in step

    // Subscripts only, going on from a node batch by batch.
    Collected rest;
    const QDOSubscript afterFourth[] = {{"4", 1, 0}, {"\0", 1, 0}};
    const QDOWalkOptions keysOnly{1, 100, 0, 0};
    int32_t atEnd = 0;
    ASSERT_EQ(QDONodeBatch(h_, root.get(), afterFourth, 2, &keysOnly, CollectNode, &rest, &atEnd),
              1)
        << LastError();
    EXPECT_EQ(atEnd, 1);
    ASSERT_EQ(rest.items.size(), 6u);
    EXPECT_EQ(rest.items[0], "\"t\",\"5\",$C(0),=");
}

TEST_F(FlatData, IncrementMergeAndLocksBetweenTwoHandles) {
    const Ref counter("^FlatData", {"count"});
    char* value = nullptr;
    size_t length = 0;
    ASSERT_EQ(QDOIncrement(h_, counter.get(), nullptr, &value, &length), 1) << LastError();
    EXPECT_EQ(Taken(value, length), "1");
    const QDOSubscript by = {"-2.5", 4, 1};
    ASSERT_EQ(QDOIncrement(h_, counter.get(), &by, &value, &length), 1) << LastError();
    EXPECT_EQ(Taken(value, length), "-1.5");

    const Ref from("^FlatData", {"from"}), to("^FlatData", {"to", "\"q\""});
    Execute("s ^FlatData(\"from\")=1,^FlatData(\"from\",$C(0))=2");
    ASSERT_EQ(QDOMerge(h_, to.get(), from.get()), 1) << LastError();
    EXPECT_EQ(Read("^FlatData(\"to\",\"\"\"q\"\"\",$C(0))"), "2");

    QDOHandle other = QDOCreateConnect("127.0.0.1", Shared().Port(), "USER");
    ASSERT_EQ(QDOConnectOpen(other), 1);
    const Ref resource("^FlatData", {std::string("lock\0", 5)});
    int32_t obtained = -1;
    ASSERT_EQ(QDOLock(h_, resource.get(), 0, &obtained), 1) << LastError();
    EXPECT_EQ(obtained, 1);
    ASSERT_EQ(QDOLock(h_, resource.get(), 0, &obtained), 1); // incremental
    ASSERT_EQ(QDOLock(other, resource.get(), 0, &obtained), 1);
    EXPECT_EQ(obtained, 0);
    ASSERT_EQ(QDOUnlock(h_, resource.get()), 1);
    ASSERT_EQ(QDOLock(other, resource.get(), 0, &obtained), 1);
    EXPECT_EQ(obtained, 0); // one level still held
    ASSERT_EQ(QDOUnlockAll(h_), 1);
    ASSERT_EQ(QDOLock(other, resource.get(), 0, &obtained), 1);
    EXPECT_EQ(obtained, 1);
    QDODestroyConnect(other); // its job ends, and its locks with it
    ASSERT_EQ(QDOLock(h_, resource.get(), 5, &obtained), 1);
    EXPECT_EQ(obtained, 1);
    ASSERT_EQ(QDOUnlockAll(h_), 1);
}

TEST_F(FlatData, FunctionsAndProceduresGetTheirArgumentsAsData) {
    const std::filesystem::path source =
        std::filesystem::absolute(Shared().DataDirectory()) / "FlatDataR.m";
    std::ofstream(source) << "FlatDataR ; routine of the flat data tests\n"
                             "Join(a,b) q $L(a)_\":\"_a_\"|\"_b\n"
                             "Echo(a,b) w $L(a),\":\",a,\"|\",b q\n"
                             "NoArgs() q \"none\"\n";
    Execute("zlink " + MText(source.string()));
    char* value = nullptr;
    size_t length = 0;
    ASSERT_EQ(QDOFunction(h_, "NoArgs^FlatDataR", 16, nullptr, 0, &value, &length), 1)
        << LastError();
    EXPECT_EQ(Taken(value, length), "none");
    for (const std::string& s : AwkwardStrings()) {
        SCOPED_TRACE(MText(s.substr(0, 40)));
        const QDOSubscript arguments[] = {{s.data(), s.size(), 0}, {"7", 1, 1}};
        const std::string expected = std::to_string(s.size()) + ":" + s + "|7";
        ASSERT_EQ(QDOFunction(h_, "Join^FlatDataR", 14, arguments, 2, &value, &length), 1)
            << LastError();
        EXPECT_TRUE(Taken(value, length) == expected);
        ASSERT_EQ(QDOProcedure(h_, "Echo^FlatDataR", 14, arguments, 2, &value, &length), 1)
            << LastError();
        EXPECT_TRUE(Taken(value, length) == expected);
    }
    EXPECT_EQ(QDOFunction(h_, "Missing^FlatDataR", 17, nullptr, 0, &value, &length), 0);
    EXPECT_EQ(QDOGetLastErrorCode(h_), QDO_ERROR_SERVER);
}

TEST(FlatDataExample, Runs) {
    const std::string command = std::string(QDO_EXAMPLE_DATA_OPERATIONS_C) + " 127.0.0.1 " +
                                std::to_string(Shared().Port()) + " >/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

} // namespace
} // namespace qdo
