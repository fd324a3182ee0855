// The flat interface's data operations without a server and against a scripted peer: the null
// handle, bad references refused before anything is sent (with their own error code), the exact
// lines of a walk, and a walk stopped early that sends nothing more.
#include "capi/qdo.h"
#include "connect/DataLines.h"
#include "support/Connection.h"
#include "support/CountedText.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace qdo {
namespace {

using test::AcceptInline;
using test::Chunk;
using test::LastError;
using test::OneArgument;
using test::ScriptedPeer;

// The subscripts point at their texts, which must outlive them.
QDOSubscript Str(const char* text) {
    return QDOSubscript{text, std::char_traits<char>::length(text), 0};
}
QDOSubscript Str(const std::string& text) {
    return QDOSubscript{text.data(), text.size(), 0};
}
QDOSubscript Num(const char* text) {
    return QDOSubscript{text, std::char_traits<char>::length(text), 1};
}
QDORef Ref(const char* name, const std::vector<QDOSubscript>& subscripts = {}) {
    return QDORef{name, std::char_traits<char>::length(name), subscripts.data(), subscripts.size()};
}

int32_t TakeChild(QDOHandle, void* context, const char* subscript, size_t length, int32_t data,
                  const char* value, size_t valueLength) {
    auto& seen = *static_cast<std::vector<std::string>*>(context);
    seen.push_back(std::string(subscript, length) + "/" + std::to_string(data) + "=" +
                   (value ? std::string(value, valueLength) : "(none)"));
    return seen.size() < 3 ? 1 : 0; // stops at the third
}
int32_t KeepNode(QDOHandle, void*, const QDORef*, const char*, size_t) {
    return 1;
}

TEST(FlatDataOnPeer, TheNullHandleDoesNothing) {
    const std::vector<QDOSubscript> one = {Num("1")};
    const QDORef ref = Ref("^X", one);
    char* value = reinterpret_cast<char*>(1);
    size_t length = 7;
    int32_t flag = 5;
    EXPECT_EQ(QDOGetNode(nullptr, &ref, &value, &length), 0);
    EXPECT_EQ(QDOGetNodeOr(nullptr, &ref, "d", 1, &value, &length), 0);
    EXPECT_EQ(QDOSetNode(nullptr, &ref, "v", 1), 0);
    EXPECT_EQ(QDOKillNode(nullptr, &ref), 0);
    EXPECT_EQ(QDOData(nullptr, &ref, &flag), 0);
    EXPECT_EQ(QDOOrder(nullptr, &ref, 1, &value, &length), 0);
    EXPECT_EQ(QDOQuery(nullptr, &ref, 1, KeepNode, nullptr, &flag), 0);
    EXPECT_EQ(QDOIncrement(nullptr, &ref, nullptr, &value, &length), 0);
    EXPECT_EQ(QDOMerge(nullptr, &ref, &ref), 0);
    EXPECT_EQ(QDOLock(nullptr, &ref, 0, &flag), 0);
    EXPECT_EQ(QDOUnlock(nullptr, &ref), 0);
    EXPECT_EQ(QDOUnlockAll(nullptr), 0);
    EXPECT_EQ(QDOFunction(nullptr, "^R", 2, nullptr, 0, &value, &length), 0);
    EXPECT_EQ(QDOProcedure(nullptr, "^R", 2, nullptr, 0, &value, &length), 0);
    EXPECT_EQ(QDOWalkChildren(nullptr, &ref, nullptr, TakeChild, nullptr), 0);
    EXPECT_EQ(QDOWalkSubtree(nullptr, &ref, nullptr, KeepNode, nullptr), 0);
    EXPECT_EQ(QDOChildBatch(nullptr, &ref, nullptr, 0, nullptr, TakeChild, nullptr, &flag), 0);
    EXPECT_EQ(QDONodeBatch(nullptr, &ref, nullptr, 0, nullptr, KeepNode, nullptr, &flag), 0);
    EXPECT_EQ(value, reinterpret_cast<char*>(1));
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(flag, 5);
}

// On a closed connection: what is wrong with the arguments is found before the connection is
// needed, so each case gives its own message and code rather than "Connect does not exist.".
TEST(FlatDataOnPeer, BadReferencesFailWithTheirOwnCode) {
    QDOHandle handle = QDOCreateConnect("127.0.0.1", 1, "USER");
    char* value = nullptr;
    size_t length = 0;
    int32_t flag = 0;
    const std::vector<QDOSubscript> notCanonical = {Num("01")};
    const std::vector<QDOSubscript> exponent = {Num("1E3")};
    const std::vector<QDOSubscript> fine = {Str("a")};
    const QDORef good = Ref("^X", fine);
    const QDORef bareName = Ref("^X");
    const QDORef badNumber = Ref("^X", notCanonical);
    const QDORef badName = Ref("^X(1)");
    const QDORef extended = Ref("^|\"ENV\"|X");
    const QDORef reserved = Ref("%qdoP", fine);
    const QDORef nullSubscripts{"^X", 2, nullptr, 1};
    const QDOSubscript byExponent = Str("1E3");
    const QDOWalkOptions sideways{2, 0, 0, 1};
    const QDOWalkOptions negative{1, -5, 0, 1};
    const struct {
        std::function<int32_t()> call;
        int32_t code;
        const char* message; // its beginning
    } cases[] = {
        {[&] { return QDOGetNode(handle, &badNumber, &value, &length); }, QDO_ERROR_BAD_REFERENCE,
         "\"01\" is not a canonical M number"},
        {[&] { return QDOSetNode(handle, &badName, "v", 1); }, QDO_ERROR_BAD_REFERENCE, "Invalid "},
        {[&] { return QDOKillNode(handle, &extended); }, QDO_ERROR_BAD_REFERENCE, "Invalid "},
        {[&] {
             const std::vector<QDOSubscript> arguments = exponent;
             return QDOFunction(handle, "f^r", 3, arguments.data(), 1, &value, &length);
         },
         QDO_ERROR_BAD_REFERENCE, "\"1E3\" is not a canonical M number"},
        {[&] { return QDOFunction(handle, "f^r^s", 5, nullptr, 0, &value, &length); },
         QDO_ERROR_BAD_REFERENCE, "Invalid routine name"},
        {[&] { return QDOIncrement(handle, &good, &byExponent, &value, &length); },
         QDO_ERROR_BAD_REFERENCE, "\"1E3\" is not a canonical M number"},
        {[&] { return QDOOrder(handle, &good, 0, &value, &length); }, QDO_ERROR_BAD_REFERENCE,
         "A direction is 1"},
        {[&] { return QDOWalkChildren(handle, &good, &sideways, TakeChild, nullptr); },
         QDO_ERROR_BAD_REFERENCE, "A direction is 1"},
        {[&] { return QDOWalkSubtree(handle, &good, &negative, KeepNode, nullptr); },
         QDO_ERROR_BAD_REFERENCE, "A batch's size is above 0."},
        {[&] { return QDOWalkChildren(handle, &reserved, nullptr, TakeChild, nullptr); },
         QDO_ERROR_BAD_REFERENCE, ""},
        {[&] { return QDOOrder(handle, &bareName, 1, &value, &length); }, QDO_ERROR_BAD_REFERENCE,
         "Order needs a reference with a subscript"},
        {[&] { return QDOGetNode(handle, nullptr, &value, &length); }, QDO_ERROR_NONE,
         "A null record was passed."},
        {[&] { return QDOGetNode(handle, &nullSubscripts, &value, &length); }, QDO_ERROR_NONE,
         "A null subscript array was passed with a count above 0."},
        {[&] { return QDOData(handle, &good, nullptr); }, QDO_ERROR_NONE,
         "A null record was passed."},
        {[&] { return QDOWalkSubtree(handle, &good, nullptr, nullptr, nullptr); }, QDO_ERROR_NONE,
         "No record function was passed."},
        {[&] {
             return QDOChildBatch(handle, &good, nullptr, 0, nullptr, TakeChild, nullptr, nullptr);
         },
         QDO_ERROR_NONE, "A null record was passed."},
        // Well-formed: now the connection is needed.
        {[&] { return QDOLock(handle, &good, 0, &flag); }, QDO_ERROR_NOT_CONNECTED,
         "Connect does not exist."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), 0) << c.message;
        EXPECT_EQ(QDOGetLastErrorCode(handle), c.code) << c.message;
        EXPECT_EQ(LastError(handle).rfind(c.message, 0), 0u) << LastError(handle);
    }
    EXPECT_EQ(value, nullptr);
    QDODestroyConnect(handle);
}

