// Against qdo-server, as a C caller would: transactions and batches given as arrays of
// QDOOperation records with their results read by index, and JSON streamed through the
// caller's write and read functions in small pieces.
#include "FlatSupport.h"
#include "SharedServer.h"
#include "capi/qdo.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qdo {
namespace {

using test::Ref;
using test::Shared;

// `text` must outlive the record: a literal, or a string that stays in scope.
QDOOperation Op(int32_t kind, const Ref& ref, std::string_view text = {}) {
    return QDOOperation{kind, ref.get(), nullptr, text.data(), text.size(), nullptr, nullptr, 0};
}

std::string ValueAt(const QDOResults* results, size_t index) {
    char* value = nullptr;
    size_t length = 0;
    EXPECT_EQ(QDOResultValue(results, index, &value, &length), 1) << "index " << index;
    return test::Taken(value, length);
}

std::vector<std::string> ValuesOf(const QDOResults* results) {
    std::vector<std::string> values;
    for (size_t i = 0; i < QDOResultCount(results); ++i)
        values.push_back(ValueAt(results, i));
    return values;
}

struct ResultsDeleter {
    void operator()(QDOResults* results) const { QDOFreeResults(results); }
};
using Results = std::unique_ptr<QDOResults, ResultsDeleter>;

// A document of every kind of value, in the form that comes back from an export byte for byte.
const std::string& RoundTripDocument() {
    static const std::string document =
        "{\"a\":[1,\"x\",{\"b\":0.5,\"c\":\"tr\\\"ue\\n\\u0001\"}],\"d\":{\"\":\"v\",\"e\":-3},"
        "\"f\":\"caf\xc3\xa9\",\"g\":{\"1\":\"one\",\"3\":\"three\"}}";
    return document;
}

// The text of a document, given `step` bytes at a time.
struct Reader {
    std::string text;
    size_t step = 1;
    size_t at = 0;
    size_t calls = 0;
};

int32_t ReadPiece(QDOHandle, void* context, char* buffer, size_t size) {
    auto& reader = *static_cast<Reader*>(context);
    ++reader.calls;
    const size_t count = std::min({reader.step, size, reader.text.size() - reader.at});
    reader.text.copy(buffer, count, reader.at);
    reader.at += count;
    return static_cast<int32_t>(count);
}

struct Writer {
    std::string text;
    size_t pieces = 0;
};

int32_t WritePiece(QDOHandle, void* context, const char* text, size_t length) {
    auto& writer = *static_cast<Writer*>(context);
    writer.text.append(text, length);
    ++writer.pieces;
    return 1;
}

class FlatOperations : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(QDOConnectOpen(h_), 1) << LastError();
        Execute("k ^FlatOps");
    }
    void TearDown() override {
        Execute("k ^FlatOps");
        QDODestroyConnect(h_);
    }

    std::string LastError() const { return test::LastErrorOf(h_); }
    std::string LastServerError() const { return test::LastServerErrorOf(h_); }
    std::string Read(const std::string& expression) const { return test::ReadOn(h_, expression); }
    void Execute(const std::string& line) const {
        EXPECT_EQ(QDOExecuteLine(h_, line.data(), line.size(), nullptr, nullptr), 1) << LastError();
    }
    std::string Export(const Ref& root, const QDOJsonOptions* options, Writer& writer) const {
        EXPECT_EQ(QDOExportJson(h_, root.get(), options, WritePiece, &writer), 1) << LastError();
        return writer.text;
    }

    QDOHandle h_ = QDOCreateConnect("127.0.0.1", Shared().Port(), "USER");
    Results results_{QDOCreateResults()};
};