// Three children wanted from batches of two: the walk fetches two batches, hands on three
// children, and sends nothing more; the next request is the caller's own. A call from inside
// the record function is refused as busy.
TEST(FlatDataOnPeer, AWalkStoppedEarlySendsNothingMore) {
    const std::string nul("\0", 1);
    const std::vector<QDOSubscript> parts = {Str("p\""), Str(nul)};
    const QDORef parent = Ref("^X", parts);
    const TMRef typed("^X", {"p\"", nul});
    TMWalkOptions options;
    options.BatchNodes = 2;
    const QDOWalkOptions flat{0, 2, 0, 1};
    ScriptedPeer peer({
        AcceptInline(),
        ScriptedPeer::Expect(OneArgument('x', "zn \"\"")),
        ScriptedPeer::Send(test::Ok),
        ScriptedPeer::Expect(OneArgument('x', lines::ChildBatch(typed, "", options))),
        ScriptedPeer::Send(Chunk("N1:1012:v1") + Chunk("N1:b10M") + test::Ok),
        ScriptedPeer::Expect(OneArgument('x', lines::ChildBatch(typed, "b", options))),
        ScriptedPeer::Send(Chunk("N1:c012:v3N1:d012:v4M") + test::Ok),
        ScriptedPeer::Expect(OneArgument('r', lines::Data(typed))),
        ScriptedPeer::Send(Chunk("10") + test::Ok),
    });
    QDOHandle handle = QDOCreateConnect("127.0.0.1", peer.PortNumber(), "");
    ASSERT_EQ(QDOConnectOpen(handle), 1);
    ASSERT_EQ(QDOSetRequestDeadline(handle, 2000), 1); // an unexpected request fails, not hangs
    std::vector<std::string> seen;
    ASSERT_EQ(QDOWalkChildren(handle, &parent, &flat, TakeChild, &seen), 1) << LastError(handle);
    EXPECT_EQ(seen, (std::vector<std::string>{"1/1=v1", "b/10=(none)", "c/1=v3"}));
    int32_t data = 0;
    ASSERT_EQ(QDOData(handle, &parent, &data), 1) << LastError(handle);
    EXPECT_EQ(data, 10);
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    QDODestroyConnect(handle);
}