TEST_F(FlatOperations, TransactionCommitsAndGivesOneResultPerOperation) {
    const Ref a("^FlatOps", {"a"}), n("^FlatOps", {"n"}), copy("^FlatOps", {"copy"}),
        gone("^FlatOps", {"gone"});
    Execute("s ^FlatOps(\"gone\",1)=1,^FlatOps(\"n\")=10");
    const std::string value("v\0\"w", 4);
    const QDOSubscript by{"-2.5", 4, 1};
    const QDOSubscript arguments[] = {{"255", 3, 1}, {"4", 1, 1}};
    const std::string entry = "FUNC^%DH"; // a routine of GT.M's own
    std::vector<QDOOperation> ops = {Op(QDO_OP_SET, a, value), Op(QDO_OP_INCREMENT, n),
                                     Op(QDO_OP_GET, a),        Op(QDO_OP_MERGE, copy),
                                     Op(QDO_OP_KILL, gone),    Op(QDO_OP_FUNCTION, a, entry)};
    ops[1].by = &by;
    ops[3].from = a.get();
    ops[5].ref = nullptr;
    ops[5].arguments = arguments;
    ops[5].count = 2;
    ASSERT_EQ(QDORunTransaction(h_, ops.data(), ops.size(), results_.get()), 1) << LastError();
    EXPECT_EQ(ValuesOf(results_.get()),
              (std::vector<std::string>{"", "7.5", value, "", "", "00FF"}));
    EXPECT_EQ(QDOResultRestarts(results_.get()), 0);
    EXPECT_EQ(QDOResultFailedIndex(results_.get()), -1);
    EXPECT_EQ(Read("$D(^FlatOps(\"gone\"))_\"/\"_(^FlatOps(\"copy\")=^FlatOps(\"a\"))"), "0/1");
    // A null results object drops them; the operations still run.
    const std::vector<QDOOperation> again = {Op(QDO_OP_INCREMENT, n)};
    ASSERT_EQ(QDORunTransaction(h_, again.data(), again.size(), nullptr), 1) << LastError();
    EXPECT_EQ(Read("^FlatOps(\"n\")"), "8.5");
}

TEST_F(FlatOperations, FailedTransactionAppliesNothing) {
    const Ref a("^FlatOps", {"a"}), n("^FlatOps", {"n"}), missing("^FlatOps", {"missing"});
    const std::vector<QDOOperation> ops = {Op(QDO_OP_SET, a, "1"), Op(QDO_OP_INCREMENT, n),
                                           Op(QDO_OP_GET, missing), Op(QDO_OP_SET, n, "x")};
    EXPECT_EQ(QDORunTransaction(h_, ops.data(), ops.size(), results_.get()), 0);
    EXPECT_EQ(QDOGetLastErrorCode(h_), QDO_ERROR_SERVER);
    EXPECT_NE(LastError().find("GVUNDEF"), std::string::npos) << LastError();
    EXPECT_FALSE(LastServerError().empty());
    EXPECT_EQ(QDOResultCount(results_.get()), 0u);
    EXPECT_EQ(QDOResultFailedIndex(results_.get()), -1); // the server does not say which one
    EXPECT_EQ(Read("$D(^FlatOps)"), "0");
}

TEST_F(FlatOperations, BatchStopsAtTheFailedOperationWithTheResultsBeforeIt) {
    const Ref a("^FlatOps", {"a"}), b("^FlatOps", {"b"}), n("^FlatOps", {"n"}),
        missing("^FlatOps", {"missing"}), local("FlatOpsLocal", {});
    const std::vector<QDOOperation> ops = {
        Op(QDO_OP_SET, a, "first"),      Op(QDO_OP_INCREMENT, n),    Op(QDO_OP_DATA, a),
        Op(QDO_OP_GET_OR, missing, "d"), Op(QDO_OP_SET, local, "L"), Op(QDO_OP_GET, local),
        Op(QDO_OP_GET, missing),         Op(QDO_OP_SET, b, "never")};
    EXPECT_EQ(QDORunBatch(h_, ops.data(), ops.size(), results_.get()), 0);
    EXPECT_EQ(QDOGetLastErrorCode(h_), QDO_ERROR_SERVER);
    EXPECT_NE(LastError().find("GVUNDEF"), std::string::npos) << LastError();
    EXPECT_FALSE(LastServerError().empty());
    EXPECT_EQ(QDOResultFailedIndex(results_.get()), 6);
    EXPECT_EQ(ValuesOf(results_.get()), (std::vector<std::string>{"", "1", "1", "d", "", "L"}));
    char* value = nullptr;
    size_t length = 0;
    EXPECT_EQ(QDOResultValue(results_.get(), 6, &value, &length), 0); // past the last
    EXPECT_EQ(Read("^FlatOps(\"a\")_\"/\"_$D(^FlatOps(\"b\"))"), "first/0");

    // Run again on the same object: the failure is cleared.
    const std::vector<QDOOperation> good = {Op(QDO_OP_GET, a), Op(QDO_OP_KILL, a),
                                            Op(QDO_OP_DATA, a)};
    ASSERT_EQ(QDORunBatch(h_, good.data(), good.size(), results_.get()), 1) << LastError();
    EXPECT_EQ(ValuesOf(results_.get()), (std::vector<std::string>{"first", "", "0"}));
    EXPECT_EQ(QDOResultFailedIndex(results_.get()), -1);
}