TEST(FlatDataOnPeer, ACallFromInsideAWalkOrQueryFunctionIsRefusedAsBusy) {
    const TMRef typed("^X");
    ScriptedPeer peer({
        AcceptInline(),
        ScriptedPeer::Expect(OneArgument('x', "zn \"\"")),
        ScriptedPeer::Send(test::Ok),
        ScriptedPeer::Expect(OneArgument('x', lines::NodeBatch(typed, true, {}, {}))),
        ScriptedPeer::Send(Chunk("N1:v1:1:aN1:w1:1:bE") + test::Ok),
        ScriptedPeer::Expect(OneArgument('x', lines::Query(typed, 1))),
        ScriptedPeer::Send(Chunk("N1:1:a") + test::Ok),
    });
    QDOHandle handle = QDOCreateConnect("127.0.0.1", peer.PortNumber(), "");
    ASSERT_EQ(QDOConnectOpen(handle), 1);
    ASSERT_EQ(QDOSetRequestDeadline(handle, 2000), 1); // a request let through fails, not hangs
    const QDORef root = Ref("^X");
    struct Nested {
        int32_t result = -1;
        int32_t code = 0;
        int calls = 0;
    } nested;
    const QDONodeProc tryNested = [](QDOHandle h, void* context, const QDORef* node, const char*,
                                     size_t) -> int32_t {
        auto& n = *static_cast<Nested*>(context);
        int32_t data = 0;
        n.result = QDOData(h, node, &data);
        n.code = QDOGetLastErrorCode(h);
        ++n.calls;
        return 1;
    };
    ASSERT_EQ(QDOWalkSubtree(handle, &root, nullptr, tryNested, &nested), 1) << LastError(handle);
    EXPECT_EQ(nested.calls, 2);
    EXPECT_EQ(nested.result, 0);
    EXPECT_EQ(nested.code, QDO_ERROR_BUSY);
    nested = Nested{};
    int32_t found = 0;
    ASSERT_EQ(QDOQuery(handle, &root, 1, tryNested, &nested, &found), 1) << LastError(handle);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(nested.calls, 1);
    EXPECT_EQ(nested.code, QDO_ERROR_BUSY);
    peer.WaitForScript();
    EXPECT_TRUE(peer.Failures().empty()) << peer.Failures()[0];
    QDODestroyConnect(handle);
}

} // namespace
} // namespace qdo