TEST_F(FlatOperations, BadOperationRecordsFailBeforeAnythingIsSent) {
    const Ref good("^FlatOps", {"good"}), badName("X(1)", {}), local("FlatOpsLocal", {});
    const Ref badNumber("^FlatOps", {"01"}, 1);
    const QDOSubscript notNumber{"1E3", 3, 1};
    QDOOperation badAmount = Op(QDO_OP_INCREMENT, good);
    badAmount.by = &notNumber;
    QDOOperation nullRef = Op(QDO_OP_GET, good);
    nullRef.ref = nullptr;
    const struct {
        const char* what;
        bool transaction;
        QDOOperation op;
        int32_t code;
    } cases[] = {
        {"bad name", true, Op(QDO_OP_SET, badName, "1"), QDO_ERROR_BAD_REFERENCE},
        {"bad number", false, Op(QDO_OP_SET, badNumber, "1"), QDO_ERROR_BAD_REFERENCE},
        {"bad amount", false, badAmount, QDO_ERROR_BAD_REFERENCE},
        {"local in a transaction", true, Op(QDO_OP_SET, local, "1"), QDO_ERROR_BAD_REFERENCE},
        {"batch kind in a transaction", true, Op(QDO_OP_DATA, good), QDO_ERROR_BAD_REFERENCE},
        {"transaction kind in a batch", false, Op(QDO_OP_MERGE, good), QDO_ERROR_BAD_REFERENCE},
        {"unknown kind", false, Op(99, good), QDO_ERROR_BAD_REFERENCE},
        {"null reference", true, nullRef, QDO_ERROR_NONE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<QDOOperation> ops = {Op(QDO_OP_SET, good, "1"), c.op};
        const int32_t ok = c.transaction
                               ? QDORunTransaction(h_, ops.data(), ops.size(), results_.get())
                               : QDORunBatch(h_, ops.data(), ops.size(), results_.get());
        EXPECT_EQ(ok, 0);
        EXPECT_EQ(QDOGetLastErrorCode(h_), c.code);
        EXPECT_EQ(LastError().rfind("Operation 1: ", 0), 0u) << LastError();
        EXPECT_EQ(QDOResultFailedIndex(results_.get()), 1);
        EXPECT_EQ(QDOResultCount(results_.get()), 0u);
        EXPECT_EQ(Read("$D(^FlatOps)"), "0"); // the good operation before it was not sent
    }
    EXPECT_EQ(QDORunBatch(h_, nullptr, 1, results_.get()), 0);
    EXPECT_EQ(QDORunBatch(h_, nullptr, 0, results_.get()), 1) << LastError();
    EXPECT_EQ(QDORunTransaction(nullptr, nullptr, 0, results_.get()), 0);
    QDOFreeResults(nullptr);
    EXPECT_EQ(QDOResultCount(nullptr), 0u);
    EXPECT_EQ(QDOResultRestarts(nullptr), -1);
}

TEST_F(FlatOperations, JsonRoundTripsByteForByteThroughPiecesOfOneByte) {
    const Ref root("^FlatOps", {"json", "doc"});
    Reader reader{RoundTripDocument(), 1};
    const QDOJsonOptions kill{0, 0, 1};
    Execute("s ^FlatOps(\"json\",\"doc\",\"stale\")=1");
    uint64_t count = 0;
    ASSERT_EQ(QDOImportJson(h_, root.get(), &kill, ReadPiece, &reader, &count), 1) << LastError();
    EXPECT_EQ(count, 9u);
    EXPECT_GT(reader.calls, RoundTripDocument().size()); // one byte a call, then the end
    EXPECT_EQ(Read("^FlatOps(\"json\",\"doc\",\"a\",3,\"b\")"), ".5");
    EXPECT_EQ(Read("$D(^FlatOps(\"json\",\"doc\",\"stale\"))"), "0");

    // Batches of two nodes: the text arrives in several pieces, and is the same document.
    Writer small;
    const QDOJsonOptions twoNodes{2, 0, 0};
    EXPECT_EQ(Export(root, &twoNodes, small), RoundTripDocument());
    EXPECT_GT(small.pieces, 3u);
    Writer whole;
    EXPECT_EQ(Export(root, nullptr, whole), RoundTripDocument());
    Writer none;
    EXPECT_EQ(Export(Ref("^FlatOps", {"nothing"}), nullptr, none), "null");
}

TEST_F(FlatOperations, JsonErrorsNameTheirByteOrTheirCause) {
    const Ref root("^FlatOps", {"json"});
    const struct {
        const char* document;
        int64_t offset;
        const char* set; // what the values complete before the error left
    } cases[] = {
        {"{\"a\":1,\"b\":[tru]}", 15, "1"},
        {"{\"a\":1,}", 7, "1"},
        {"[\"x\",12345678901234567890]", -1, "x"},
        {"[1] 2", 4, "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document);
        Execute("k ^FlatOps");
        Reader reader{c.document, 3};
        uint64_t count = 77;
        EXPECT_EQ(QDOImportJson(h_, root.get(), nullptr, ReadPiece, &reader, &count), 0);
        EXPECT_EQ(count, 77u);
        EXPECT_EQ(QDOGetLastErrorCode(h_), QDO_ERROR_BAD_JSON) << LastError();
        EXPECT_EQ(QDOGetLastErrorOffset(h_), c.offset) << LastError();
        if (c.offset >= 0) {
            EXPECT_NE(LastError().find("byte offset " + std::to_string(c.offset)),
                      std::string::npos)
                << LastError();
        }
        EXPECT_EQ(Read("$G(^FlatOps(\"json\",\"a\"))_$G(^FlatOps(\"json\",1))"), c.set);
    }

    // A bad reference fails before the function is asked for anything.
    const Ref badRoot("^FlatOps", {"01"}, 1);
    Reader unread{"1"};
    EXPECT_EQ(QDOImportJson(h_, badRoot.get(), nullptr, ReadPiece, &unread, nullptr), 0);
    EXPECT_EQ(QDOGetLastErrorCode(h_), QDO_ERROR_BAD_REFERENCE);
    EXPECT_EQ(QDOGetLastErrorOffset(h_), -1);
    EXPECT_EQ(unread.calls, 0u);
    Writer unwritten;
    EXPECT_EQ(QDOExportJson(h_, Ref("X(1)", {}).get(), nullptr, WritePiece, &unwritten), 0);
    EXPECT_EQ(QDOGetLastErrorCode(h_), QDO_ERROR_BAD_REFERENCE);
    EXPECT_EQ(unwritten.pieces, 0u);

    // Bytes that are not UTF-8 cannot be exported.
    Execute("s ^FlatOps(\"json\",\"latin\")=$C(233)");
    EXPECT_EQ(QDOExportJson(h_, root.get(), nullptr, WritePiece, &unwritten), 0);
    EXPECT_EQ(QDOGetLastErrorCode(h_), QDO_ERROR_BAD_JSON);
    EXPECT_EQ(QDOGetLastErrorOffset(h_), -1);
}

TEST_F(FlatOperations, FailingOrCallingJsonFunctionsFailTheCall) {
    const Ref root("^FlatOps", {"json"});
    Execute("s ^FlatOps(\"json\",\"a\")=1");
    auto refuse = [](QDOHandle, void*, const char*, size_t) -> int32_t { return 0; };
    EXPECT_EQ(QDOExportJson(h_, root.get(), nullptr, refuse, nullptr), 0);
    EXPECT_EQ(LastError(), "The JSON write function failed.");
    auto broken = [](QDOHandle, void*, char*, size_t) -> int32_t { return -1; };
    EXPECT_EQ(QDOImportJson(h_, root.get(), nullptr, broken, nullptr, nullptr), 0);
    EXPECT_EQ(LastError(), "The JSON read function failed.");
    EXPECT_EQ(QDOGetLastErrorCode(h_), QDO_ERROR_NONE);
    EXPECT_EQ(QDOExportJson(h_, root.get(), nullptr, nullptr, nullptr), 0);

    // A call on the handle from inside the write function is refused; the export goes on.
    struct Inside {
        int32_t result = -1;
        int32_t code = -1;
        std::string text;
    } inside;
    auto calling = [](QDOHandle h, void* context, const char* text, size_t length) -> int32_t {
        auto& seen = *static_cast<Inside*>(context);
        int32_t data = 0;
        const Ref node("^FlatOps", {"json"});
        seen.result = QDOData(h, node.get(), &data);
        seen.code = QDOGetLastErrorCode(h);
        seen.text.append(text, length);
        return 1;
    };
    ASSERT_EQ(QDOExportJson(h_, root.get(), nullptr, calling, &inside), 1) << LastError();
    EXPECT_EQ(inside.result, 0);
    EXPECT_EQ(inside.code, QDO_ERROR_BUSY);
    EXPECT_EQ(inside.text, "{\"a\":1}");
}

} // namespace
} // namespace qdo
